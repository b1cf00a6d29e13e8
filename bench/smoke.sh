#!/usr/bin/env bash
# smoke.sh - builds the benchmarks and runs each for about a second, so that
# CI notices a benchmark that no longer builds or runs. No timing is judged.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/default
cmake --preset default -DDATALINK_BUILD_BENCH=ON -S "$root" >/dev/null
cmake --build --preset default --target datalink bench_compare bench_convert bench_send bench_links >/dev/null

"$build/bench/bench_convert" --benchmark_min_time=0.01 >/dev/null
"$build/tools/datalink" bench --quick --sizes 64,65536 >/dev/null
"$build/bench/bench_compare" --quick --sizes 64,65536 >/dev/null
"$build/bench/bench_compare" --quick --ack --sizes 64 --count 200 >/dev/null
"$build/bench/bench_compare" --memory --count 200 --sizes 4096 >/dev/null
timeout 60 "$build/bench/bench_send" 0.05 >/dev/null
timeout 60 "$build/bench/bench_links" 2000 1 >/dev/null
if grep -q '^DATALINK_BUILD_PYTHON:BOOL=ON' "$build/CMakeCache.txt"; then
  cmake --build --preset default --target datalink_python >/dev/null
  PYTHONPATH="$build/python/module" /usr/bin/python3 "$root/bench/python_collector.py" --quick \
    --tool "$build/tools/datalink" >/dev/null
fi
echo "bench smoke: ok"
