"""The binding against the C++ datalink program and against itself: bytes,
both transports and byte orders, acknowledgement, statuses, zero copy,
signals. The protocol itself is covered by the C++ suite."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import datalink
from conftest import TOOL, connect_when_up, finish, sample_units, tool, unit_bytes

TRANSPORTS = [pytest.param(False, id="tcp"), pytest.param(True, id="unix")]
ORDERS = [pytest.param(False, id="native"), pytest.param(True, id="bigend")]
ACKS = [pytest.param(False, id="noack"), pytest.param(True, id="ack")]


def flags(unix=False, bigend=False, ack=False):
    return (["--unix"] if unix else []) + (["--bigend"] if bigend else []) + (["--ack"] if ack else [])


@pytest.mark.parametrize("ack", ACKS)
@pytest.mark.parametrize("bigend", ORDERS)
@pytest.mark.parametrize("unix", TRANSPORTS)
def test_python_producer_to_tool_collector(tmp_path, port, unix, bigend, ack):
    units = sample_units()
    out = tmp_path / "blocks.dat"
    collector = tool("listen", "--port", port, "--out", out, "--count", len(units), *flags(unix, bigend, ack))
    with connect_when_up(port, unix=unix) as link:
        assert link.swap == bigend
        link.send_many(units[:2], ack=ack)
        for header, body in units[2:]:
            link.send(header, body, ack=ack)
        finish(collector)
    assert out.read_bytes() == b"".join(unit_bytes(h, b) for h, b in units)


@pytest.mark.parametrize("ack", ACKS)
@pytest.mark.parametrize("bigend", ORDERS)
@pytest.mark.parametrize("unix", TRANSPORTS)
def test_tool_producer_to_python_collector(tmp_path, port, unix, bigend, ack):
    expected = [unit_bytes(h, b) for h, b in sample_units()]
    replay = tmp_path / "replay.dat"
    replay.write_bytes(b"".join(expected))
    ring = datalink.RingBuffer(1 << 16) if ack else None
    with datalink.Listener(port, unix=unix, bigend=bigend, quiet=True) as listener:
        producer = tool("send", "--host", "localhost", "--port", port, "--replay", replay, *flags(unix, False, ack))
        with listener.accept() as link:
            assert link.swap == bigend
            received = []
            while True:
                try:
                    received.append(link.receive(ring=ring, timeout=10).tobytes())
                except datalink.PeerClosed:
                    break
        finish(producer)
    assert received == expected
    if ring is not None:  # acknowledged from the ring's free space, and stored in it
        first = bytearray(10)
        assert ring.read_into(first) == 10 and first + ring.read(ring.size) == b"".join(expected) and ring.used == 0


def xorshift_bytes(count, index):
    """The synthetic image data of `datalink send --kind image` for unit `index`."""
    mask = (1 << 64) - 1
    state = (index * 0x9E3779B97F4A7C15 + 0x2545F4914F6CDD1D) & mask
    out = bytearray(count)
    for i in range(count):
        state ^= (state << 13) & mask
        state ^= state >> 7
        state ^= (state << 17) & mask
        out[i] = (state >> 24) & 0xFF
    return bytes(out)


@pytest.mark.parametrize("bigend", ORDERS)
@pytest.mark.parametrize("unix", TRANSPORTS)
def test_tool_images_to_python(port, unix, bigend):
    size = 2560
    with datalink.Listener(port, unix=unix, bigend=bigend, quiet=True) as listener:
        producer = tool("send", "--host", "localhost", "--port", port, "--kind", "image", "--count", 2, "--size", size,
                        *flags(unix))
        with listener.accept() as link:
            for index in range(2):
                intro, data = link.receive_image(timeout=10)
                assert intro["intro"]["length"] == datalink.IMAGE_INTRO_DTYPE.itemsize + size
                assert intro["head"]["width"] == 640
                expected = np.frombuffer(xorshift_bytes(size, index), np.uint8)
                if bigend:  # image data travels in network order and is not converted back
                    expected = expected.view(">u4").astype("<u4").view(np.uint8)
                assert data.dtype == np.uint8 and data.tobytes() == expected.tobytes()
        finish(producer)



def pair(port, **listener_options):
    """A listener and both ends of one connection inside this process."""
    listener = datalink.Listener(port, **listener_options)
    thread, producer = in_thread(datalink.connect, "localhost", port, quiet=True)
    collector = listener.accept()
    thread.join(10)
    return listener, collector, producer["value"]


def in_thread(call, *args, **kwargs):
    """Runs call in a thread; the result or the exception it raised."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call(*args, **kwargs)
        except Exception as error:  # handed to the test
            outcome["value"] = error

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


def test_statuses_as_exceptions(port, capfd):
    listener, collector, producer = pair(port, quiet=True)
    with listener, collector, producer:
        with pytest.raises(datalink.LinkError) as in_use:
            datalink.Listener(port, quiet=True)
        assert in_use.value.status == 7 and in_use.value.name == "DL_ERR_BIND"

        started = time.monotonic()
        with pytest.raises(datalink.Timeout) as timeout:
            collector.receive(timeout=0.3)
        assert timeout.value.status == 22 and timeout.value.name == "DL_ERR_TIMEOUT"
        assert 0.25 < time.monotonic() - started < 2

        # A ring without room: the collector refuses, and the acknowledging
        # producer (in another thread, the GIL released) learns it.
        body = np.zeros(4096, np.uint8)
        thread, sent = in_thread(producer.send, datalink.event_header(1, 1, body.nbytes), body, ack=True)
        with pytest.raises(datalink.NoRoom) as refused:
            collector.receive(ring=datalink.RingBuffer(1024), timeout=5)
        thread.join(10)
        assert refused.value.status == 25
        assert isinstance(sent["value"], datalink.NoRoom) and sent["value"].status == 25

        producer.close()
        with pytest.raises(datalink.NotConnected) as not_connected:
            producer.send(datalink.event_header(1, 2, 0))
        assert not_connected.value.status == 6
        with pytest.raises(datalink.PeerClosed):
            collector.receive(timeout=5)
        assert collector.peer_closed and list(collector) == []
    assert capfd.readouterr() == ("", "")  # quiet links print nothing


def test_quiet_is_per_link(port, capfd):
    with datalink.Listener(port, quiet=True) as listener:
        thread, talker = in_thread(datalink.connect, "localhost", port, quiet=False)
        silent = listener.accept()
        thread.join(10)
        talker = talker["value"]
        talker.close()
        silent.close()
        for link in (talker, silent):
            with pytest.raises(datalink.NotConnected):
                link.send(datalink.event_header(1, 1, 0))
    out, err = capfd.readouterr()
    assert err.count("SendEvent(): Unable to send event.  Not Connected.") == 1


def test_blocks_images_and_spectra_in_process(port):
    listener, collector, producer = pair(port, quiet=True)
    with listener, collector, producer:
        body = np.arange(1000, dtype=np.float64)
        producer.send(datalink.event_header(7, 42, body.nbytes, kind="2010"), body)
        block = collector.receive(timeout=5)
        assert (block.kind, block.type, block.number, block.length) == ("event", 7, 42, 36 + body.nbytes)
        assert block.header["event_number"] == 42 and block.body.readonly
        kept = block.copy()
        view = block.body
        assert np.array_equal(np.frombuffer(view, np.float64), body)

        producer.send(datalink.slow_data_header(2, 8), b"\x01\x00\x00\x00\x02\x00\x00\x00")
        slow = collector.receive(timeout=5)
        assert (slow.kind, slow.number, bytes(slow.body)) == ("slow", None, b"\x01\0\0\0\x02\0\0\0")
        with pytest.raises(ValueError):  # the first block's memory belongs to the library again
            block.body
        with pytest.raises(ValueError):
            view[0]
        assert np.array_equal(np.frombuffer(kept.body, np.float64), body)

        # An image sent as head, frame head and data; received into the caller's array.
        pixels = np.arange(64 * 32, dtype=np.uint16)
        frame = np.zeros((), datalink.IMAGE_FRAME_HEAD_DTYPE)
        frame["width"], frame["height"], frame["bpp"] = 64, 32, 2
        producer.send(datalink.image_head(frame.nbytes + pixels.nbytes), frame, pixels)
        into = np.zeros(pixels.size + 10, np.uint16)
        intro, data = collector.receive_image(buf=into, timeout=5)
        assert intro["head"]["width"] == 64 and np.array_equal(into[: pixels.size], pixels)
        assert data.nbytes == pixels.nbytes and np.shares_memory(data, into)

        # A spectrum written raw (the library has no spectrum sender), behind stray bytes.
        spectrum = np.linspace(0, 1, 50, dtype=np.float32)
        head = np.zeros((), datalink.SPECTRUM_INTRO_DTYPE)
        head["intro"]["pattern"] = 0xFFEEFFDD
        head["intro"]["length"] = head.nbytes + spectrum.nbytes
        head["head"]["event_nm"] = 9
        producer.send_request(b"\x00\x07" + head.tobytes() + spectrum.tobytes())
        intro, data = collector.receive_spectrum(timeout=5)
        assert intro["head"]["event_nm"] == 9 and data.tobytes() == spectrum.tobytes()
        with pytest.raises(datalink.NoRoom):
            producer.send_request(head.tobytes() + spectrum.tobytes())
            collector.receive_spectrum(buf=bytearray(8), timeout=5)


def run_child(code, *args):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def test_send_does_not_copy_the_body(port):
    size = 64 << 20
    collector = tool("listen", "--port", port, "--count", 1, "--ring", 2 * size)
    sender = run_child("""
        import resource, sys, numpy as np, datalink, time
        port, size = int(sys.argv[1]), int(sys.argv[2])
        body = np.ones(size, np.uint8)          # touched: resident
        peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        for _ in range(500):
            try:
                link = datalink.connect("localhost", port, quiet=True)
                break
            except datalink.LinkError:
                time.sleep(0.02)
        before = peak()
        link.send(datalink.event_header(1, 1, body.nbytes), body)
        print(peak() - before)
    """, port, size)
    out, err = sender.communicate(timeout=60)
    assert sender.returncode == 0, err
    finish(collector)
    assert int(out) < size // 8  # a copy of the body would raise the peak by its size


def test_sigint_ends_a_blocked_receive(port):
    child = run_child("""
        import signal, sys, datalink
        signal.signal(signal.SIGINT, signal.default_int_handler)
        with datalink.Listener(int(sys.argv[1]), quiet=True) as listener, listener.accept() as link:
            print("waiting", flush=True)
            try:
                link.receive()
            except KeyboardInterrupt:
                print("interrupted", flush=True)
                sys.exit(3)
    """, port)
    with connect_when_up(port):
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        started = time.monotonic()
        out, err = child.communicate(timeout=10)
    assert child.returncode == 3 and out == "interrupted\n", err
    assert time.monotonic() - started < 1.5


def test_stubs_and_docstrings_cover_the_module():
    import ast
    stub = ast.parse(open(os.path.join(os.path.dirname(datalink.__file__), "datalink.pyi")).read())
    declared = {node.targets[0].id if isinstance(node, ast.Assign) else getattr(node, "name", None)
                for node in stub.body} | {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    public = {name for name in dir(datalink) if not name.startswith("_")}
    assert public <= declared
    for name in public:
        thing = getattr(datalink, name)
        assert not callable(thing) or thing.__doc__, name
        for member, value in vars(thing).items() if isinstance(thing, type) else []:
            assert member.startswith("_") or value.__doc__, (name, member)
