"""Ctrl-C ends a call that blocks or runs long: the engine polls the
interpreter's signal handlers on interrupted system calls and as it works."""

import os
import signal
import subprocess
import sys

import pytest

from support import GUARD, wait_until

# The child prints "ready", makes the call, and reports how it ended.
CHILD = """
import sys, _corvel_backend as corvel
call = {"salvage_file": lambda p: corvel.salvage_file(p, "/dev/null"), "open": corvel.open}[sys.argv[2]]
print("ready", flush=True)
try:
    call(sys.argv[1])
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""

def proc_file(pid, name):
    try:
        with open(f"/proc/{pid}/{name}") as f:
            return f.read()
    except OSError:
        return ""


def blocked_opening_fifo(pid):
    # The kernel parks an open() of a FIFO without a partner here.
    return proc_file(pid, "wchan") == "wait_for_partner"


def resident_bytes(pid):
    for line in proc_file(pid, "status").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    return 0


def interrupt_when(path, call, condition, what):
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(path), call],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        wait_until(lambda: condition(proc.pid) or proc.poll() is not None, what)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=GUARD)
    finally:
        proc.kill()
        proc.wait()
    return out, err


# A FIFO without a writer blocks open(); /dev/zero never ends, so once the
# call has read a good part, Ctrl-C must stop it before it fills memory.
@pytest.mark.parametrize("call", ["salvage_file", "open"])
@pytest.mark.parametrize(("source", "condition", "what"), [
    ("fifo", blocked_opening_fifo, "the call to block on the FIFO"),
    ("/dev/zero", lambda pid: resident_bytes(pid) > 64 << 20, "the call to read 64 MiB"),
], ids=["fifo-without-writer", "endless-input"])
def test_ctrl_c_ends_the_call(tmp_path, call, source, condition, what):
    if source == "fifo":
        source = tmp_path / "f"
        os.mkfifo(source)
    out, err = interrupt_when(source, call, condition, what)
    assert out == "interrupted\n", err
