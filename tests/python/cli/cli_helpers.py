"""Running the `corvel` command as a user would, in a subprocess."""

import bz2
import codecs
import csv
import gzip
import io
import lzma
import os
import pathlib
import select
import subprocess
import sys
import time

CORVEL = [sys.executable, "-m", "corvel"]
# The console script pip installed beside the interpreter.
SCRIPT = pathlib.Path(sys.executable).parent / "corvel"

ROWS = [
    ["id", "name", "city", "note"],
    ["1", "Zoë", "Köln", "a;b"],
    ["2", "Renée", "Zürich", 'say "hi"'],
    ["3", "Ångström", "Málaga", "two\nlines"],
]


def csv_bytes(rows, *, delimiter=",", newline="\n", encoding="utf-8"):
    buf = io.StringIO(newline="")
    csv.writer(buf, delimiter=delimiter, lineterminator=newline).writerows(rows)
    return buf.getvalue().encode(encoding)


def _zstd(data):
    from compression import zstd

    return zstd.compress(data)


PLAIN = csv_bytes(ROWS)

# name: (the file's bytes, check's exit status)
MESSY = {
    "clean": (PLAIN, 0),
    "blank-lines": (PLAIN.replace(b"\n1,", b"\n\n\n1,"), 0),
    "excel-bom-semicolon-crlf": (codecs.BOM_UTF8 + csv_bytes(ROWS, delimiter=";", newline="\r\n"), 0),
    "latin-1": (csv_bytes(ROWS, encoding="latin-1"), 0),
    "utf-16-bom": (csv_bytes(ROWS, encoding="utf-16"), 0),
    "gzip": (gzip.compress(PLAIN), 0),
    "bz2": (bz2.compress(PLAIN), 0),
    "xz": (lzma.compress(PLAIN), 0),
    "zstd": (_zstd(PLAIN), 0),
    "short-row": (PLAIN + b"4,Ada\n", 1),
    "long-row": (PLAIN + b"4,Ada,Paris,x,y,z\n", 1),
    "stray-quote": (PLAIN + b'4,Ada,Paris,"said "hi" twice"\n', 1),
    "gzip-short-row": (gzip.compress(PLAIN + b"4,Ada\n"), 1),
}


def run(*args, stdin=None, timeout=120, command=CORVEL, **kwargs):
    """Runs corvel with `args`; stdin is bytes or a file object."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin if stdin is not None else subprocess.DEVNULL}
    return subprocess.run([*command, *map(str, args)], capture_output=True, timeout=timeout, **feed, **kwargs)


def listing(path):
    return sorted(os.listdir(path))


def open_fifo_for_writing(path, deadline):
    """Opens `path` for writing once a reader has opened it, or fails at the deadline."""
    while True:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # ENXIO: no reader yet
            if time.monotonic() > deadline:
                raise TimeoutError(f"nobody opened {path} for reading") from None
            time.sleep(0.01)
            continue
        return fd


def feed(fd, data, deadline):
    """Writes all of `data` to the non-blocking `fd`, or fails at the deadline."""
    view = memoryview(data)
    while view:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("the reader stopped reading")
        _, ready, _ = select.select([], [fd], [], remaining)
        if ready:
            view = view[os.write(fd, view):]


def blocked_in_read(pid):
    """Whether a thread of the process waits in read(2); None where /proc can't tell."""
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
        calls = []
        for task in tasks:
            with open(f"/proc/{pid}/task/{task}/syscall") as f:
                calls.append(f.read().split()[:1])
    except OSError:
        return None
    return ["0"] in calls
