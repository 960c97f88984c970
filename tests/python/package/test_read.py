"""corvel.read and corvel.iter_batches without third-party packages: the
rows, the names, the columns, the notebook view, and the capsules' release."""

import ctypes
import gc
import io
import os
import threading
from html.parser import HTMLParser

import pytest
from hypothesis import given, strategies as st

import corvel
from corvel import _core
from support import csv_bytes, file_with, read_back


def clean_rows(src, tmp_path, **options):
    """The header and data rows of corvel.salvage's clean file."""
    out = tmp_path / "clean.csv"
    report = corvel.salvage(src, out, **options)
    rows = read_back(out)
    # A row of one empty field is written as "" and read back as [""].
    header = rows.pop(0) if report.header_written else None
    return header, rows


MESSY = {
    "ragged_and_merged": b"a,b,c\n1,2\n3,4,5,6\n7,8,9\n",
    "stray_quote": b'a,b\n1,say "hi" there\n"x"y,2\n',
    "multiline": b'id,text\n1,"two\nlines"\n2,"cr\r\nlf"\n',
    "blank_lines": b"a,b\n\n1,2\n\n\n3,4\n",
    "excel_semicolon_bom_crlf": "\ufeffname;city\r\nZoë;Köln\r\nRenée;\"a;b\"\r\n".encode(),
    "latin1": "x,y\nZoë,Málaga\n".encode("latin-1"),
    "one_column": b"a\n\n\"\"\nb\n",
    "unclosed_quote": b'a,b\n1,"open\n2,3\n',
}


@pytest.mark.parametrize("header", [False, True])
@pytest.mark.parametrize("name", sorted(MESSY))
def test_rows_are_the_clean_files(tmp_path, name, header):
    src = file_with(tmp_path / "in.csv", MESSY[name])
    want_header, want = clean_rows(src, tmp_path, header=header)
    t = corvel.read(src, header=header)
    assert list(t.rows()) == want
    assert t.num_rows == len(want) == t.report.rows_written
    if want_header is not None:
        assert t.column_names[: len(want_header)] == [h or f"column_{i + 1}" for i, h in enumerate(want_header)]


# A FIFO given by path keeps its first bytes, which were read to tell its
# format, whether the core reads it or Python decodes or decompresses it.
FIFO_FORMS = {
    "utf-8": lambda text: text.encode(),
    "utf-16": lambda text: text.encode("utf-16"),
    "gzip": lambda text: __import__("gzip").compress(text.encode()),
}


@pytest.mark.parametrize("form", FIFO_FORMS)
def test_a_fifo_reads_as_its_regular_file(tmp_path, form):
    text = "id,name\n" + "".join(f"{i},n\u00e9 {i}\n" for i in range(3000))
    data = FIFO_FORMS[form](text)
    want = list(corvel.read(file_with(tmp_path / "in.csv", data)).rows())
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=fifo.write_bytes, args=(data,), daemon=True)
    writer.start()
    assert list(corvel.read(fifo).rows()) == want
    writer.join()


@pytest.mark.parametrize("header_row, width, names", [
    (None, 3, ["column_1", "column_2", "column_3"]),
    (["a", "a", "a"], 3, ["a", "a_2", "a_3"]),
    (["a", "a", "a_2"], 3, ["a", "a_3", "a_2"]),
    (["", "x", ""], 3, ["column_1", "x", "column_3"]),
    (["column_2", ""], 2, ["column_2", "column_2_2"]),
    (["A", "a"], 2, ["A", "a"]),
    (["only"], 3, ["only", "column_2", "column_3"]),
])
def test_column_names_are_unique(tmp_path, header_row, width, names):
    rows = ([header_row] if header_row is not None else []) + [["1"] * width]
    src = file_with(tmp_path / "in.csv", csv_bytes(rows))
    t = corvel.read(src, header=header_row is not None, expected_columns=width)
    assert t.column_names == names


@pytest.mark.parametrize("columns, want", [
    (None, (["a", "b", "c"], ["1", "2", "3"])),
    (["c", "a"], (["c", "a"], ["3", "1"])),
    ([2, 0], (["c", "a"], ["3", "1"])),
    ([-1, "b"], (["c", "b"], ["3", "2"])),
    ((1,), (["b"], ["2"])),
    (["nope"], KeyError("nope")),
    ([3], IndexError("column index 3 is out of range for a table of 3 columns")),
    ([True], TypeError("columns must hold names (str) or 0-based indices (int), not True")),
    ([1.0], TypeError("columns must hold names (str) or 0-based indices (int), not 1.0")),
    ("a", TypeError("columns must be None or a list of names or indices, not str")),
    (["a", 0], ValueError("columns asks for a column more than once: ['a', 0]")),
])
def test_columns_pick_and_order(tmp_path, columns, want):
    src = file_with(tmp_path / "in.csv", b"a,b,c\n1,2,3\n")
    if isinstance(want, Exception):
        with pytest.raises(type(want)) as info:
            corvel.read(src, header=True, columns=columns)
        assert str(info.value) == str(want)
        return
    t = corvel.read(src, header=True, columns=columns)
    assert (t.column_names, list(t.rows())) == (want[0], [want[1]])


def test_mixed_widths_are_refused_on_export(tmp_path):
    t = corvel.read(file_with(tmp_path / "in.csv", b"a,b\n1\n"), expected_columns=0)
    assert list(t.rows()) == [["a", "b"], ["1"]]
    with pytest.raises(ValueError, match="different widths"):
        t.__arrow_c_stream__()


def test_quarantine_records_and_file(tmp_path):
    src = file_with(tmp_path / "in.csv", b'a,b\n1\n2,3\n"x\ny",4,5\n')
    q = tmp_path / "q.csv"
    t = corvel.read(src, fill_ragged_rows=False, merge_overflow=False, quarantine=q, header=False)
    assert [(r.line, r.end_line, r.byte_offset, r.reason, r.raw) for r in t.quarantine] == [
        (2, 2, 4, "too_few_columns", "1"), (4, 5, 10, "too_many_columns", '"x\ny",4,5')]
    assert q.read_text().startswith("line,end_line,byte_offset,reason,raw\n")
    assert list(t.rows()) == [["a", "b"], ["2", "3"]]


# ---- The notebook view ----

class Parsed(HTMLParser):
    def __init__(self, html):
        super().__init__()
        self.tags, self.marks, self.urls = [], 0, []
        self.feed(html)
        self.close()

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        a = dict(attrs)
        if tag == "rect" and "mark" in (a.get("class") or "").split():
            self.marks += 1
        self.urls += [v for k, v in attrs if v and ("://" in v or v.startswith("//")) and k != "xmlns"]


# Among 1000 rows of three fields, those at `bad_at` have one; rows side by side are one region.
@pytest.mark.parametrize("bad_at, regions", [
    (set(), 0), ({500}, 1), (set(range(100, 110)), 1), ({5, 995}, 2), ({5, 500, 995}, 3),
])
@pytest.mark.parametrize("how", ["set_aside", "repaired"])
def test_html_marks_each_damaged_region(tmp_path, bad_at, regions, how):
    rows = [["a", "b", "c"]] + [[str(i)] if i in bad_at else [str(i), "x", "y"] for i in range(1000)]
    extra = {"fill_ragged_rows": False} if how == "set_aside" else {"audit": tmp_path / "audit.jsonl"}
    t = corvel.read(file_with(tmp_path / "in.csv", csv_bytes(rows)), header=True, **extra)
    html = t._repr_html_()
    p = Parsed(html)
    assert "script" not in p.tags and not p.urls
    assert "svg" in p.tags
    assert p.marks == regions
    assert "<th>a</th>" in html


def test_html_escapes_cells_and_report_renders(tmp_path):
    src = file_with(tmp_path / "in.csv", csv_bytes([["<b>", "x"], ["<script>alert(1)</script>", "&"]]))
    t = corvel.read(src, header=True)
    p = Parsed(t._repr_html_())
    assert "script" not in p.tags and "b" not in p.tags
    r = Parsed(t.report._repr_html_())
    assert "script" not in r.tags and not r.urls


# ---- The capsules, seen through the C ABI ----

I64, PTR, TEXT = ctypes.c_int64, ctypes.c_void_p, ctypes.c_char_p


class Schema(ctypes.Structure):
    _fields_ = [("format", TEXT), ("name", TEXT), ("metadata", TEXT), ("flags", I64), ("n_children", I64),
                ("children", PTR), ("dictionary", PTR), ("release", PTR), ("private_data", PTR)]


class Array(ctypes.Structure):
    _fields_ = [*((n, I64) for n in ("length", "null_count", "offset", "n_buffers", "n_children")),
                *((n, PTR) for n in ("buffers", "children", "dictionary", "release", "private_data"))]


class Stream(ctypes.Structure):
    pass


Stream._fields_ = [("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Schema))),
                   ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Array))),
                   ("get_last_error", PTR), ("release", PTR), ("private_data", PTR)]

get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
get_pointer.restype = ctypes.c_void_p
get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def stream_of(capsule):
    return ctypes.cast(get_pointer(capsule, b"arrow_array_stream"), ctypes.POINTER(Stream)).contents


def release(struct):
    ctypes.cast(struct.release, ctypes.CFUNCTYPE(None, ctypes.POINTER(type(struct))))(ctypes.pointer(struct))
    assert struct.release is None  # marked released


def small_table(tmp_path, rows=50, batch_rows=7):
    rows = [["k", "v"]] + [[str(i), "long enough to live outside the view" * (i % 2)] for i in range(rows)]
    return corvel.read(file_with(tmp_path / "in.csv", csv_bytes(rows)), header=True, batch_rows=batch_rows)


@pytest.mark.parametrize("order", ["table_stream_array", "stream_table_array", "array_stream_table"])
def test_release_exactly_once_whichever_side_drops_first(tmp_path, order):
    t = small_table(tmp_path)
    capsule = t.__arrow_c_stream__()
    stream = stream_of(capsule)
    schema, array = Schema(), Array()
    assert stream.get_schema(ctypes.pointer(stream), ctypes.pointer(schema)) == 0
    assert stream.get_next(ctypes.pointer(stream), ctypes.pointer(array)) == 0
    assert array.length == 7
    release(schema)
    for side in order.split("_"):
        if side == "table":
            del t
            gc.collect()
        else:
            release(stream if side == "stream" else array)
    del capsule  # its destructor sees the stream released and leaves it


def batch_lengths(capsule):
    """Reads the stream in the capsule to its end: the length of each batch."""
    stream = stream_of(capsule)
    lengths = []
    while True:
        array = Array()
        assert stream.get_next(ctypes.pointer(stream), ctypes.pointer(array)) == 0
        if not array.release:
            return lengths
        lengths.append(array.length)
        release(array)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_no_leaks_from_half_read_streams(tmp_path):
    t = small_table(tmp_path, rows=20_000, batch_rows=1000)

    def half_read(n):
        for _ in range(n):
            stream = stream_of(capsule := t.__arrow_c_stream__())
            array = Array()
            assert stream.get_next(ctypes.pointer(stream), ctypes.pointer(array)) == 0
            release(array)
            del stream, capsule  # the capsule releases the stream, half read

    half_read(200)
    before = rss_bytes()
    half_read(2000)
    assert rss_bytes() - before < 4 << 20


@pytest.mark.thirdparty
def test_iter_batches_stops_the_salvage_when_closed(tmp_path):
    pytest.importorskip("pyarrow")
    src = file_with(tmp_path / "in.csv", b"a,b\n" + b"1,2\n" * 300_000)
    with corvel.iter_batches(src, batch_rows=1000) as reader:
        assert next(reader).num_rows == 1000
    assert not reader._thread.is_alive() and reader.report is None


def test_threads_share_a_table(tmp_path, run_threads):
    t = small_table(tmp_path, rows=5000, batch_rows=64)
    want = list(t.rows())
    barrier = threading.Barrier(8)

    def work(_):
        barrier.wait()
        for _ in range(5):
            assert list(t.rows()) == want
            assert batch_lengths(t.__arrow_c_stream__()) == [64] * 78 + [8]  # every row once, then the end

    run_threads(8, work)


def test_batches_take_the_rows_of_one_salvage_only():
    batches = _core.Batches(None, None, None)
    counts = _core.salvage(io.BytesIO(b"a;b\n1;\"x;y\"\n2;3\n"), b"", None, batches, True, False)
    assert counts["rows_written"] == 2 and batches.has_header and batches.column_names() == ["a", "b"]
    assert batches.rows(0, 5) == [["1", "x;y"], ["2", "3"]]
    with pytest.raises(ValueError, match="already filled"):
        _core.salvage(io.BytesIO(b"c,d\n"), b"", None, batches, False, False)
    assert batches.num_rows == 2


def test_a_cancelled_reader_stops_the_salvage_with_broken_pipe():
    batches = _core.Batches(1, None, 1)
    batches.cancel()
    with pytest.raises(BrokenPipeError):
        _core.salvage(io.BytesIO(b"a,b\n" * 10), b"", None, batches, False, False)


@given(st.lists(st.sampled_from([b"a", b",", b'"', b"\n", b"\r\n", b" ", "é".encode(), b"\xff", b""]), max_size=60),
       st.booleans())
def test_any_input_reads_as_the_clean_file(tmp_path_factory, pieces, header):
    tmp = tmp_path_factory.mktemp("prop")
    src = file_with(tmp / "in.csv", b"".join(pieces))
    _, want = clean_rows(src, tmp, header=header)
    t = corvel.read(src, header=header, batch_rows=3)
    assert list(t.rows()) == want
