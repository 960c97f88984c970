"""Closing or dropping a BatchReader whose salvage waits for input that never
comes (a FIFO its writer holds open, a file object) ends the salvage. Each
step waits for an event; a guard only stops a hang."""

import array
import fcntl
import gc
import os
import termios
import threading
import time
import zlib

import pytest

import corvel
from support import wait_until

pytestmark = pytest.mark.thirdparty

# More than the 64 KiB sample, fewer rows than a batch: read whole, nothing sealed.
ROWS = b"".join(b"%d,name %d,x\n" % (i, i) for i in range(20_000))


def in_thread(fn):
    """Runs fn in a thread; returns it and a dict that gets fn's "result" or "error"."""
    out = {}

    def run():
        try:
            out["result"] = fn()
        except BaseException as e:  # handed to the test
            out["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, out


def ended(thread, what, between=None):
    wait_until(lambda: not thread.is_alive(), what, between=between)


# Each way to stop takes the only reference to the reader, in a list.
def close(held):
    closing, out = in_thread(held[0].close)
    ended(closing, "close() to return")
    assert out == {"result": None}
    assert next(held[0], None) is None


def close_while_another_thread_waits_in_next(held):
    consuming, consumed = in_thread(lambda: list(held[0]))
    close(held)
    ended(consuming, "the waiting next() to end")
    assert consumed == {"result": []}  # the run broke by the close: no error to raise


def drop(held):
    held.clear()
    gc.collect()


def gzip_unfinished(data):
    """A gzip stream of `data`, flushed so that all of it can be read, but
    not ended: a reader of it waits for more."""
    packer = zlib.compressobj(wbits=31)
    return packer.compress(data) + packer.flush(zlib.Z_SYNC_FLUSH)


# How the held FIFO's bytes are written: as they are (the core waits for
# them), and compressed or in UTF-16 (Python decompresses or decodes them on
# the salvage's thread, and waits there).
FORMS = {
    "plain": lambda data: data,
    "gzip": gzip_unfinished,
    "utf-16": lambda data: data.decode().encode("utf-16"),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("stop", [close, close_while_another_thread_waits_in_next, drop])
def test_a_reader_waiting_on_a_held_fifo_stops(tmp_path, stop, form):
    pytest.importorskip("pyarrow")
    path = tmp_path / "in.fifo"
    os.mkfifo(path)
    fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)  # a writer that stays; never read from here
    pending = FORMS[form](ROWS)

    def drained():
        nonlocal pending
        try:
            pending = pending[os.write(fd, pending):] if pending else pending
        except BlockingIOError:
            return False
        unread = array.array("i", [0])
        fcntl.ioctl(fd, termios.FIONREAD, unread)
        return not pending and unread[0] == 0

    try:
        # iter_batches reads the sample itself, while this thread feeds it.
        opening, opened = in_thread(lambda: [corvel.iter_batches(path, batch_rows=1 << 20)])
        wait_until(lambda: drained() and not opening.is_alive(), "the salvage to read all there is")
        held = opened.pop("result")
        producer = held[0]._thread
        assert producer.is_alive()
        stop(held)
        ended(producer, "the salvage to stop")
    finally:
        os.close(fd)  # the end of input, for a salvage that a failed test left waiting


class Gated:
    """A file object that gives `free` bytes at once, then as many as asked
    for, one read() per permit: an endless source whose read() returns."""

    def __init__(self, row, free):
        self.row, self.free, self.served, self.gated = row, free, 0, 0
        self.permits = threading.Semaphore(0)
        self.waiting = threading.Event()

    def read(self, n=-1):
        if self.served >= self.free:
            self.waiting.set()
            self.permits.acquire()
            self.gated += 1
        else:
            n = min(n, self.free - self.served)
        self.served += n
        return (self.row * (n // len(self.row) + 1))[:n]


def test_a_reader_of_a_file_object_stops_once_its_read_returns():
    pytest.importorskip("pyarrow")
    # Long rows: a batch, where any run sees that it is stopped, takes several MiB.
    source = Gated(b"1," + b"x" * 1000 + b",y\n", 64 << 10)
    reader = corvel.iter_batches(source, batch_rows=1 << 20)
    wait_until(source.waiting.is_set, "the salvage to wait in the object's read()")
    # close() waits while the salvage is in the caller's read(); a permit lets one return.
    closing, out = in_thread(reader.close)
    ended(closing, "close() to return", between=lambda: (source.permits.release(), time.sleep(0.02)))
    assert out == {"result": None}
    # Each read() that returned gave a 1 MiB chunk; a run that went on would ask for more.
    assert 1 <= source.gated <= 2
