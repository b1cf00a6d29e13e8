"""A collector: live rate and a histogram of event lengths.

    python3 collector.py 5010        # then, e.g.: datalink send --port 5010 --count 100000
"""
import sys
import time

import numpy as np

import datalink

lengths, started, shown = [], None, None
with datalink.Listener(int(sys.argv[1]) if len(sys.argv) > 1 else 5010, quiet=True) as listener:
    with listener.accept() as link:
        for block in link:  # until the producer closes; Ctrl-C stops it too
            lengths.append(block.length)
            now = time.monotonic()
            started, shown = started or now, shown or now
            if now - shown >= 1:
                print(f"\r{len(lengths)} units, {len(lengths) / (now - started):,.0f} units/s", end="", flush=True)
                shown = now
counts, edges = np.histogram(np.array(lengths), bins=10)
print(f"\n{len(lengths)} units; event lengths in bytes:")
for count, low, high in zip(counts, edges, edges[1:]):
    print(f"{low:10.0f} - {high:10.0f} {count:8d} {'#' * int(50 * count / max(counts.max(), 1))}")
