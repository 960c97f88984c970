"""Turning whatever a caller passes as a source into a stream of bytes.

A source is a path (``str`` or ``os.PathLike``) or a binary file object
(anything with ``read``). Compressed input is recognised by its first bytes,
never by its name, and is decompressed as it is read, so memory stays
bounded whatever the size of the input.
"""

from __future__ import annotations

import errno
import io
import os
import select
import stat
import threading
from dataclasses import dataclass, field
from typing import IO, Final, Protocol, runtime_checkable

__all__ = ["Compression", "Source", "open_source", "read_sample", "sniff_compression"]

# Magic numbers, longest first where they share a prefix. bzip2 is checked
# through its block header as well, so that a text starting "BZh" stays text.
_GZIP: Final = b"\x1f\x8b"
_BZIP2: Final = b"BZh"
_BZIP2_LEVELS: Final = tuple(b"%d" % n for n in range(1, 10))
_BZIP2_BLOCK: Final = b"\x31\x41\x59\x26\x53\x59"  # a block follows
_BZIP2_END: Final = b"\x17\x72\x45\x38\x50\x90"  # an empty stream
_XZ: Final = b"\xfd7zXZ\x00"
_ZSTD: Final = b"\x28\xb5\x2f\xfd"
# A stream that has nothing yet can't be told from one that has ended.
_WOULD_BLOCK: Final = ("the source's read() returned None: it is a non-blocking stream with no data yet; "
                       "pass a blocking one")
# Enough bytes to tell any of them apart.
MAGIC_BYTES: Final = 10
# How long a read of a pipe or FIFO waits for data before it looks whether
# it was asked to stop.
_WAIT_SLICE_MS: Final = 50
_STOPPED: Final = "reading the source was stopped"

type Compression = str  # "gzip", "bz2", "xz" or "zstd"


@runtime_checkable
class Readable(Protocol):
    """What a file object must offer to be read from."""

    def read(self, size: int = -1, /) -> bytes: ...


def sniff_compression(head: bytes) -> Compression | None:
    """Names the compression format that `head` starts with.

    Args:
        head: The first bytes of the input (at least ``MAGIC_BYTES`` when the
            input is that long).

    Returns:
        ``"gzip"``, ``"bz2"``, ``"xz"``, ``"zstd"``, or ``None`` for input
        that is not compressed in a format corvel reads.
    """
    if head.startswith(_GZIP) and len(head) > 2 and head[2] == 8:
        return "gzip"
    if head.startswith(_XZ):
        return "xz"
    if head.startswith(_ZSTD):
        return "zstd"
    if head.startswith(_BZIP2) and head[3:4] in _BZIP2_LEVELS and head[4:10] in (_BZIP2_BLOCK, _BZIP2_END):
        return "bz2"
    return None


class _Replay(io.RawIOBase):
    """A raw stream that first gives back bytes already read from `inner`.

    With `fd`, the descriptor `inner` reads (a pipe or FIFO), every read waits
    for data in short slices and ends with ``ECANCELED`` once `stop` is set:
    a thread that decompresses or decodes such a source in Python can then be
    stopped while its writer holds it open without writing.
    """

    def __init__(self, head: bytes, inner: Readable, fd: int | None = None,
                 stop: threading.Event | None = None) -> None:
        super().__init__()
        self._head = memoryview(head)
        self._inner = inner
        self._stop = stop
        self._poll: select.poll | None = None
        if fd is not None and stop is not None:
            self._poll = select.poll()
            self._poll.register(fd, select.POLLIN | select.POLLPRI)

    def _wait(self) -> None:
        """Returns once a read won't block; raises once `stop` is set."""
        assert self._stop is not None and self._poll is not None
        while True:
            if self._stop.is_set():
                raise OSError(errno.ECANCELED, _STOPPED)
            # Hang-up and errors count as ready: the read then reports them.
            if self._poll.poll(_WAIT_SLICE_MS):
                return

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        if self._poll is not None:
            self._wait()
        readinto = getattr(self._inner, "readinto", None)
        if readinto is not None:
            got = readinto(buffer)
            if got is None:
                raise BlockingIOError(_WOULD_BLOCK)
            return int(got)
        data: object = self._inner.read(len(buffer))
        if data is None:
            raise BlockingIOError(_WOULD_BLOCK)
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"the source's read() returned {type(data).__name__}, not bytes")
        n = len(data)
        if n > len(buffer):
            raise ValueError(f"the source's read() returned more bytes than were asked for ({n} > {len(buffer)})")
        buffer[:n] = data
        return n


def _unbuffered(raw: _Replay) -> IO[bytes]:
    """A pipe's stream as it is: each read gives what the pipe has, where a
    buffered reader would wait for a whole buffer (a decompressor asks for
    128 KiB at a time) and so for data that may never come."""
    return raw  # type: ignore[return-value]


def _decompressor(kind: Compression, raw: IO[bytes]) -> IO[bytes]:
    if kind == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    if kind == "bz2":
        import bz2

        return bz2.BZ2File(raw, mode="rb")
    if kind == "xz":
        import lzma

        return lzma.LZMAFile(raw, mode="rb")
    from compression import zstd

    return zstd.ZstdFile(raw, mode="rb")  # type: ignore[return-value]


@dataclass(slots=True)
class Source:
    """An opened source: its bytes as read, and what is known about it.

    Attributes:
        stream: The (decompressed) bytes, read with ``readinto`` or ``read``.
        name: How messages name the source: the path, or the file object's
            ``name`` when it has one.
        fd: For an uncompressed path, the open descriptor, which the native
            core may read by itself after `head`; ``None`` otherwise.
        head: Bytes already taken from `fd` that come before what it gives
            next (empty when the descriptor was rewound).
        size: The number of bytes the source gives, when known (a plain
            regular file); ``None`` for pipes and compressed input.
        compression: The compression format, or ``None``.
        stop: Set to stop a reader of a pipe or FIFO opened by path that
            waits for data: its read raises ``OSError`` (``ECANCELED``).
    """

    stream: IO[bytes]
    name: str | None
    fd: int | None
    head: bytes
    size: int | None
    compression: Compression | None
    _owned: list[IO[bytes]]
    stop: threading.Event = field(default_factory=threading.Event)

    def close(self) -> None:
        """Closes what this source opened itself (never the caller's file)."""
        while self._owned:
            self._owned.pop().close()

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_sample(src: Source, size: int) -> bytes:
    """The first bytes of `src`, taken from it: its `head` whole, then what
    it gives until there are `size` bytes or it ends.

    Raises:
        BlockingIOError: A non-blocking stream had no data yet.
    """
    parts = [src.head]
    have = len(src.head)
    while have < size:
        piece = os.read(src.fd, size - have) if src.fd is not None else src.stream.read(size - have)
        if piece is None:
            # A non-blocking stream with nothing yet: taking it for the end would lose the rest.
            raise BlockingIOError("the source's read() returned None: it is non-blocking and has no data yet")
        if not piece:
            break
        parts.append(piece)
        have += len(piece)
    return b"".join(parts)


def _read_head(raw: IO[bytes] | Readable, param: str = "source") -> bytes:
    head = b""
    while len(head) < MAGIC_BYTES:
        piece = raw.read(MAGIC_BYTES - len(head))
        if isinstance(piece, (bytearray, memoryview)):
            piece = bytes(piece)
        if not isinstance(piece, bytes):
            raise TypeError(f"{param} must be opened in binary mode: its read() returned "
                            f"{type(piece).__name__}, not bytes")
        if not piece:
            break
        head += piece
    return head


def open_source(source: str | os.PathLike[str] | Readable, *, param: str = "source") -> Source:
    """Opens `source` for reading, decompressing it when it is compressed.

    Args:
        source: A path, or a binary file object. A file object is read from
            its current position and never closed here.
        param: The parameter's name, for messages.

    Returns:
        The opened source; close it (or use it in ``with``) when done.

    Raises:
        OSError: The path can't be opened or read (the proper subclass, with
            ``errno``, ``strerror`` and ``filename`` set).
        TypeError: `source` is neither a path nor a readable binary object,
            or the object yields ``str`` instead of ``bytes``.
    """
    owned: list[IO[bytes]] = []
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(source)
        raw: IO[bytes] = open(path, "rb", buffering=0)  # noqa: SIM115 - closed by Source.close
        owned.append(raw)
        try:
            st = os.fstat(raw.fileno())
            regular = stat.S_ISREG(st.st_mode)
            head = _read_head(raw)
            kind = sniff_compression(head)
            stop = threading.Event()
            if regular:
                raw.seek(0)
            if kind is None:
                size = st.st_size if regular else None
                # A pipe's head is the source's `head`: the stream goes on after it.
                stream = raw if regular else _unbuffered(_Replay(b"", raw, raw.fileno(), stop))
                return Source(stream, path, raw.fileno(), b"" if regular else head, size, None, owned, stop)
            if not regular:
                raw = _unbuffered(_Replay(head, raw, raw.fileno(), stop))
            stream = _decompressor(kind, raw)
        except BaseException:
            raw.close()
            raise
        owned.append(stream)
        return Source(stream, path, None, b"", None, kind, owned, stop)

    if isinstance(source, (bytes, bytearray, memoryview)):
        raise TypeError(f"{param} must be a path or a binary file object, not "
                        f"{type(source).__name__}; wrap bytes in io.BytesIO")
    if not isinstance(source, Readable):
        raise TypeError(f"{param} must be a path or a binary file object, not {type(source).__name__}")
    head = _read_head(source, param)
    named = getattr(source, "name", None)
    name = named if isinstance(named, str) else None
    raw = io.BufferedReader(_Replay(head, source))
    kind = sniff_compression(head)
    if kind is None:
        return Source(raw, name, None, b"", None, None, owned)
    stream = _decompressor(kind, raw)
    owned.append(stream)
    return Source(stream, name, None, b"", None, kind, owned)
