"""corvel.detect: the dialect and shape of real files made here."""

import codecs
import gzip
import io

import pytest

import corvel
from corvel import _core
from support import file_with

PEOPLE = [
    ["Ann Lee", "34", "2024-01-02", "ann@example.com"],
    ["Bob Stone", "41", "2024-02-11", "bob@example.com"],
    ["Cy Young", "29", "2023-12-30", "cy@example.com"],
    ["Zoë Mäkelä", "52", "2024-03-05", "zoe@example.com"],
]
LABELS = ["name", "age", "joined", "mail"]


def table(rows, sep=",", end="\n"):
    return "".join(sep.join(r) + end for r in rows)


def detect_text(tmp_path, text, encoding="utf-8", **kwargs):
    p = file_with(tmp_path / "in.csv", text.encode(encoding) if isinstance(text, str) else text)
    return corvel.detect(p, **kwargs)


# (name, text, delimiter, quote_char, escape_char, skip_initial_space): the
# engine's own table has the other delimiters; these show each field come through.
DIALECTS = [
    ("comma", table([LABELS, *PEOPLE]), ",", None, None, False),
    ("excel semicolon", "\ufeff" + table([LABELS, *PEOPLE], ";", "\r\n"), ";", None, None, False),
    ("comma and blank", 'name, city, zip\n"Smith, John", Oslo, 0150\n"Lee, Ann", Lima, 15001\n'
                        '"Moss, Di", Rome, 00118\n', ",", '"', None, True),
    ("apostrophes", "name,note\nAnn,'a, b'\nBob,'c, d'\nCy,'e, f'\n", ",", "'", None, False),
    ("backslash", 'name,note\nAnn,"say \\"hi\\", ok"\nBob,"a, b"\nCy,"c"\n', ",", '"', "\\", False),
]


@pytest.mark.parametrize(("text", "delimiter", "quote", "escape", "skip"),
                         [d[1:] for d in DIALECTS], ids=[d[0] for d in DIALECTS])
def test_dialects(tmp_path, text, delimiter, quote, escape, skip):
    d = detect_text(tmp_path, text)
    assert (d.delimiter, d.quote_char, d.escape_char, d.skip_initial_space) == (delimiter, quote, escape, skip)
    assert d.encoding == "utf-8" and 0 < d.confidence <= 1


TEXT = table([LABELS, *PEOPLE], ";")


@pytest.mark.parametrize(("encoding", "data", "reported"), [
    ("latin-1", TEXT.encode("latin-1"), "cp1252"),
    ("cp1252", (TEXT + "Eve;3;2024-01-01;€\n").encode("cp1252"), "cp1252"),
    ("utf-16", TEXT.encode("utf-16"), "utf-16-le"),
    ("utf-8-sig", codecs.BOM_UTF8 + TEXT.encode(), "utf-8"),
    ("gzip", gzip.compress(TEXT.encode()), "utf-8"),
])
def test_encodings_and_compression_give_the_same_dialect(tmp_path, encoding, data, reported):
    d = detect_text(tmp_path, data)
    assert (d.delimiter, d.width, d.header_row, d.encoding) == (";", 4, 0, reported)


# (name, text, width, preamble_rows, header_row, header_rows, footer_rows): each
# field as the package derives it; the engine's table has the other shapes.
SHAPES = [
    ("no header", table(PEOPLE), 4, 0, None, 0, 0),
    ("title and blank line", "Sales report\n\n" + table([LABELS, *PEOPLE]), 4, 1, 1, 1, 0),
    ("two header rows", table([["", "Personal", "", "Contact"], LABELS, *PEOPLE]), 4, 0, 1, 2, 0),
    ("totals", "item,qty\nTea,3\nJam,4\nCake,5\nTotal,12\n", 2, 0, 0, 1, 1),
]


@pytest.mark.parametrize(("text", "width", "preamble", "header_row", "header_rows", "footer"),
                         [s[1:] for s in SHAPES], ids=[s[0] for s in SHAPES])
def test_shapes(tmp_path, text, width, preamble, header_row, header_rows, footer):
    d = detect_text(tmp_path, text)
    assert (d.width, d.preamble_rows, d.header_row, d.header_rows, d.footer_rows) == (
        width, preamble, header_row, header_rows, footer)


FOOTED = "item,qty\n" + "Tea,3\n" * 50 + "Total,150\n"
ZOE = "name;city\n" + "Zoë;Köln\n" * 40


# A footer needs the end of the input; a sample cut inside a character (the
# two bytes of ö) is still UTF-8; an empty input has no shape.
@pytest.mark.parametrize(("text", "sample_bytes", "want"), [
    (FOOTED, None, {"footer_rows": 1}),
    (FOOTED, 100, {"footer_rows": 0, "width": 2, "header_row": 0}),
    (ZOE, ZOE.encode().index("ö".encode()) + 1, {"encoding": "utf-8", "delimiter": ";"}),
    (b"", None, {"width": None, "header_row": None, "confidence": 0.0}),
], ids=["whole", "cut-before-footer", "cut-inside-a-character", "empty"])
def test_samples(tmp_path, text, sample_bytes, want):
    d = detect_text(tmp_path, text, **({"sample_bytes": sample_bytes} if sample_bytes else {}))
    assert {k: getattr(d, k) for k in want} == want


def test_file_object_is_read_from_its_position():
    f = io.BytesIO(b"junk|junk|junk\n" + TEXT.encode())
    f.readline()
    d = corvel.detect(f)
    assert (d.delimiter, d.width) == (";", 4)


def test_progress_is_told_the_bytes_read(tmp_path):
    calls = []
    detect_text(tmp_path, TEXT, progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (len(TEXT.encode()), len(TEXT.encode()))


def test_dialect_round_trips_through_a_dict(tmp_path):
    d = detect_text(tmp_path, "Report\n" + TEXT)
    assert corvel.Dialect(**d.to_dict()) == d
    assert d.to_dict()["preamble_rows"] == 1


BAD_SOURCE = "source must be a path or a binary file object"


@pytest.mark.parametrize(("source", "kwargs", "exc", "message"), [
    (None, {"sample_bytes": 0}, ValueError, "sample_bytes must be at least 1, not 0"),
    (None, {"sample_bytes": True}, TypeError, "sample_bytes must be an int, not bool"),
    (None, {"sample_bytes": 1.5}, TypeError, "sample_bytes must be an int, not float"),
    (None, {"encoding": "no-such-codec"}, ValueError, "encoding 'no-such-codec' is not a codec Python knows"),
    (None, {"encoding": 8}, TypeError, "encoding must be a codec name or 'auto', not int"),
    (None, {"progress": 3}, TypeError, "progress must be None, True, False or a callable, not int"),
    *((source, {}, TypeError, BAD_SOURCE) for source in (b"a,b\n", "a,b\n".encode().decode, 3)),
])
def test_bad_options_and_sources(tmp_path, source, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        corvel.detect(file_with(tmp_path / "in.csv", TEXT.encode()) if source is None else source, **kwargs)


def test_binary_input_is_refused(tmp_path):
    with pytest.raises(ValueError, match="does not look like CSV text: .*NUL bytes"):
        detect_text(tmp_path, b"\x00\x00\xff" * 1000)


def test_core_takes_bytes_only():
    with pytest.raises(TypeError, match="sample must be bytes, not str"):
        _core.detect("a,b", True)
    found = _core.detect(b"a;b\n1;2\n3;4\n", True)
    assert (found["delimiter"], found["width"], found["column_types"]) == (";", 2, ("number", "number"))


def _lines_one_by_one(data, legacy):
    """Each line (CR, LF or CR LF) that is not UTF-8 read with `legacy`, one at a time."""
    out = []
    for line in data.splitlines(keepends=True):
        try:
            line.decode("utf-8")
            out.append(line)
        except UnicodeDecodeError:
            out.append(line.decode(legacy, "replace").encode("utf-8"))
    return b"".join(out)


@pytest.mark.parametrize("legacy", ["cp1252", "latin-1", "mac-roman"])
@pytest.mark.parametrize("data", [
    b"a,b\nZo\xeb,1\nZo\xc3\xab,2\n",
    b"x\xe9\ry\xc3\xa9\r\nz\xe9\r\n\xe9",
    b"nel \xc2\x85 kept\nbyte \x85 read\n\xe2\x80\xa8\n\x0b\x1c\xe9\n",
    b"\xed\xa0\x80 surrogate\n\x80 stray\n\xf0\x9f\x98\x80 ok\n\xf0\x9f cut\n",
    b"\x81\x8d\x8f\x90\x9d holes\n\n\r\r\n\xff",
])
def test_sample_lines_decoded_each_their_own_way(data, legacy):
    from corvel._detect import _to_utf8
    from corvel._encoding import EncodingPlan

    text, reported = _to_utf8(data, EncodingPlan("utf-8", "per-row", legacy=legacy), True)
    assert (text, reported) == (_lines_one_by_one(data, legacy), legacy)
