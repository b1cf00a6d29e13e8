#!/usr/bin/env bash
# soak.sh - a long run of the datalink tool end to end over loopback: for each
# mode, one producer sends UNITS acknowledged units to one collector while the
# collector's resident memory and open descriptors are sampled from /proc.
# Both must stay flat once the ring buffer has been filled once; every unit
# must arrive.
#
#   tests/soak/soak.sh [path/to/datalink] [units]      (default 1000000)
set -euo pipefail

tool="${1:-build/default/tools/datalink}"
units="${2:-1000000}"
size=256
ring=$((1 << 20))   # small, so that its pages are all touched within the first seconds
interval=2
rss_slack_kb=2048   # growth allowed after the warm-up
warmup=4            # seconds: connection set up, ring and buffers touched once

[ -x "$tool" ] || { echo "no datalink tool at $tool"; exit 1; }
work="$(mktemp -d /tmp/dl-soak.XXXXXX)"
trap 'rm -rf "$work"' EXIT
port=$((40000 + RANDOM % 20000))

status=0
# Only acknowledged modes: "datalink listen" always acknowledges, and a
# producer without --ack never reads those answers, so its close resets the
# connection and the units still in flight are lost.
for kind in event event2024 slow; do
  port=$((port + 1))
  echo "== $units acknowledged units of kind $kind, $size bytes of body, ring $ring bytes"
  "$tool" listen --port "$port" --ring "$ring" --count "$units" >"$work/listen.txt" 2>&1 &
  collector=$!
  sleep 0.5
  "$tool" send --port "$port" --ack --kind "$kind" --count "$units" --size "$size" >"$work/send.txt" 2>&1 &
  producer=$!
  samples=()
  start=$(date +%s)
  while kill -0 "$collector" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$collector/status" 2>/dev/null || true)
    fds=$(ls "/proc/$collector/fd" 2>/dev/null | wc -l)
    [ -n "$rss" ] && samples+=("$(( $(date +%s) - start ))s:${rss}kB:${fds}fd")
    sleep "$interval"
  done
  wait "$collector" || status=1
  wait "$producer" || status=1
  echo "  $(tail -n 1 "$work/send.txt")"
  echo "  $(tail -n 1 "$work/listen.txt")"
  echo "  collector samples (time:RSS:fds): ${samples[*]}"
  grep -q "received $units blocks" "$work/listen.txt" || { echo "  FAILED: not every unit arrived"; status=1; }
  steady=()
  for sample in "${samples[@]}"; do
    [ "${sample%%s:*}" -ge "$warmup" ] && steady+=("$sample")
  done
  if [ ${#steady[@]} -ge 2 ]; then
    first_rss=$(echo "${steady[0]}" | cut -d: -f2 | tr -d kB)
    max_rss=$(printf '%s\n' "${steady[@]}" | cut -d: -f2 | tr -d kB | sort -n | tail -n 1)
    fd_values=$(printf '%s\n' "${steady[@]}" | cut -d: -f3 | sort -u | wc -l)
    echo "  after ${warmup} s: RSS first ${first_rss} kB, highest ${max_rss} kB; distinct fd counts: ${fd_values}"
    if [ $((max_rss - first_rss)) -gt "$rss_slack_kb" ] || [ "$fd_values" -ne 1 ]; then
      echo "  FAILED: the collector's memory or descriptors grew"
      status=1
    fi
  else
    echo "  too short a run to judge flatness"
  fi
done
[ $status -eq 0 ] && echo "== soak passed" || echo "== soak FAILED"
exit $status
