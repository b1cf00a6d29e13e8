#!/usr/bin/env bash
# compare.sh - the whole performance comparison in one run: DataLink beside a
# raw socket pair (bulk and protocol-shaped) and ZeroMQ (bench_compare), TCP
# and UNIX, by unit size; acknowledged units pinned and unpinned; the collector's memory;
# the in-process conversions; per-unit system calls counted with strace.
#
# Writes into an output directory (default bench/results):
#   stream.csv, stream-sockbuf.csv, ack.csv, memory.csv, convert.csv,
#   syscalls.csv, ratios.md
# and the plot docs/performance.png.
#
# Usage: bench/compare.sh [runs per row, default 3] [output directory] [earlier results]
#
# With a directory of earlier results (its stream.csv), the plot shows that
# run's DataLink rows beside today's, marked "before".
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
out=${2:-$root/bench/results}
before=${3:-}
build=$root/build/default
compare=$build/bench/bench_compare
mkdir -p "$out"

"$root/scripts/install-deps" bench

cmake --preset default -DDATALINK_BUILD_BENCH=ON -S "$root" >/dev/null
cmake --build --preset default --target bench_compare bench_convert >/dev/null

echo "== machine"
{
  echo "nproc: $(nproc)"
  echo "cpu: $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
  echo "kernel: $(uname -r)"
  echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$out/machine.txt"

echo "== streaming units, system socket buffers"
"$compare" --csv --runs "$runs" | tee "$out/stream.csv"
echo "== streaming units, 2 MiB socket buffers on every end"
"$compare" --csv --runs "$runs" --sizes 65536,1048576,16777216 --sockbuf 2097152 | tee "$out/stream-sockbuf.csv"
echo "== acknowledged 64-byte units"
"$compare" --csv --runs "$runs" --ack --pin --sizes 64 | tee "$out/ack.csv"
echo "== collector memory over 100000 units"
"$compare" --memory --count 100000 --sizes 65536 | tee "$out/memory.csv"
echo "== conversions (Google Benchmark)"
"$build/bench/bench_convert" --benchmark_format=csv --benchmark_min_time=0.2 --benchmark_repetitions="$runs" \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '^name|_median' | tee "$out/convert.csv"

# System calls per unit on each side: two runs of different length, so the
# calls of connection setup and teardown cancel out.
echo "== system calls per unit (strace)"
trace_dir=$(mktemp -d)
trap 'rm -rf "$trace_dir"' EXIT
calls=read,write,writev,readv,select,pselect6,poll,ppoll,recvfrom,sendto,recvmsg,sendmsg
count_calls() {  # impl size transport mode units -> "collector producer" call counts
  local dir=$trace_dir/$1-$2-$3-$4-$5
  mkdir -p "$dir"
  local flags=()
  [ "$4" = ack ] && flags=(--ack)
  strace -qq -ff -o "$dir/t" -e trace=$calls "$compare" --csv --impls "$1" --sizes "$2" --transports "$3" \
    --count "$5" "${flags[@]}" >/dev/null 2>&1
  # The collector is the first process (lowest pid); the producer is its child.
  local files
  files=$(ls "$dir" | sort -t. -k2 -n)
  for f in $files; do grep -cvE '^\+\+\+|^---|resumed>' "$dir/$f" || true; done | tr '\n' ' '
}
echo "impl,size_bytes,transport,mode,collector_calls_per_unit,producer_calls_per_unit" | tee "$out/syscalls.csv"
short=2000
long=12000
for transport in tcp unix; do
  for row in datalink:64:noack raw-proto:64:noack datalink:1024:noack raw-proto:1024:noack \
    datalink-batch:64:noack datalink-ack:64:ack raw-ack:64:ack; do
    IFS=: read -r impl size mode <<<"$row"
    read -r c1 p1 <<<"$(count_calls "$impl" "$size" "$transport" "$mode" $short)"
    read -r c2 p2 <<<"$(count_calls "$impl" "$size" "$transport" "$mode" $long)"
    awk -v i="$impl" -v s="$size" -v t="$transport" -v m="$mode" -v c1="$c1" -v c2="$c2" -v p1="$p1" -v p2="$p2" \
      -v n=$((long - short)) 'BEGIN { printf "%s,%s,%s,%s,%.2f,%.2f\n", i, s, t, m, (c2 - c1) / n, (p2 - p1) / n }' |
      tee -a "$out/syscalls.csv"
  done
done

echo "== ratios"
python3 - "$out" <<'EOF' | tee "$out/ratios.md"
import csv, sys, os
out = sys.argv[1]
def rows(name):
    with open(os.path.join(out, name)) as f:
        return list(csv.DictReader(f))
def rate(table, size, transport, impl, pin="none"):
    for r in table:
        if int(r["size_bytes"]) == size and r["transport"] == transport and r["impl"] == impl and r["pin"] == pin:
            return float(r["units_per_s"])
    return None
def ratio(a, b):
    return "n/a" if not a or not b else "%.2f" % (a / b)
stream, sockbuf, ack = rows("stream.csv"), rows("stream-sockbuf.csv"), rows("ack.csv")
KiB, MiB = 1024, 1 << 20
print("| target | unit | TCP | UNIX |")
print("|---|---|---|---|")
for size in (64 * KiB, MiB, 16 * MiB):
    print("| 1: DataLink / raw stream, system buffers | %d B | %s | %s |" % (size,
          *[ratio(rate(stream, size, t, "datalink"), rate(stream, size, t, "raw-stream")) for t in ("tcp", "unix")]))
for size in (64 * KiB, MiB, 16 * MiB):
    print("| 1: DataLink / raw stream, 2 MiB buffers both | %d B | %s | %s |" % (size,
          *[ratio(rate(sockbuf, size, t, "datalink"), rate(sockbuf, size, t, "raw-stream")) for t in ("tcp", "unix")]))
for size in (64, KiB):
    print("| 2: DataLink / protocol-shaped raw pair | %d B | %s | %s |" % (size,
          *[ratio(rate(stream, size, t, "datalink"), rate(stream, size, t, "raw-proto")) for t in ("tcp", "unix")]))
for size in (64, KiB):
    print("| 2: DataLink SendEvents (64 a call) / ZeroMQ PAIR | %d B | %s | %s |" % (size,
          *[ratio(rate(stream, size, t, "datalink-batch"), rate(stream, size, t, "zmq")) for t in ("tcp", "unix")]))
for pin in ("none", "same", "split"):
    print("| 3: raw ack round trip / DataLink ack round trip, pin %s | 64 B | %s | %s |" % (pin,
          *[ratio(rate(ack, 64, t, "datalink-ack", pin), rate(ack, 64, t, "raw-ack", pin)) for t in ("tcp", "unix")]))
for pin in ("none", "same", "split"):
    print("| 3: DataLink ack / ZeroMQ REQ/REP, pin %s | 64 B | %s | %s |" % (pin,
          *[ratio(rate(ack, 64, t, "datalink-ack", pin), rate(ack, 64, t, "zmq-reqrep", pin)) for t in ("tcp", "unix")]))
for size in (MiB, 16 * MiB):
    print("| 4: converting / native, system buffers | %d B | %s | %s |" % (size,
          *[ratio(rate(stream, size, t, "datalink-conv"), rate(stream, size, t, "datalink")) for t in ("tcp", "unix")]))
    print("| 4: converting / native, 2 MiB buffers | %d B | %s | %s |" % (size,
          *[ratio(rate(sockbuf, size, t, "datalink-conv"), rate(sockbuf, size, t, "datalink")) for t in ("tcp", "unix")]))
for size in (64 * KiB, MiB, 16 * MiB):
    print("| 5: DataLink / ZeroMQ PAIR, system buffers | %d B | %s | %s |" % (size,
          *[ratio(rate(stream, size, t, "datalink"), rate(stream, size, t, "zmq")) for t in ("tcp", "unix")]))
conv = {r["name"].replace("_median", ""): float(r["bytes_per_second"]) for r in rows("convert.csv")}
for size in (64, KiB, 64 * KiB, MiB, 16 * MiB):
    a = conv.get("BM_ConvertEventHton/%d" % size)
    b = conv.get("BM_CopySwapLoop/%d" % size)
    c = conv.get("BM_ConvertEventInPlace/%d" % size)
    d = conv.get("BM_SwapLoopInPlace/%d" % size)
    print("| 4: conversion / copy+bswap loop (hton, in place) | %d B | %s | %s |" % (size, ratio(a, b), ratio(c, d)))
for size in (4 * KiB, 64 * KiB, MiB, 16 * MiB):
    m = conv.get("BM_Memcpy/%d" % size)
    print("| 4: body conversion / memcpy (into another buffer, in place) | %d B | %s | %s |" % (size,
          ratio(conv.get("BM_ConvertBody/%d" % size), m), ratio(conv.get("BM_ConvertBodyInPlace/%d" % size), m)))
EOF

echo "== plot"
python3 - "$out" "$before" <<'EOF'
import csv, sys, os
out, before = sys.argv[1], sys.argv[2]
def write_series(path, suffix, only=None):
    with open(path) as f:
        table = list(csv.DictReader(f))
    for r in table:
        if only and r["impl"] != only:
            continue
        name = "%s%s-%s" % (r["impl"], suffix, r["transport"])
        with open(os.path.join(out, "plot-%s.dat" % name), "a") as f:
            f.write("%s %s %s\n" % (r["size_bytes"], r["units_per_s"], r["mb_per_s"]))
write_series(os.path.join(out, "stream.csv"), "")
if before:
    write_series(os.path.join(before, "stream.csv"), "-before", "datalink")
EOF
# Seven series per transport, UNIX second; a missing one keeps its place.
series=""
for transport in tcp unix; do
  for impl in datalink datalink-batch raw-stream raw-proto zmq datalink-conv datalink-before; do
    name=$impl-$transport
    [ -f "$out/plot-$name.dat" ] || printf '\n' >"$out/plot-$name.dat"
    series="$series $name"
  done
done
gnuplot <<EOF
set terminal pngcairo size 1400,560 font ",10"
set output "$root/docs/performance.png"
set multiplot layout 1,2 title "DataLink, raw socket pairs and ZeroMQ PAIR: one producer, one collector (median of $runs runs)"
set logscale xy
set grid
set xlabel "unit size [bytes]"
set key outside right top
series = "$series"
colour(k) = (k - 1) % 7 + 1
dash(k) = k > 7 ? 2 : 1  # UNIX dashed
set ylabel "units/s"
plot for [k=1:words(series)] sprintf("$out/plot-%s.dat", word(series, k)) using 1:2 \
  with linespoints linecolor colour(k) dashtype dash(k) title word(series, k)
set ylabel "MB/s"
plot for [k=1:words(series)] sprintf("$out/plot-%s.dat", word(series, k)) using 1:3 \
  with linespoints linecolor colour(k) dashtype dash(k) title word(series, k)
unset multiplot
EOF
rm -f "$out"/plot-*.dat
echo "wrote $out and docs/performance.png"
