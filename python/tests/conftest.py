"""Shared helpers of the binding tests: free ports, the datalink program as
the other end of a link, units of every kind built with NumPy."""
import os
import signal
import socket
import subprocess
import time

import numpy as np
import pytest

import datalink

TOOL = os.environ.get("DATALINK_TOOL", "datalink")


def unix_path(port):
    return f"/tmp/{port}.tcp"


def free_port():
    """A TCP port free right now whose UNIX-domain path does not exist."""
    while True:
        with socket.socket() as s:
            s.bind(("", 0))
            port = s.getsockname()[1]
        if not os.path.exists(unix_path(port)):
            return port


@pytest.fixture
def port():
    p = free_port()
    yield p
    if os.path.exists(unix_path(p)):
        os.unlink(unix_path(p))


@pytest.fixture(autouse=True)
def time_limit():
    """Ends a test that hangs: the alarm interrupts a blocked call like Ctrl-C does."""

    def expire(signum, frame):
        raise TimeoutError("the test took longer than 60 s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(60)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def tool(*args):
    """The datalink program in the background."""
    return subprocess.Popen([TOOL, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=30):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise
    assert proc.returncode == 0, err
    return out


def connect_when_up(port, unix=False, seconds=10):
    """Connects once the listener in another process is up."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return datalink.connect("localhost", port, unix=unix, quiet=True)
        except datalink.LinkError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def sample_units():
    """(header, body) of every kind and generation; bodies are NumPy arrays."""
    rng = np.random.default_rng(16)
    units = []
    for i, kind in enumerate(["2010", "older", "2024"]):
        body = rng.integers(0, 256, 64 + 36 * i, dtype=np.uint8)
        units.append((datalink.event_header(i + 1, 100 + i, body.nbytes, time=1.7e9 + i, kind=kind), body))
    for kind in ["2024", "older"]:
        channels = rng.integers(0, 2**32, 9, dtype=np.uint32)
        units.append((datalink.slow_data_header(channels.size, channels.nbytes, kind=kind), channels))
    return units


def unit_bytes(header, *body):
    return header.tobytes() + b"".join(np.asarray(b).tobytes() for b in body)
