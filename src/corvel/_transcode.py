"""UTF-8 from any encoding Python knows, as a stream, for the encodings that
can't be parsed as bytes (UTF-16, UTF-32, the multi-byte East Asian ones)."""

from __future__ import annotations

import codecs
import io
from typing import IO, Final

__all__ = ["Utf8Reader"]

_CHUNK: Final = 1 << 20


class Utf8Reader(io.RawIOBase):
    """Reads `stream` (after `head`, bytes already taken from it), decodes it
    with `codec` and gives the text as UTF-8. Undecodable bytes become
    U+FFFD, and are counted in `replaced`."""

    def __init__(self, stream: IO[bytes], head: bytes, codec: str) -> None:
        super().__init__()
        self._stream = stream
        self._head: bytes | None = head
        self._decoder = codecs.getincrementaldecoder(codec)(errors="replace")
        self._out = b""
        self._at = 0  # bytes of _out already given
        self._eof = False

    def readable(self) -> bool:
        return True

    def _fill(self) -> None:
        while self._at == len(self._out) and not self._eof:
            self._at = 0
            if self._head is not None:
                raw, self._head = self._head, None
            else:
                raw = self._stream.read(_CHUNK)
            if not raw:
                self._eof = True
                self._out = self._decoder.decode(b"", final=True).encode("utf-8", "surrogatepass")
            else:
                self._out = self._decoder.decode(raw).encode("utf-8", "surrogatepass")

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        self._fill()
        n = min(len(buffer), len(self._out) - self._at)
        buffer[:n] = self._out[self._at:self._at + n]
        self._at += n
        return n
