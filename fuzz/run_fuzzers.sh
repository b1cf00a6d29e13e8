#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each for a
# bounded time, starting from a copy of the committed corpus so that the
# repository is left as it was. Any crash, leak, out-of-memory or time-out
# fails the script; the reproducer stays in build/fuzz/artifacts.
#
#   fuzz/run_fuzzers.sh            20 s per target
#   FUZZ_SECONDS=300 fuzz/run_fuzzers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"

scripts/install-deps build fuzz

echo "== building the fuzz targets"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=build/fuzz/work
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
for target in evutl ringbuffer receive; do
  rm -rf "${work:?}/$target"
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target"/
  # The library reports on stdout and stderr; libFuzzer keeps its own output.
  extra=()
  if [ "$target" = receive ]; then extra=(-close_fd_mask=3 -max_len=4096); fi
  echo "== fuzz_$target for ${seconds} s"
  build/fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/$target-" -print_final_stats=1 "${extra[@]}" "$work/$target" 2>&1 |
    grep -E '^(Done|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)|crash-|leak-|oom-|timeout-' || true
  if ls "$artifacts/$target-"* >/dev/null 2>&1; then
    echo "fuzz_$target found a problem: $(ls "$artifacts/$target-"*)"
    exit 1
  fi
done
echo "== fuzzing passed"
