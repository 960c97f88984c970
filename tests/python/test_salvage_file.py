import csv
import io
import os
import pathlib
import subprocess
import sys

import pytest

import _corvel_backend as corvel

SIGNATURE = (
    '(input_path, output_path, quarantine_path=None, delimiter=None, quote_char="\\"", '
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
DOC = """Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.

Args:
    input_path: Path to the corrupted CSV file.
    output_path: Path where the repaired CSV file will be written.
    quarantine_path: Optional path to write unrecoverable / quarantined rows.
    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.
    quote_char: Optional single-character quote enclosure (default '"').
    fill_ragged_rows: If True, pads short rows with empty strings. Default True.
    merge_overflow: If True, merges extra tokens into the last column. Default True.
    expected_columns: Optional explicit column count. If None, inferred automatically.
    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."""
KEYS = ["total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "detected_delimiter",
        "inferred_columns"]


@pytest.fixture
def run(tmp_path):
    """Salvages `data` and returns (summary, clean bytes, quarantine bytes)."""

    def go(data: bytes, **options):
        src, out, quar = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv"
        src.write_bytes(data)
        summary = corvel.salvage_file(str(src), str(out), str(quar), **options)
        return summary, out.read_bytes(), quar.read_bytes()

    return go


def test_metadata():
    assert corvel.salvage_file.__text_signature__ == SIGNATURE
    assert corvel.salvage_file.__doc__ == DOC
    assert len("salvage_file" + SIGNATURE + "\n--\n\n" + DOC) == 967
    assert corvel.SalvageSummary.__doc__ == "Python-exposed summary of a salvage operation."
    assert corvel.SalvageSummary.to_dict.__doc__ == "Converts the summary into a native Python dictionary."
    for cls in (corvel.SalvageSummary, corvel.SalvageReader):
        assert cls.__module__ == "_corvel_backend"
        assert cls.__qualname__ == cls.__name__


def test_import_under_warnings_as_errors():
    code = "import _corvel_backend as m; print(m.SalvageSummary.__module__, m.SalvageReader.__name__)"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert (out.returncode, out.stdout, out.stderr) == (0, "_corvel_backend SalvageReader\n", "")


@pytest.mark.parametrize(
    "data, options, summary, clean, quarantine",
    [
        (b"", {}, (0, 0, 0, 0, ",", 0), b"", b""),
        (b"\xef\xbb\xbf", {}, (0, 0, 0, 0, ",", 0), b"", b""),
        (b"a,b,c\nd,e\n", {"fill_ragged_rows": False}, (2, 1, 0, 1, ",", 3), b"a,b,c\n",
         b'3,"Row has too few columns (expected 3)","d,e"\n'),
        (b"a;b;c\nd;e;f;g;h\n", {"merge_overflow": False}, (2, 1, 0, 1, ";", 3), b"a;b;c\n",
         b'3,"Row has extra columns (expected 3)","d;e;f;g;h"\n'),
        (b"a;b;c\nd;e;f;g;h\nx\n", {}, (3, 3, 2, 0, ";", 3), b'a;b;c\nd;e;"f;g;h"\nx;;\n', b""),
        (b'id,text\n1,say "hi"\n', {}, (2, 2, 0, 0, ",", 2), b'id,text\n1,"say ""hi"""\n', b""),
        (b"a,b\r\nc,d\re,f", {}, (3, 3, 0, 0, ",", 2), b"a,b\nc,d\ne,f\n", b""),
        # given options win over the guesses
        (b"a,b\nc,d\n", {"delimiter": ";"}, (2, 2, 0, 0, ";", 1), b"a,b\nc,d\n", b""),
        (b"a;b\nc;d\n", {"delimiter": ";,"}, (2, 2, 0, 0, ";", 2), b"a;b\nc;d\n", b""),
        (b"a;b\nc;d\n", {"delimiter": ""}, (2, 2, 0, 0, ";", 2), b"a;b\nc;d\n", b""),
        (b"a\xc3b\nc\xc3d\n", {"delimiter": "\u00e9"}, (2, 2, 0, 0, "\u00c3", 2),
         b"a\xc3\x83b\nc\xc3\x83d\n", b""),
        (b"a,b\nc\nd,e,f,g\n", {"expected_columns": 0}, (3, 3, 0, 0, ",", 0), b"a,b\nc\nd,e,f,g\n", b""),
        (b"a,'x,y'\n", {"quote_char": "'", "expected_columns": 2}, (1, 1, 0, 0, ",", 2), b"a,'x,y'\n", b""),
        (b'a,"b\n', {"quote_char": "'"}, (1, 1, 0, 0, ",", 2), b'a,"b\n', b""),
        (b'a,"x,y"\n', {"quote_char": ""}, (1, 1, 0, 0, ",", 2), b'a,"x,y"\n', b""),
    ],
)
def test_files_and_summary(run, data, options, summary, clean, quarantine):
    s, out, quar = run(data, **options)
    assert tuple(s.to_dict().values()) == summary
    assert out == clean
    assert quar == b"line,reason,raw_content\n" + quarantine


def test_round_trip_through_csv_module(run, tmp_path):
    data = (b'\xef\xbb\xbfid;name;note\n1;"Ada; Countess";"said ""hi"" twice"\n2;Grace\n'
            b'3;Ken;"multi\nline";extra\n4;caf\xe9;ok\r\n5;"unclosed;x\n')
    s, out, _ = run(data)
    rows = list(csv.reader(io.StringIO(out.decode("utf-8"), newline=""), delimiter=";", strict=True))
    with corvel.SalvageReader(str(tmp_path / "in.csv")) as reader:
        assert rows == list(reader)
    assert len(rows) == s.salvaged_rows


def test_summary_object(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a\tb\nc\td\n")
    s = corvel.salvage_file(str(src), os.devnull)
    assert repr(s) == str(s) == (
        "<SalvageSummary total_rows=2 salvaged_rows=2 repaired_rows=0 quarantined_rows=0 "
        "delimiter='\t' inferred_columns=2>"
    )
    d = s.to_dict()
    assert list(d) == KEYS
    assert [getattr(s, k) for k in KEYS] == list(d.values())
    d["total_rows"] = 99
    assert s.to_dict()["total_rows"] == 2 and s.to_dict() is not s.to_dict()
    with pytest.raises(AttributeError):
        s.total_rows = 5
    with pytest.raises(AttributeError):
        s.other = 1
    with pytest.raises(TypeError):
        corvel.SalvageSummary()
    with pytest.raises(TypeError):
        type("Sub", (corvel.SalvageSummary,), {})


def test_no_quarantine_path_writes_none(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\nc\n")
    corvel.salvage_file(str(src), str(tmp_path / "out.csv"), fill_ragged_rows=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.csv"]


def test_same_path_in_and_out(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a;b\nc\n")
    corvel.salvage_file(str(src), str(src))
    assert src.read_bytes() == b"a;b\nc;\n"


NO_SUCH = "No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "make_args, message, created",
    [
        (lambda d: (d / "missing.csv", d / "out.csv", d / "q.csv"), NO_SUCH, []),
        (lambda d: (d, d / "out.csv", d / "q.csv"), "Is a directory (os error 21)", []),
        (lambda d: (d / "in.csv", d / "no" / "out.csv", d / "q.csv"), NO_SUCH, []),
        (lambda d: (d / "in.csv", d, None), "Is a directory (os error 21)", []),
        (lambda d: (d / "in.csv", d / "out.csv", d / "no" / "q.csv"), NO_SUCH, ["out.csv"]),
        (lambda d: (d / "in.csv", "/dev/full", None), "No space left on device (os error 28)", []),
        (lambda d: (str(d / "in.csv") + "\0x", d / "out.csv", None),
         "file name contained an unexpected NUL byte", []),
        (lambda d: (d / "in.csv", str(d / "out.csv") + "\0", None),
         "file name contained an unexpected NUL byte", []),
    ],
)
def test_os_errors(tmp_path, make_args, message, created):
    data = b"a,b\nc,d,e\nf\n"
    (tmp_path / "in.csv").write_bytes(data)
    args = [None if a is None else str(a) for a in make_args(tmp_path)]
    with pytest.raises(OSError) as info:
        corvel.salvage_file(*args, fill_ragged_rows=False)
    e = info.value
    assert type(e) is OSError
    assert e.args == (message,) and (e.errno, e.strerror, e.filename) == (None, None, None)
    assert sorted(p.name for p in tmp_path.iterdir() if p.name != "in.csv") == created
    assert (tmp_path / "in.csv").read_bytes() == data
    if created:  # the clean file is complete before the quarantine file is tried
        assert (tmp_path / "out.csv").read_bytes() == b'a,b\nc,"d,e"\n'


@pytest.mark.parametrize(
    "kwargs, exc, message, note",
    [
        ({"expected_columns": -1}, OverflowError, None, "expected_columns"),
        ({"expected_columns": 2**64}, OverflowError, None, "expected_columns"),
        ({"expected_columns": "3"}, TypeError, None, "expected_columns"),
        ({"expected_columns": 3.0}, TypeError, None, "expected_columns"),
        ({"fill_ragged_rows": 1}, TypeError, "'int' object is not an instance of 'bool'", "fill_ragged_rows"),
        ({"quote_char": None}, TypeError, "'None' is not an instance of 'str'", "quote_char"),
        ({"delimiter": b","}, TypeError, "'bytes' object is not an instance of 'str'", "delimiter"),
        ({"delimiter": "\ud800"}, UnicodeEncodeError, None, "delimiter"),
        ({"output_path": pathlib.Path("x")}, TypeError,
         "'PosixPath' object is not an instance of 'str'", "output_path"),
        ({"c": 1}, TypeError, "salvage_file() got an unexpected keyword argument 'c'", None),
    ],
)
def test_argument_errors(tmp_path, raises_with_note, kwargs, exc, message, note):
    kwargs = {"input_path": str(tmp_path / "missing"), "output_path": str(tmp_path / "out"), **kwargs}
    raises_with_note(exc, message, note, corvel.salvage_file, **kwargs)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "args, message",
    [
        (("a",), "salvage_file() missing 1 required positional argument: 'output_path'"),
        ((), "salvage_file() missing 2 required positional arguments: 'input_path' and 'output_path'"),
        (tuple("abcdefghij"), "salvage_file() takes from 2 to 9 positional arguments but 10 were given"),
    ],
)
def test_binding_errors(raises_with_note, args, message):
    raises_with_note(TypeError, message, None, corvel.salvage_file, *args)


def test_width_beyond_memory_is_memory_error(tmp_path):
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_bytes(b"a,b\n")
    out.write_bytes(b"an earlier run's output\n")
    for width in (2**40, 2**64 - 1):
        with pytest.raises(MemoryError):
            corvel.salvage_file(str(src), str(out), expected_columns=width)
    # Refused before the output was touched.
    assert out.read_bytes() == b"an earlier run's output\n"


@pytest.mark.parametrize("call", [
    lambda src, out: corvel.salvage_file(src, out),
    lambda src, out: corvel.SalvageReader(src),
])
def test_file_larger_than_memory_is_memory_error(tmp_path, call):
    # A sparse file costs no disk; it is refused before anything is allocated.
    src = tmp_path / "huge.csv"
    with open(src, "wb") as f:
        f.truncate(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") + 1)
    with pytest.raises(MemoryError, match="not enough memory to read the whole file"):
        call(str(src), str(tmp_path / "out.csv"))
    assert not (tmp_path / "out.csv").exists()
