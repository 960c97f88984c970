"""Faults leave every target as it was and no temporary file behind."""

import errno
import io
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import corvel
from corvel import _core
from support import file_with, listing

DATA = b"a,b\n" + b"1,2\n" * 1000


def existing_target(tmp_path):
    """An output directory holding one earlier result, which every fault must leave alone."""
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    return out_dir, file_with(out_dir / "clean.csv", b"old clean\n")


def assert_untouched(out_dir, clean):
    assert clean.read_bytes() == b"old clean\n" and listing(out_dir) == ["clean.csv"]


@pytest.fixture
def setup(tmp_path):
    src = file_with(tmp_path / "in.csv", DATA)
    return (src, *existing_target(tmp_path))


def test_targets_keep_their_permissions_and_new_ones_follow_the_umask(setup, tmp_path):
    src, out_dir, clean = setup
    os.chmod(clean, 0o640)
    corvel.salvage(src, clean, quarantine=out_dir / "q.csv")
    assert os.stat(clean).st_mode & 0o777 == 0o640
    mask = os.umask(0o022)
    os.umask(mask)
    assert os.stat(out_dir / "q.csv").st_mode & 0o777 == 0o666 & ~mask
    assert listing(out_dir) == ["clean.csv", "q.csv"]


# A target whose directory is missing, that is a directory, or whose directory
# is read-only: the error names it, and the earlier result stays.
@pytest.mark.parametrize("case", [
    "missing quarantine directory", "output is a directory",
    pytest.param("read-only directory", marks=pytest.mark.skipif(os.geteuid() == 0, reason="root writes anywhere")),
])
def test_bad_targets_are_named_and_left_alone(setup, tmp_path, case):
    src, out_dir, clean = setup
    target, options, exc = {
        "missing quarantine directory": (clean, {"quarantine": tmp_path / "no" / "q.csv"}, FileNotFoundError),
        "output is a directory": (out_dir, {}, IsADirectoryError),
        "read-only directory": (clean, {}, PermissionError),
    }[case]
    if case == "read-only directory":
        os.chmod(out_dir, 0o500)
    try:
        with pytest.raises(exc) as info:
            corvel.salvage(src, target, **options)
    finally:
        os.chmod(out_dir, 0o700)
    assert info.value.filename == str(options.get("quarantine", target))
    assert info.value.strerror == os.strerror(info.value.errno)
    assert_untouched(out_dir, clean)


class Reader:
    """A file object whose read() gives the data, then what `then` says."""

    def __init__(self, then):
        self.then, self.calls = then, 0

    def read(self, n):
        self.calls += 1
        return DATA[:n] if self.calls == 1 else self.then(n)


def _raise(n):
    raise RuntimeError("disk went away")


# (what read() gives after the first call, the exception, words in its message)
MISBEHAVING = [
    (_raise, RuntimeError, "disk went away"),
    (lambda n: None, BlockingIOError, "non-blocking"),
    (lambda n: b"x" * (n + 1), ValueError, "more bytes"),
    (lambda n: "text", TypeError, "str"),
    (lambda n: 42, TypeError, "int"),
]


@pytest.mark.parametrize("layer", ["package", "core"])
@pytest.mark.parametrize(("then", "exc", "words"), MISBEHAVING)
def test_python_readers_that_misbehave(setup, then, exc, words, layer):
    _, out_dir, clean = setup
    with pytest.raises(exc, match=words):
        if layer == "package":
            corvel.salvage(Reader(then), clean, force=True)
        else:  # the core checks what a reader gives by itself
            _core.salvage(Reader(then), b"", None, io.BytesIO(), header=False, skip_initial_space=False)
    assert_untouched(out_dir, clean)


def test_a_raw_writer_that_takes_a_few_bytes_at_a_time():
    class Trickle(io.RawIOBase):
        def __init__(self):
            self.got = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.got += bytes(b[:7])
            return min(7, len(b))

    out = Trickle()
    corvel.salvage(io.BytesIO(DATA), out)
    assert bytes(out.got) == DATA


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_dev_full_gives_the_error_and_stays_a_device():
    with pytest.raises(OSError) as info:
        corvel.salvage(io.BytesIO(DATA * 300), "/dev/full")
    assert info.value.errno == errno.ENOSPC and info.value.filename == "/dev/full"
    assert os.path.exists("/dev/full") and not os.path.isfile("/dev/full")


def test_read_only_mount(setup, tmp_path):
    """As root, a read-only directory is a read-only mount."""
    src, out_dir, clean = setup
    ro = tmp_path / "ro"
    ro.mkdir()
    bind = subprocess.run(["mount", "--bind", str(out_dir), str(ro)], capture_output=True)
    if bind.returncode != 0:
        pytest.skip(f"can't bind-mount here: {bind.stderr.decode().strip()}")
    try:
        if subprocess.run(["mount", "-o", "remount,bind,ro", str(ro)], capture_output=True).returncode != 0:
            pytest.skip("can't remount read-only here")
        with pytest.raises(OSError) as info:
            corvel.salvage(src, ro / "clean.csv")
        assert info.value.errno in (errno.EROFS, errno.EACCES) and info.value.filename == str(ro / "clean.csv")
    finally:
        subprocess.run(["umount", str(ro)], check=False)
    assert_untouched(out_dir, clean)


@pytest.fixture
def small_tmpfs(tmp_path):
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mnt)], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"can't mount a tmpfs here: {done.stderr.decode().strip()}")
    yield mnt
    subprocess.run(["umount", str(mnt)], check=False)


def test_full_small_tmpfs(small_tmpfs, tmp_path):
    src = file_with(tmp_path / "big.csv", b"a,b\n" + b"12345,67890\n" * 50_000)
    clean = file_with(small_tmpfs / "clean.csv", b"old\n")
    with pytest.raises(OSError) as info:
        corvel.salvage(src, clean)
    assert info.value.errno == errno.ENOSPC and info.value.filename == str(clean)
    assert clean.read_bytes() == b"old\n" and listing(small_tmpfs) == ["clean.csv"]


def test_sigint_while_blocked_on_a_fifo(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out_dir, clean = existing_target(tmp_path)
    script = textwrap.dedent("""
        import sys, corvel
        def progress(done, total):
            print("read", done, flush=True)
        corvel.salvage(sys.argv[1], sys.argv[2], quarantine=sys.argv[3], progress=progress)
    """)
    child = subprocess.Popen([sys.executable, "-c", script, str(fifo), str(clean), str(out_dir / "q.csv")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        with open(fifo, "wb") as w:
            # More than the encoding sample, so the engine has read by the time it reports.
            w.write(b"a,b\n" + b"1,2\n" * 40_000)
            w.flush()
            assert child.stdout.readline().startswith(b"read")
            # The child is now blocked reading the FIFO, which stays open.
            child.send_signal(signal.SIGINT)
            _, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert b"KeyboardInterrupt" in err and child.returncode != 0, err.decode()
    assert_untouched(out_dir, clean)


def test_the_core_reports_the_path_of_a_failed_input(tmp_path):
    d = os.open(tmp_path, os.O_RDONLY)
    try:
        with pytest.raises(IsADirectoryError) as info:
            _core.salvage(d, b"", str(tmp_path), io.BytesIO(), header=False, skip_initial_space=False)
    finally:
        os.close(d)
    assert info.value.filename == str(tmp_path) and info.value.errno == errno.EISDIR
