#!/usr/bin/env python3
"""Units/s of a Python collector beside the C++ collector, both fed by
`datalink send` over loopback in the same run; a benchmark, not a test.

    PYTHONPATH=build/default/python/module /usr/bin/python3 bench/python_collector.py \
        --tool build/default/tools/datalink [--runs 3] [--unix] [--ack]

The C++ collector is `datalink listen --count N`, which also copies every
block into its ring buffer for a recorder thread. The Python collector calls
link.receive() and reads the block's length: the body stays a view. With
--ack both acknowledge from a 64 MiB ring and store every block in it, and a
Python thread drains the ring as the C++ recorder does. Both time from the
accepted connection to the last block. Targets: 0.5x the C++
collector at 1 KiB, 0.9x at 1 MiB. Rows are medians of --runs runs.
"""
import argparse
import re
import socket
import statistics
import subprocess
import threading
import time

import datalink

SIZES = {1024: 100_000, 1 << 20: 2_000}  # body bytes: units per run
TARGETS = {1024: 0.5, 1 << 20: 0.9}


def free_port():
    with socket.socket() as s:
        s.bind(("", 0))
        return s.getsockname()[1]


RING_BYTES = 64 << 20


def flags(unix, ack):
    return (["--unix"] if unix else []) + (["--ack"] if ack else [])


def start_sender(tool, port, count, size, unix, ack):
    """Starts the producer once the collector is listening (the tool gives up on a refused connect)."""
    time.sleep(0.2)
    args = [tool, "send", "--port", str(port), "--count", str(count), "--size", str(size), "--kind", "event2024"]
    return subprocess.Popen(args + flags(unix, ack), stdout=subprocess.DEVNULL)


def cpp_rate(tool, count, size, unix, ack):
    port = free_port()
    listen = subprocess.Popen([tool, "listen", "--port", str(port), "--count", str(count)] + flags(unix, ack),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    send = start_sender(tool, port, count, size, unix, ack)
    out, _ = listen.communicate(timeout=600)
    send.wait(timeout=60)
    seconds = float(re.search(r"received \d+ blocks, \d+ bytes in ([0-9.]+) s", out).group(1))
    # The tool prints hundredths of a second: a short run may read 0.00.
    return count / max(seconds, 0.005)


def drain(ring, done):
    chunk = bytearray(1 << 20)
    while not done.is_set() or ring.used:
        if not ring.read_into(chunk):
            time.sleep(50e-6)


def python_rate(tool, count, size, unix, ack):
    port = free_port()
    ring = datalink.RingBuffer(RING_BYTES) if ack else None
    done = threading.Event()
    recorder = threading.Thread(target=drain, args=(ring, done)) if ack else None
    with datalink.Listener(port, unix=unix, quiet=True) as listener:
        send = start_sender(tool, port, count, size, unix, ack)
        with listener.accept() as link:
            if recorder:
                recorder.start()
            started = time.perf_counter()
            received = total = 0
            while received < count:
                try:
                    total += link.receive(ring=ring).length
                    received += 1
                except datalink.NoRoom:  # the ring is full: the producer offers the unit again
                    pass
            seconds = time.perf_counter() - started
        send.wait(timeout=60)
    if recorder:
        done.set()
        recorder.join()
    assert total == count * (size + datalink.EVENT_HEADER_2024_DTYPE.itemsize)
    return count / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", default="datalink")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--unix", action="store_true")
    parser.add_argument("--ack", action="store_true", help="acknowledge from a ring that a thread drains")
    parser.add_argument("--quick", action="store_true", help="a few units, one run: does it still work")
    options = parser.parse_args()
    sizes = {size: max(count // 100, 10) for size, count in SIZES.items()} if options.quick else SIZES
    runs = 1 if options.quick else options.runs
    mode = "acknowledged into a ring" if options.ack else "no acknowledgement"
    print(f"transport {'unix' if options.unix else 'tcp'}, {mode}, median of {runs} runs")
    print(f"{'body bytes':>10} {'units':>7} {'C++ units/s':>12} {'Python units/s':>15} {'ratio':>6} {'target':>6}")
    for size, count in sizes.items():
        cpp, py = [], []
        for _ in range(runs):  # interleaved, so that both see the same load
            cpp.append(cpp_rate(options.tool, count, size, options.unix, options.ack))
            py.append(python_rate(options.tool, count, size, options.unix, options.ack))
        c, p = statistics.median(cpp), statistics.median(py)
        print(f"{size:>10} {count:>7} {c:>12,.0f} {p:>15,.0f} {p / c:>6.2f} {TARGETS[size]:>6.1f}")


if __name__ == "__main__":
    main()
