#!/usr/bin/env python3
"""make_fixture.py - records tests/capture/fixture.pcap: a producer played by
hand against "datalink listen --ack", captured on loopback with dumpcap.

    tests/capture/make_fixture.py build/default/tools/datalink tests/capture/fixture.pcap

The stream holds what the dissector must cope with: a header split over two
segments, a body in three, stray bytes before a pattern, two units in one
segment, and a unit in network order on a native link. Needs the right to
capture on lo.
"""
import socket
import struct
import subprocess
import sys
import time

tool, out = sys.argv[1], sys.argv[2]
probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()


def event(pattern, number, body, order="<"):
    head = struct.pack(order + "IIIiIIiii", pattern, 36 + len(body), number, 1, 1700000000, number, 0, 0, 1)
    return head, body


def event2024(number, body):
    head = struct.pack("<IiqQIIiii4x", 0xFFCCFFCC, 2, 48 + len(body), number, 1700000001, 5, 0, 0, 1)
    return head, body


def slow(channels, body):
    return struct.pack("<III", 0xFFEEFFFF, 12 + len(body), channels), body


def pause():
    time.sleep(0.05)


dumpcap = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-f", "tcp port %d" % port, "-P", "-w", out],
                           stderr=subprocess.PIPE)
time.sleep(1.0)
listener = subprocess.Popen([tool, "listen", "--port", str(port), "--ack", "--count", "6"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
listener.stderr.readline()  # "listening on tcp port N"
peer = socket.create_connection(("127.0.0.1", port))
peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
assert peer.recv(4) == struct.pack("<I", 0x0A0B0C0D)


def acks(count):
    got = b""
    while len(got) < 4 * count:
        got += peer.recv(4 * count - len(got))


head, body = event(0xFFEEFFEE, 1, bytes(range(20)))
peer.sendall(head); acks(1); peer.sendall(body); pause()

head, body = event2024(2, bytes(range(100)))
peer.sendall(head[:20]); pause(); peer.sendall(head[20:]); acks(1)
for piece in (body[:30], body[30:70], body[70:]):
    peer.sendall(piece); pause()

peer.sendall(b"garbage"); pause()
head, body = slow(4, bytes(16))
peer.sendall(head); acks(1); peer.sendall(body); pause()

first, second = event(0xFFEEFFDD, 4, bytes(8)), event(0xFFEEFFEE, 5, bytes(12))
peer.sendall(b"".join(first + second)); acks(2); pause()

head, body = event(0xFFEEFFDD, 6, bytes(4), order=">")
peer.sendall(head); acks(1); peer.sendall(body); pause()

peer.close()
listener.wait(timeout=10)
time.sleep(0.5)
dumpcap.terminate()
dumpcap.wait(timeout=10)
