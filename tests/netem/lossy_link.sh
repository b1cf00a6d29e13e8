#!/usr/bin/env bash
# lossy_link.sh - a producer and a collector in two network namespaces joined
# by a veth pair whose queues delay, drop and reorder packets (netem), and the
# bytes the collector recorded compared with a reference run over loopback.
# TCP repairs the losses; the link must deliver every unit, in order, intact.
#
#   tests/netem/lossy_link.sh [path/to/datalink] [units]
#
# Needs root, "ip netns" and "tc". Where the kernel has no netem qdisc the
# script falls back to a token-bucket queue that is too short for the
# traffic, which drops packets (but neither delays them much nor reorders
# them), and says so. Exit codes: 0 passed, 1 failed, 77 skipped.
set -euo pipefail

tool="${1:-build/default/tools/datalink}"
units="${2:-10000}"
size=24576  # a body larger than the short queue, so that it overflows now and then
port=47311
ns_prod=dl_lossy_prod
ns_coll=dl_lossy_coll
work="$(mktemp -d /tmp/dl-lossy.XXXXXX)"
keep="${KEEP_WORK:-}"

skip() {
  echo "SKIPPED: $*"
  exit 77
}

[ -x "$tool" ] || skip "no datalink tool at $tool (build the default preset first)"
[ "$(id -u)" -eq 0 ] || skip "needs root for network namespaces"
command -v ip >/dev/null && command -v tc >/dev/null || skip "iproute2 (ip, tc) is not installed"

cleanup() {
  ip netns del "$ns_prod" 2>/dev/null || true
  ip netns del "$ns_coll" 2>/dev/null || true
  if [ -z "$keep" ]; then rm -rf "$work"; else echo "work files kept in $work"; fi
}
trap cleanup EXIT

ip netns add "$ns_prod" 2>/dev/null || skip "cannot create network namespaces (ip netns add failed)"
ip netns add "$ns_coll"
ip link add dl_prod0 type veth peer name dl_coll0 || skip "cannot create a veth pair"
ip link set dl_prod0 netns "$ns_prod"
ip link set dl_coll0 netns "$ns_coll"
ip -n "$ns_prod" addr add 10.77.0.1/24 dev dl_prod0
ip -n "$ns_coll" addr add 10.77.0.2/24 dev dl_coll0
for ns in "$ns_prod" "$ns_coll"; do
  ip -n "$ns" link set lo up
done
ip -n "$ns_prod" link set dl_prod0 up
ip -n "$ns_coll" link set dl_coll0 up

# Both directions are impaired: units one way, acknowledgements the other.
impairment="netem delay 5ms loss 1% reorder 5%"
if ! tc -n "$ns_prod" qdisc add dev dl_prod0 root netem delay 5ms loss 1% reorder 5% 2>/dev/null; then
  impairment="tbf rate 200mbit burst 32kb limit 24kb (tail drops; netem is not available in this kernel: delay and reordering are not emulated)"
  tc -n "$ns_prod" qdisc add dev dl_prod0 root tbf rate 200mbit burst 32kb limit 24kb ||
    skip "neither netem nor tbf queues can be set up"
  tc -n "$ns_coll" qdisc add dev dl_coll0 root tbf rate 200mbit burst 32kb limit 24kb
  # Tail drops hit the start of nearly every unit and each costs a
  # retransmission time-out, so the run is kept short.
  units=$((units < 300 ? units : 300))
else
  tc -n "$ns_coll" qdisc add dev dl_coll0 root netem delay 5ms loss 1% reorder 5%
fi
echo "impairment: $impairment"

# One run: a collector recording into a file, a producer sending acknowledged
# units, each started in its namespace (or none: the loopback reference).
run() {
  local coll_ns="$1" prod_ns="$2" host="$3" out="$4" kind="$5" ack="$6"
  local in_coll=() in_prod=()
  [ -n "$coll_ns" ] && in_coll=(ip netns exec "$coll_ns")
  [ -n "$prod_ns" ] && in_prod=(ip netns exec "$prod_ns")
  "${in_coll[@]}" "$tool" listen --port "$port" --out "$out" --count "$units" >"$out.listen" 2>&1 &
  local collector=$!
  sleep 0.5
  local start end
  start=$(date +%s.%N)
  "${in_prod[@]}" "$tool" send --host "$host" --port "$port" $ack --kind "$kind" --count "$units" --size "$size" \
    >"$out.send" 2>&1
  wait "$collector"
  end=$(date +%s.%N)
  echo "  $(tail -n 1 "$out.send")"
  echo "  $(tail -n 1 "$out.listen")  [$(echo "$end - $start" | bc) s]"
}

# TCP segments the producer's namespace has sent again so far.
retransmissions() {
  ip netns exec "$ns_prod" awk '/^Tcp:/ { if (seen) print $13; seen = 1 }' /proc/net/snmp
}

status=0
# Only acknowledged modes: "datalink listen" always answers with an
# acknowledgement, which a producer without --ack never reads; its close then
# resets the connection and the units still in flight are lost.
for mode in "event --ack" "slow --ack" "event2024 --ack"; do
  kind="${mode%% *}"
  ack="${mode#* }"
  echo "== $units units of kind $kind ${ack:-without acknowledgement}, $size bytes of body"
  echo " loopback reference:"
  run "" "" localhost "$work/ref-$kind.bin" "$kind" "$ack"
  retrans_before=$(retransmissions)
  echo " impaired link:"
  run "$ns_coll" "$ns_prod" 10.77.0.2 "$work/lossy-$kind.bin" "$kind" "$ack"
  retrans_after=$(retransmissions)
  echo "  producer TCP retransmissions: $(( ${retrans_after:-0} - ${retrans_before:-0} ))"
  if cmp -s "$work/ref-$kind.bin" "$work/lossy-$kind.bin"; then
    echo "  recorded bytes identical to the loopback run ($(stat -c %s "$work/lossy-$kind.bin") bytes): nothing lost"
  else
    echo "  FAILED: the recorded bytes differ from the loopback run"
    status=1
  fi
done
echo "queue statistics:"
tc -n "$ns_prod" -s qdisc show dev dl_prod0 | sed 's/^/  producer: /'
tc -n "$ns_coll" -s qdisc show dev dl_coll0 | sed 's/^/  collector: /'
exit $status
