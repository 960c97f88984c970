"""What the package accepts as input: sources, compression, encodings, options."""

import codecs
import inspect
import io
import os
import pathlib
import threading

import pytest

import corvel
from corvel._dialect import Dialect
from corvel._encoding import plan_encoding
from corvel._options import check_options, check_path
from corvel._source import open_source, sniff_compression
from support import COMPRESSORS, file_with, outcome

TEXT = "id;name\n1;Zoë\n2;\"a;b\"\n".encode() * 50


@pytest.mark.parametrize("kind", [None, *COMPRESSORS])
@pytest.mark.parametrize("payload", [b"", TEXT])
@pytest.mark.parametrize("via", ["path", "pathlib", "file", "pipe"])
def test_sources_give_the_plain_bytes(tmp_path, kind, payload, via):
    data = COMPRESSORS[kind](payload) if kind else payload
    if via == "file":
        src = io.BytesIO(data)
    elif via == "pipe":
        r, w = os.pipe()
        threading.Thread(target=lambda: (os.write(w, data), os.close(w)), daemon=True).start()
        src = open(r, "rb")
    else:
        p = file_with(tmp_path / "in.csv", data)
        src = p if via == "pathlib" else str(p)
    with open_source(src) as s:
        assert s.compression == (kind if data[:1] else None) or not payload
        assert s.head + s.stream.read() == payload if s.fd is not None else s.stream.read() == payload
        assert s.size == (len(payload) if via in ("path", "pathlib") and not kind else None)
    if via == "pipe":
        src.close()


@pytest.mark.parametrize("head", [b"BZh hello", b"BZh9", b"\x1f\x8bX", b"\x28\xb5\x2f", b"id,name", b""])
def test_text_that_only_looks_compressed(head):
    assert sniff_compression(head) is None


def test_fifo_path_keeps_its_first_bytes(tmp_path):
    fifo = tmp_path / "f"
    os.mkfifo(fifo)
    threading.Thread(target=lambda: fifo.write_bytes(TEXT), daemon=True).start()
    with open_source(fifo) as s:
        assert s.fd is not None and s.size is None
        assert s.head + os.read(s.fd, len(TEXT) * 2) == TEXT


@pytest.mark.parametrize(("source", "text"), [
    (b"a,b", "wrap bytes in io.BytesIO"), (io.StringIO("a,b"), "binary mode"), (42, "not int"),
])
def test_sources_refused(source, text):
    with pytest.raises(TypeError, match=text):
        open_source(source)


@pytest.mark.parametrize(
    ("encoding", "sample", "name", "mode", "legacy", "bom"),
    [
        ("auto", "é;x".encode(), "utf-8", "per-row", "cp1252", 0),
        ("auto", "é;x".encode("cp1252"), "utf-8", "per-row", "cp1252", 0),
        ("auto", b"\x81;x", "utf-8", "per-row", "latin-1", 0),
        ("auto", "Á;x".encode(), "utf-8", "per-row", "cp1252", 0),  # 0x81 inside UTF-8
        ("auto", codecs.BOM_UTF8 + b"a;b", "utf-8", "per-row", "cp1252", 3),
        ("auto", "a;b\n".encode("utf-16"), "utf-16-le", "decode", None, 2),
        ("auto", codecs.BOM_UTF16_BE + "a;b".encode("utf-16-be"), "utf-16-be", "decode", None, 2),
        ("auto", "a;b\nc;d\n".encode("utf-16-le"), "utf-16-le", "decode", None, 0),
        ("auto", "a;b\n".encode("utf-32"), "utf-32-le", "decode", None, 4),
        ("latin-1", b"", "iso8859-1", "per-row", "iso8859-1", 0),
        ("utf-8", codecs.BOM_UTF8, "utf-8", "utf-8", None, 3),
        ("shift_jis", b"", "shift_jis", "decode", None, 0),
        ("cp500", b"", "cp500", "decode", None, 0),
    ],
)
def test_encoding_plans(encoding, sample, name, mode, legacy, bom):
    plan = plan_encoding(encoding, sample)
    assert (plan.name, plan.mode, plan.legacy, plan.bom) == (name, mode, legacy, bom)


# check_options takes corvel.salvage's options, defaults and all, but the paths.
DEFAULTS = {k: v.default for k, v in inspect.signature(corvel.salvage).parameters.items()
            if k in inspect.signature(check_options).parameters}


@pytest.mark.parametrize(
    ("change", "error", "text"),
    [
        ({"delimiter": ";;"}, ValueError, "delimiter must be a single character, not 2 characters"),
        ({"delimiter": ""}, ValueError, "delimiter must be a single character, not an empty string"),
        ({"delimiter": "\n"}, ValueError, "delimiter can't be a line break"),
        ({"delimiter": "§"}, ValueError, "delimiter must be an ASCII character"),
        ({"delimiter": None}, TypeError, "delimiter must be a single character, not NoneType"),
        ({"delimiter": ";", "quote_char": ";"}, ValueError, "delimiter and quote_char can't be the same"),
        ({"escape_char": "\\\\"}, ValueError, "escape_char must be a single character"),
        ({"expected_columns": -1}, ValueError, "expected_columns can't be negative"),
        ({"expected_columns": True}, TypeError, "expected_columns must be an int or None, not bool"),
        ({"fill_ragged_rows": 1}, TypeError, "fill_ragged_rows must be True or False, not int"),
        ({"header": 1}, TypeError, "header must be True, False or 'auto', not 1"),
        ({"encoding": "no-such-codec"}, ValueError, "encoding 'no-such-codec' is not a codec"),
        ({"detect": "smart"}, ValueError, "detect must be 'auto' or 'backend'"),
        ({"progress": 3}, TypeError, "progress must be None, True, False or a callable"),
        ({"dialect": ","}, TypeError, "dialect must be a corvel.Dialect"),
    ],
)
def test_options_refused_naming_the_parameter(change, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(")):
        check_options(**{**DEFAULTS, **change})


def test_dialect_fills_what_was_left_auto():
    d = Dialect(delimiter=";", quote_char=None, encoding="cp1252", header_row=0, width=4)
    o = check_options(**{**DEFAULTS, "dialect": d, "delimiter": "|"})
    assert (o.delimiter, o.quote_char, o.detect_quote, o.encoding, o.header, o.expected_columns) == (
        "|", None, False, "cp1252", True, 4)
    o = check_options(**DEFAULTS)
    assert (o.delimiter, o.detect_quote, o.header, o.skip_initial_space) == (None, True, None, None)


@pytest.mark.parametrize(("value", "error"), [("", ValueError), ("a\0b", ValueError), (3, TypeError)])
def test_paths_refused(value, error):
    with pytest.raises(error, match="output"):
        check_path("output", value, allow_none=False)
    assert check_path("output", pathlib.Path("x"), allow_none=False) == "x"


def _rows(first, count):
    return b"".join(b"%d,name %d,%d\n" % (i, i, 7 * i) for i in range(first, first + count))


@pytest.mark.parametrize(("change", "size"), [("truncate", 1000), ("truncate", 300_000), ("grow", None)])
def test_file_changed_while_read(tmp_path, change, size):
    """A file truncated or grown by another process while the run reads it
    gives the rows of the bytes that were read, as a file of just those
    bytes would; nothing fails and nothing crashes."""
    original, extra = _rows(0, 40_000), _rows(40_000, 5_000)
    src = file_with(tmp_path / "in.csv", original)
    calls = []

    def progress(done, total):
        # The first report comes after the first bytes are read.
        if not calls:
            if change == "truncate":
                os.truncate(src, size)
            else:
                with open(src, "ab") as f:
                    f.write(extra)
        calls.append(done)

    report = corvel.salvage(src, tmp_path / "out.csv", progress=progress)
    assert (report.bytes_read < len(original)) if change == "truncate" else \
        (report.bytes_read == len(original + extra))
    read = file_with(tmp_path / "read.csv", (original + extra)[:report.bytes_read])
    alone = corvel.salvage(read, tmp_path / "alone.csv")
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "alone.csv").read_bytes()
    assert outcome(report) == outcome(alone)
