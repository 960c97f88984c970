"""The command as it meets a person: the progress bar in a real terminal, and
Ctrl-C. Both read from a FIFO the test feeds, and each step waits for an
event (the screen changing, the process blocking in read); a guard
only stops a hang."""

import os
import re
import shlex
import shutil
import signal
import subprocess

import pytest

from cli_helpers import CORVEL, blocked_in_read, feed, open_fifo_for_writing
from support import GUARD, Hung, listing, wait_until

CHUNK = b"12345,67890,abcdef\n" * 50_000  # about 1 MB
# The bar for input of unknown size: bytes so far and the rate.
BAR = re.compile(r"(\d+\.\d) MB  +\d+(\.\d)? [kMG]?B/s")


class Pane:
    """A detached tmux session on its own server, running one shell command."""

    def __init__(self, tmp_path, command):
        self.socket = str(tmp_path / "tmux.sock")
        # The interpreter's preloads (the sanitizer run) are for corvel, not tmux.
        passed = {k: os.environ[k] for k in ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
                  if k in os.environ}
        env = {k: v for k, v in os.environ.items() if k not in passed}
        env["TERM"] = "xterm-256color"
        line = shlex.join(["env", *(f"{k}={v}" for k, v in passed.items()), *command])
        shell = f"{line}; echo \"[exit $?]\"; exec sleep {GUARD * 5}"
        subprocess.run(["tmux", "-S", self.socket, "-f", "/dev/null", "new-session", "-d", "-x", "160", "-y", "30",
                        "sh", "-c", shell], check=True, env=env, timeout=30)
        self.env = env

    def text(self):
        done = subprocess.run(["tmux", "-S", self.socket, "capture-pane", "-p"], capture_output=True,
                              env=self.env, timeout=30)
        return done.stdout.decode(errors="replace")

    def wait_for(self, predicate, what, between=None):
        """Polls the screen until predicate(text) holds; `between` runs between polls."""
        shown = ""

        def look():
            nonlocal shown
            shown = self.text()
            return predicate(shown)

        try:
            return wait_until(look, what, between=between)
        except Hung as e:
            raise Hung(f"{e}; the screen shows:\n{shown}") from None

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True, env=self.env, timeout=30)


def bar_megabytes(text):
    found = BAR.findall(text)
    return float(found[-1][0]) if found else None


@pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed")
def test_progress_bar_in_a_terminal(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.csv"
    pane = Pane(tmp_path, [*CORVEL, "salvage", str(fifo), "-o", str(out)])
    fd = None
    try:
        fd = open_fifo_for_writing(fifo)
        written = 0

        def more():
            nonlocal written
            feed(fd, CHUNK)
            written += len(CHUNK)

        # The bar appears once a few MB have come through; feed until it shows.
        first = pane.wait_for(bar_megabytes, "the bar", between=more)
        # The bar shows MB to one decimal, rounded to nearest: never more than was fed.
        assert first * 1e6 <= written + 0.05e6
        # It counts on as more comes.
        pane.wait_for(lambda t: (bar_megabytes(t) or 0) > first, "the bar to advance", between=more)
        os.close(fd)
        fd = None
        # At the end the summary takes the bar's place.
        text = pane.wait_for(lambda t: "[exit " in t and t, "the end of the run")
    finally:
        if fd is not None:
            os.close(fd)
        pane.close()
    assert "[exit 0]" in text
    lines = written // len(b"12345,67890,abcdef\n")
    # Every line is a row, unless the first was taken for a header.
    assert re.search(rf"corvel: ({lines}|{lines - 1}) rows written", text), text
    assert not BAR.search(text), text
    assert out.stat().st_size == written


@pytest.mark.parametrize("command", ["salvage", "salvage-to-stdout", "check", "convert"])
def test_ctrl_c_while_reading_a_fifo(tmp_path, command):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    clean = out_dir / "clean.csv"
    clean.write_bytes(b"old clean\n")
    argv = {
        "salvage": ["salvage", fifo, "-o", clean, "-q", out_dir / "q.csv", "--audit", out_dir / "a.jsonl"],
        "salvage-to-stdout": ["salvage", fifo, "-q", out_dir / "q.csv"],
        "check": ["check", fifo],
        "convert": ["convert", fifo, "-o", out_dir / "clean.parquet"],
    }[command]
    child = subprocess.Popen([*CORVEL, *map(str, argv)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    fd = None

    def waits_in_read():
        blocked = blocked_in_read(child.pid)
        if blocked is None:
            pytest.skip("/proc can't tell whether the process waits in read()")
        return blocked

    try:
        fd = open_fifo_for_writing(fifo)
        # More than a pipe holds, so corvel has been reading by the time this returns.
        feed(fd, CHUNK)
        wait_until(waits_in_read, "corvel waiting for more input")
        # corvel now waits for bytes that never come: the FIFO stays open.
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=GUARD)
    finally:
        if fd is not None:
            os.close(fd)
        child.kill()
        child.wait()
    assert child.returncode == 130, err.decode()
    assert err.decode().strip() == "corvel: interrupted"
    assert clean.read_bytes() == b"old clean\n"
    assert listing(out_dir) == ["clean.csv"]
