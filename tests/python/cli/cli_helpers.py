"""Running the `corvel` command as a user would, in a subprocess."""

import gzip
import os
import pathlib
import select
import subprocess
import sys

from support import ENCODED, GUARD, PLAIN, Hung, wait_until

CORVEL = [sys.executable, "-m", "corvel"]
# The console script pip installed beside the interpreter.
SCRIPT = pathlib.Path(sys.executable).parent / "corvel"

# name: (the file's bytes, check's exit status)
MESSY = {
    "clean": (PLAIN, 0),
    "blank-lines": (PLAIN.replace(b"\n1,", b"\n\n\n1,"), 0),
    **{name: (ENCODED[name][1], 0) for name in
       ("excel-bom-semicolon-crlf", "latin-1", "utf-16-bom", "gzip", "bz2", "xz", "zstd")},
    "short-row": (PLAIN + b"5,Ada\n", 1),
    "long-row": (PLAIN + b"5,Ada,Paris,x,y,z\n", 1),
    "stray-quote": (PLAIN + b'5,Ada,Paris,"said "hi" twice"\n', 1),
    "gzip-short-row": (gzip.compress(PLAIN + b"5,Ada\n"), 1),
}


def run(*args, stdin=None, timeout=GUARD, command=CORVEL, **kwargs):
    """Runs corvel with `args`; stdin is bytes or a file object."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin if stdin is not None else subprocess.DEVNULL}
    return subprocess.run([*command, *map(str, args)], capture_output=True, timeout=timeout, **feed, **kwargs)


def open_fifo_for_writing(path):
    """Opens `path` for writing once a reader has opened it."""
    def attempt():
        try:
            return [os.open(path, os.O_WRONLY | os.O_NONBLOCK)]
        except OSError:  # ENXIO: no reader yet
            return None

    [fd] = wait_until(attempt, f"a reader to open {path}")
    return fd


def feed(fd, data):
    """Writes all of `data` to the non-blocking `fd`."""
    view = memoryview(data)
    while view:
        _, ready, _ = select.select([], [fd], [], GUARD)
        if not ready:
            raise Hung("hung: the reader stopped reading")
        view = view[os.write(fd, view):]


# x86-64 system call numbers: read, poll, ppoll. Input from a pipe is waited
# for with poll(2) between looks at whether the run is to stop.
_WAITS_FOR_INPUT = (["0"], ["7"], ["271"])


def blocked_in_read(pid):
    """Whether a thread of the process waits for input in read(2) or poll(2);
    None where /proc can't tell."""
    try:
        calls = []
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/syscall") as f:
                calls.append(f.read().split()[:1])
    except OSError:
        return None
    return any(c in calls for c in _WAITS_FOR_INPUT)
