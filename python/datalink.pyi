"""Point-to-point event stream links for data acquisition (type stubs)."""

from typing import Iterable, Iterator, Literal, Optional, Self, Sequence, Tuple, Union

import numpy as np

# Anything with the buffer protocol; contiguous memory is required.
Buffer = Union[bytes, bytearray, memoryview, np.ndarray, np.generic]

EVENT_HEADER_DTYPE: np.dtype
"""36-byte event header of the 2010 and older generations."""
EVENT_HEADER_2024_DTYPE: np.dtype
"""48-byte event header of the 2024 generation."""
SLOW_DATA_HEADER_DTYPE: np.dtype
"""12-byte slow-data header."""
IMAGE_HEAD_DTYPE: np.dtype
"""8-byte image head (pattern, length)."""
IMAGE_FRAME_HEAD_DTYPE: np.dtype
"""100-byte extended image frame head."""
IMAGE_INTRO_DTYPE: np.dtype
"""108-byte image intro: ``intro`` (an image head) and ``head`` (a frame head)."""
SPECTRUM_INTRO_DTYPE: np.dtype
"""56-byte spectrum intro: ``intro`` (pattern, length) and ``head``."""

class LinkError(Exception):
    """A call on the link failed with a status code of the library."""

    status: int
    """The status code, 1 to 30."""
    name: str
    """The code's name, such as ``"DL_ERR_TIMEOUT"``."""
    def __init__(self, message: str, status: int = ..., name: str = ...) -> None: ...

class Timeout(LinkError):
    """Nothing arrived within the time-out (22)."""

class NoRoom(LinkError):
    """No room for the unit in the collector's ring or the caller's buffer (25)."""

class NotConnected(LinkError):
    """The link holds no connection (6)."""

class PeerClosed(LinkError):
    """The peer closed the connection."""

def status_name(status: int) -> str:
    """The name of a status code, such as ``"DL_ERR_TIMEOUT"`` for 22."""

def event_header(
    type: int,
    number: int,
    length: int,
    time: Optional[float] = None,
    kind: Literal["2010", "2024", "older"] = "2024",
) -> np.ndarray:
    """A new event header record; ``length`` is the body's size in bytes."""

def slow_data_header(channels: int, length: int, kind: Literal["2024", "older"] = "2024") -> np.ndarray:
    """A new slow-data header record; ``length`` is the body's size in bytes."""

def image_head(length: int) -> np.ndarray:
    """A new image head record; ``length`` counts the frame head and the data behind it."""

class RingBuffer:
    """A byte ring that a collector fills with received blocks."""

    def __init__(self, capacity: int) -> None: ...
    def write(self, data: Buffer) -> bool:
        """Stores all of data, or nothing (False) when it does not fit."""
    def read(self, size: int) -> bytes:
        """Takes up to size bytes, oldest first."""
    def read_into(self, buffer: Buffer) -> int:
        """Moves up to len(buffer) bytes into a writable buffer; returns how many."""
    @property
    def used(self) -> int:
        """Bytes held now."""
    @property
    def size(self) -> int:
        """Capacity in bytes."""
    def __len__(self) -> int: ...

class Block:
    """One received event or slow-data block; its body is valid until the next receive."""

    @property
    def kind(self) -> Literal["event", "event2024", "slow"]: ...
    @property
    def header(self) -> np.void:
        """The header record (a copy)."""
    @property
    def body(self) -> memoryview:
        """The bytes behind the header, read-only, without a copy."""
    @property
    def number(self) -> Optional[int]:
        """The event number; None for slow data."""
    @property
    def type(self) -> Optional[int]:
        """The event type; None for slow data."""
    @property
    def length(self) -> int:
        """Bytes of the whole block, header included."""
    def copy(self) -> Block:
        """A block that owns a copy of its bytes."""
    def tobytes(self) -> bytes:
        """Header and body as bytes."""
    def __len__(self) -> int: ...

class Link:
    """A connected link, from ``Listener.accept()`` or ``connect()``."""

    def close(self) -> None:
        """Ends the connection."""
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def send(self, header: Buffer, *body: Buffer, ack: bool = False) -> None:
        """Sends one unit: a header record and buffers behind it, without a copy."""
    def send_many(self, units: Iterable[Sequence[Buffer]], ack: bool = False) -> int:
        """Sends several units in one call; returns how many."""
    def receive(self, ring: Optional[RingBuffer] = None, timeout: Optional[float] = None) -> Block:
        """Receives the next event or slow-data block."""
    def __iter__(self) -> Iterator[Block]: ...
    def __next__(self) -> Block: ...
    def receive_image(
        self, buf: Optional[Buffer] = None, timeout: Optional[float] = None
    ) -> Tuple[np.void, np.ndarray]:
        """Receives one image: its intro record and its data."""
    def receive_spectrum(
        self, buf: Optional[Buffer] = None, timeout: Optional[float] = None
    ) -> Tuple[np.void, np.ndarray]:
        """Receives one spectrum: its intro record and its data."""
    def send_request(self, data: Buffer) -> None:
        """Writes raw request bytes to the peer."""
    @property
    def swap(self) -> bool:
        """True when records on this connection are converted between byte orders."""
    @property
    def peer_closed(self) -> bool:
        """True once the peer has closed."""
    @property
    def connected(self) -> bool:
        """True while a connection is held."""
    retries: int
    """Retry budget of the sending waits (100 ms each)."""
    socket_buffer: int
    """Bytes asked for the socket's send and receive buffers; 0 for the system's sizes."""

class Listener:
    """The listening end of a link, usually the collector."""

    def __init__(self, port: int, *, unix: bool = False, bigend: bool = False, quiet: bool = False) -> None: ...
    def accept(self) -> Link:
        """Waits for a producer and returns the link."""
    def close(self) -> None:
        """Releases the socket and a UNIX-domain path."""
    @property
    def port(self) -> int: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc_info: object) -> None: ...

def connect(host: str, port: int, *, unix: bool = False, quiet: bool = False) -> Link:
    """Connects to a listener and returns the link."""
