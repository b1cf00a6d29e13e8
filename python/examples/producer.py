"""A producer that sends a NumPy array as one unit, without copying it.

    python3 producer.py localhost 5010    # against: datalink listen --port 5010 --verbose
"""
import sys

import numpy as np

import datalink

host = sys.argv[1] if len(sys.argv) > 1 else "localhost"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 5010
samples = np.sin(np.linspace(0, 2 * np.pi, 4096, dtype=np.float32))  # the body: any contiguous array

with datalink.connect(host, port) as link:
    for number in range(10):
        header = datalink.event_header(type=1, number=number, length=samples.nbytes)
        header["tmask"] = 0x5
        link.send(header, samples, ack=True)  # the collector acknowledges each unit
print("sent 10 units of", samples.nbytes, "bytes")
