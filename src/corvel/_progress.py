"""Progress reports: a caller's callable, or a bar on a terminal."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Final, TextIO

__all__ = ["Bar", "Throttle", "make_progress", "format_bytes"]

# At most this many reports a second.
_INTERVAL: Final = 0.1

type Callback = Callable[[int, int | None], object]


def format_bytes(n: float) -> str:
    """`n` bytes in the largest unit that keeps it at or above 1, e.g. ``"12.3 MB"``.

    Args:
        n: A count of bytes.

    Returns:
        The text.
    """
    for unit in ("B", "kB", "MB", "GB", "TB"):
        if abs(n) < 1000 or unit == "TB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    raise AssertionError("unreachable")


class Throttle:
    """Passes reports on to `callback` at most ten times a second, and always the last."""

    __slots__ = ("_callback", "_last", "_pending")

    def __init__(self, callback: Callback) -> None:
        self._callback = callback
        self._last = -_INTERVAL
        self._pending: tuple[int, int | None] | None = None

    def __call__(self, done: int, total: int | None) -> None:
        now = time.monotonic()
        if now - self._last >= _INTERVAL:
            self._last = now
            self._pending = None
            self._callback(done, total)
        else:
            self._pending = (done, total)

    def finish(self, done: int, total: int | None) -> None:
        """Reports the final position, whatever the time since the last report."""
        self._pending = None
        self._callback(done, total)


class Bar:
    """A one-line progress bar, redrawn in place on a terminal."""

    __slots__ = ("_stream", "_start", "_drawn")
    _WIDTH: Final = 28

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._start = time.monotonic()
        self._drawn = False

    def __call__(self, done: int, total: int | None) -> None:
        elapsed = max(time.monotonic() - self._start, 1e-9)
        rate = done / elapsed
        if total:
            share = min(done / total, 1.0)
            filled = int(share * self._WIDTH)
            left = (total - done) / rate if rate > 0 else 0.0
            line = (f"[{'#' * filled}{'.' * (self._WIDTH - filled)}] {share * 100:5.1f}% "
                    f"{format_bytes(done)} / {format_bytes(total)}  {format_bytes(rate)}/s  "
                    f"{int(left) // 60}:{int(left) % 60:02d} left")
        else:
            line = f"{format_bytes(done)}  {format_bytes(rate)}/s"
        self._stream.write("\r\x1b[2K" + line)
        self._stream.flush()
        self._drawn = True

    def clear(self) -> None:
        """Erases the bar, so that what comes next starts on a clean line."""
        if self._drawn:
            self._stream.write("\r\x1b[2K")
            self._stream.flush()
            self._drawn = False


def make_progress(arg: None | bool | Callback) -> tuple[Throttle | None, Bar | None]:
    """Turns a ``progress=`` argument into a throttled callback.

    Args:
        arg: ``None`` or ``False`` for none; ``True`` for a bar on standard
            error when it is a terminal; or a callable taking
            ``(bytes_done, bytes_total_or_None)``.

    Returns:
        The throttle to feed, or ``None``; and the bar to clear at the end,
        or ``None``.
    """
    if arg is None or arg is False:
        return None, None
    if arg is True:
        stream = sys.stderr
        if stream is None or not stream.isatty():
            return None, None
        bar = Bar(stream)
        return Throttle(bar), bar
    return Throttle(arg), None
