"""Hostile paths, options and files: a clean error or a sound result, and
nothing already on disk lost.

Covered elsewhere: missing input, directory as input or output, output in a
missing directory, quarantine in a missing directory, /dev/full as output and
NUL in input or output path (test_salvage_file's test_os_errors, which also
checks the input is unchanged); missing, directory and NUL paths for the
reader (test_reader's test_file_errors); a lone surrogate delimiter for
salvage_file (test_argument_errors); MemoryError for 2**40 and 2**64 - 1
columns from salvage_file (test_width_beyond_memory_is_memory_error); an
empty and a BOM-only file through salvage_file (test_files_and_summary)."""

import os
import pwd
import random
import shutil
import subprocess
import sys
import tempfile

import pytest

import _corvel_backend as corvel
from conftest import check_salvage

DATA = b"a,b\nc,d,e\nf\n"
NUL = "file name contained an unexpected NUL byte"
NO_SPACE = "No space left on device (os error 28)"
HUGE = [2**40, 2**64 - 1]
readers = pytest.mark.parametrize("factory", [corvel.SalvageReader, corvel.open])


@pytest.fixture
def src(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(DATA)
    yield path
    assert path.read_bytes() == DATA  # whatever happened, the input is untouched


@pytest.mark.parametrize(
    "param, value, exc, message",
    [
        ("quarantine_path", "q\0.csv", OSError, NUL),
        ("quarantine_path", "/dev/full", OSError, NO_SPACE),
        ("input_path", "in\ud800.csv", UnicodeEncodeError, None),
        ("output_path", "out\udc80.csv", UnicodeEncodeError, None),
        ("quarantine_path", "q\ud800.csv", UnicodeEncodeError, None),
        ("quote_char", "\udfff", UnicodeEncodeError, None),
    ],
)
def test_salvage_file_refuses(src, raises_with_note, param, value, exc, message):
    d = src.parent
    kwargs = {"input_path": str(src), "output_path": str(d / "out.csv"), "fill_ragged_rows": False,
              param: str(d / value) if param.endswith("path") else value}
    e = raises_with_note(exc, message, None if exc is OSError else param, corvel.salvage_file, **kwargs)
    if exc is OSError:  # the quarantine file is tried once the clean file is complete
        assert type(e) is OSError
        assert (d / "out.csv").read_bytes() == b'a,b\nc,"d,e"\n'
    assert sorted(p.name for p in d.iterdir()) == ["in.csv"] + (["out.csv"] if exc is OSError else [])


@readers
@pytest.mark.parametrize("param, value", [("file_path", "in\ud800.csv"), ("delimiter", "\ud800"),
                                          ("quote_char", "\udbff")])
def test_reader_refuses_surrogates(src, raises_with_note, factory, param, value):
    raises_with_note(UnicodeEncodeError, None, param, factory, **{"file_path": str(src), param: value})


@pytest.mark.parametrize("width", HUGE)
def test_huge_width(src, width):
    d = src.parent
    for factory in (corvel.SalvageReader, corvel.open):
        with pytest.raises(MemoryError):  # padding a row that wide can't be done
            factory(str(src), expected_columns=width)
    # Rows that must not be padded are rejected instead, without a byte for
    # the missing columns.
    s = corvel.salvage_file(str(src), str(d / "out.csv"), str(d / "q.csv"), expected_columns=width,
                            fill_ragged_rows=False)
    assert (s.salvaged_rows, s.quarantined_rows, s.inferred_columns) == (0, 3, width)
    assert (d / "out.csv").read_bytes() == b""
    assert (d / "q.csv").read_bytes().count(b"Row has too few columns (expected %d)" % width) == 3
    with corvel.open(str(src), expected_columns=width, fill_ragged_rows=False) as reader:
        assert list(reader) == [] and reader.summary.to_dict() == s.to_dict()


@readers
def test_bom_only(tmp_path, factory):
    (tmp_path / "bom.csv").write_bytes(b"\xef\xbb\xbf")
    reader = factory(str(tmp_path / "bom.csv"))
    assert list(reader) == [] and tuple(reader.summary.to_dict().values()) == (0, 0, 0, 0, ",", 0)


# An empty file is answered before the options are looked at (as the engine
# means to: SalvageSlice.EmptyInputIgnoresOptions); a BOM-only one is not.
@pytest.mark.parametrize("data, summary", [(b"", (",", 0)), (b"\xef\xbb\xbf", (";", 3))])
@pytest.mark.parametrize("factory", [corvel.open, lambda p, **o: corvel.salvage_file(p, os.devnull, **o)])
def test_empty_files_and_given_options(tmp_path, data, summary, factory):
    (tmp_path / "in.csv").write_bytes(data)
    result = factory(str(tmp_path / "in.csv"), delimiter=";", expected_columns=3)
    s = result.summary if isinstance(result, corvel.SalvageReader) else result
    assert (s.total_rows, s.detected_delimiter, s.inferred_columns) == (0, *summary)


def test_nul_bytes_are_kept(tmp_path):
    data = b"a\0b,\0\n\0,\"c\0\"\n"
    (tmp_path / "in.csv").write_bytes(data)
    s = check_salvage(tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv")
    assert s.salvaged_rows == 2
    assert list(corvel.open(str(tmp_path / "in.csv"))) == [["a\0b", "\0"], ["\0", "c\0"]]


@pytest.mark.parametrize("alphabet", [bytes(range(256)), b',;"\r\n\x00a\xc3\xa9\xff'])
@pytest.mark.parametrize("options", [{}, {"fill_ragged_rows": False, "merge_overflow": False}])
def test_garbage(tmp_path, alphabet, options):
    rng = random.Random(20240611)
    data = bytes(rng.choices(alphabet, k=1 << 20))
    (tmp_path / "in.csv").write_bytes(data)
    s = check_salvage(tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv", **options)
    assert s.total_rows > 0
    assert (tmp_path / "in.csv").read_bytes() == data


def test_large_field_comes_back_whole(tmp_path):
    field = b'x,y""\n' * ((64 << 20) // 6)  # 64 MiB of what needs quoting
    data = b'k,"' + field + b'"\n1,2\n'
    (tmp_path / "in.csv").write_bytes(data)
    s = corvel.salvage_file(str(tmp_path / "in.csv"), str(tmp_path / "out.csv"))
    assert (s.total_rows, s.salvaged_rows, s.inferred_columns) == (2, 2, 2)
    assert (tmp_path / "out.csv").read_bytes() == data
    rows = list(corvel.open(str(tmp_path / "in.csv")))
    assert rows[1:] == [["1", "2"]] and rows[0][0] == "k"
    assert rows[0][1] == field.replace(b'""', b'"').decode()


def test_unreadable_file():
    if os.geteuid() != 0:
        pytest.skip("needs root to act as another user")
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("no user 'nobody'")
    # The interpreter may live where `nobody` can't reach it, so the child
    # starts as root and gives up root once everything is imported. The
    # directory lets `nobody` through: only the file's mode refuses.
    d = tempfile.mkdtemp(prefix="corvel-perm-", dir="/tmp")
    try:
        os.chmod(d, 0o755)
        path = os.path.join(d, "secret.csv")
        with open(path, "wb") as f:
            f.write(DATA)
        os.chmod(path, 0)
        code = f"""
import os, sys, _corvel_backend as corvel
os.setgroups([]); os.setgid({nobody.pw_gid}); os.setuid({nobody.pw_uid})
path = sys.argv[1]
os.stat(path)
for call in (corvel.SalvageReader, corvel.open, lambda p: corvel.salvage_file(p, os.devnull)):
    try:
        call(path)
        print("no error")
    except OSError as e:
        print(type(e).__name__, e)
"""
        out = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True)
        assert (out.returncode, out.stderr) == (0, "")
        denied = "Permission denied (os error 13)"
        assert out.stdout.splitlines() == [f"PermissionError {denied}"] * 2 + [f"OSError {denied}"]
        os.chmod(path, 0o600)
        with open(path, "rb") as f:
            assert f.read() == DATA
    finally:
        shutil.rmtree(d)
