#!/usr/bin/env bash
# memcheck.sh - the socket-level tests and the receive corpus under valgrind's
# memcheck: any invalid access, use of uninitialised memory or definite leak
# fails the run. Build the default preset first.
#
#   tests/memcheck.sh [build directory]        (default build/default)
#
# test_hostile is left out on purpose: it makes the receiver allocate 4 GiB,
# which valgrind's allocator refuses, so its statuses differ there.
set -euo pipefail
build="${1:-build/default}"
command -v valgrind >/dev/null || { echo "SKIPPED: valgrind is not installed"; exit 77; }

vg=(valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
    --show-leak-kinds=definite --track-fds=no)
status=0
run() {
  local name="$1"
  shift
  local start=$SECONDS
  if "${vg[@]}" "$@" >"/tmp/memcheck-$name.log" 2>&1; then
    echo "memcheck $name: clean ($((SECONDS - start)) s)"
  else
    echo "memcheck $name: FAILED, see /tmp/memcheck-$name.log"
    status=1
  fi
}
run test_end_to_end "$build/tests/test_end_to_end"
run test_send_event "$build/tests/test_send_event"
run test_receive_event "$build/tests/test_receive_event"
run test_image_reception "$build/tests/test_image_reception"
run test_faults "$build/tests/test_faults"
run replay_receive "$build/fuzz/replay_receive" fuzz/corpus/receive
run replay_evutl "$build/fuzz/replay_evutl" fuzz/corpus/evutl
run replay_ringbuffer "$build/fuzz/replay_ringbuffer" fuzz/corpus/ringbuffer
exit $status
