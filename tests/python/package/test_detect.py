"""corvel.detect: the dialect and shape of real files made here."""

import codecs
import gzip
import io

import pytest

import corvel
from corvel import _core

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
    p = tmp_path / "in.csv"
    p.write_bytes(text.encode(encoding) if isinstance(text, str) else text)
    return corvel.detect(p, **kwargs)


# (name, text, delimiter, quote_char, escape_char, skip_initial_space)
DIALECTS = [
    ("comma", table([LABELS, *PEOPLE]), ",", None, None, False),
    ("excel semicolon", "\ufeff" + table([LABELS, *PEOPLE], ";", "\r\n"), ";", None, None, False),
    ("tab", table([LABELS, *PEOPLE], "\t"), "\t", None, None, False),
    ("pipe", table([LABELS, *PEOPLE], "|"), "|", None, None, False),
    ("colon", "id:city:zip\n1:Oslo:0150\n2:Lima:15001\n3:Rome:00118\n", ":", None, None, False),
    ("space", "id qty price\n1 4 2.50\n2 7 3.10\n3 1 9.99\n", " ", None, None, False),
    ("comma and blank", 'name, city, zip\n"Smith, John", Oslo, 0150\n"Lee, Ann", Lima, 15001\n'
                        '"Moss, Di", Rome, 00118\n', ",", '"', None, True),
    ("apostrophes", "name,note\nAnn,'a, b'\nBob,'c, d'\nCy,'e, f'\n", ",", "'", None, False),
    ("backslash", 'name,note\nAnn,"say \\"hi\\", ok"\nBob,"a, b"\nCy,"c"\n', ",", '"', "\\", False),
    ("decimal commas", "item;price\nTea;1,50\nCake;2,75\nJam;3,10\n", ";", None, None, False),
]


@pytest.mark.parametrize(("text", "delimiter", "quote", "escape", "skip"),
                         [d[1:] for d in DIALECTS], ids=[d[0] for d in DIALECTS])
def test_dialects(tmp_path, text, delimiter, quote, escape, skip):
    d = detect_text(tmp_path, text)
    assert (d.delimiter, d.quote_char, d.escape_char, d.skip_initial_space) == (delimiter, quote, escape, skip)
    assert d.encoding == "utf-8"
    assert 0 < d.confidence <= 1


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


# (name, text, width, preamble_rows, header_row, header_rows, footer_rows)
SHAPES = [
    ("header", table([LABELS, *PEOPLE]), 4, 0, 0, 1, 0),
    ("no header", table(PEOPLE), 4, 0, None, 0, 0),
    ("title and blank line", "Sales report\n\n" + table([LABELS, *PEOPLE]), 4, 1, 1, 1, 0),
    ("two header rows", table([["", "Personal", "", "Contact"], LABELS, *PEOPLE]), 4, 0, 1, 2, 0),
    ("totals", "item,qty\nTea,3\nJam,4\nCake,5\nTotal,12\n", 2, 0, 0, 1, 1),
    ("short last row is data", table([LABELS, *PEOPLE]) + "Eve,38\n", 4, 0, 0, 1, 0),
    ("second table", table([LABELS, *PEOPLE]) + "\nsku,qty\nA-1,3\nB-2,4\n", 4, 0, 0, 1, 0),
    ("one column", "qty\n1\n2\n3\n", 1, 0, 0, 1, 0),
]


@pytest.mark.parametrize(("text", "width", "preamble", "header_row", "header_rows", "footer"),
                         [s[1:] for s in SHAPES], ids=[s[0] for s in SHAPES])
def test_shapes(tmp_path, text, width, preamble, header_row, header_rows, footer):
    d = detect_text(tmp_path, text)
    assert (d.width, d.preamble_rows, d.header_row, d.header_rows, d.footer_rows) == (
        width, preamble, header_row, header_rows, footer)


def test_footer_needs_the_end_of_the_input(tmp_path):
    text = "item,qty\n" + "Tea,3\n" * 50 + "Total,150\n"
    assert detect_text(tmp_path, text).footer_rows == 1
    cut = detect_text(tmp_path, text, sample_bytes=100)
    assert (cut.footer_rows, cut.width, cut.header_row) == (0, 2, 0)


def test_sample_cut_inside_a_character_stays_utf8(tmp_path):
    text = "name;city\n" + "Zoë;Köln\n" * 40
    cut = text.encode().index("ö".encode()) + 1  # inside the two bytes of ö
    d = detect_text(tmp_path, text, sample_bytes=cut)
    assert (d.encoding, d.delimiter) == ("utf-8", ";")


def test_file_object_is_read_from_its_position():
    f = io.BytesIO(b"junk|junk|junk\n" + TEXT.encode())
    f.readline()
    d = corvel.detect(f)
    assert (d.delimiter, d.width) == (";", 4)


def test_empty_input(tmp_path):
    d = detect_text(tmp_path, b"")
    assert (d.width, d.header_row, d.confidence) == (None, None, 0.0)


def test_progress_is_told_the_bytes_read(tmp_path):
    calls = []
    detect_text(tmp_path, TEXT, progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (len(TEXT.encode()), len(TEXT.encode()))


def test_dialect_round_trips_through_a_dict(tmp_path):
    d = detect_text(tmp_path, "Report\n" + TEXT)
    assert corvel.Dialect(**d.to_dict()) == d
    assert d.to_dict()["preamble_rows"] == 1


@pytest.mark.parametrize(("kwargs", "exc", "message"), [
    ({"sample_bytes": 0}, ValueError, "sample_bytes must be at least 1, not 0"),
    ({"sample_bytes": True}, TypeError, "sample_bytes must be an int, not bool"),
    ({"sample_bytes": 1.5}, TypeError, "sample_bytes must be an int, not float"),
    ({"encoding": "no-such-codec"}, ValueError, "encoding 'no-such-codec' is not a codec Python knows"),
    ({"encoding": 8}, TypeError, "encoding must be a codec name or 'auto', not int"),
    ({"progress": 3}, TypeError, "progress must be None, True, False or a callable, not int"),
])
def test_bad_options(tmp_path, kwargs, exc, message):
    p = tmp_path / "in.csv"
    p.write_bytes(TEXT.encode())
    with pytest.raises(exc, match=message):
        corvel.detect(p, **kwargs)


@pytest.mark.parametrize("source", [b"a,b\n", "a,b\n".encode().decode, 3])
def test_bad_sources(source):
    with pytest.raises(TypeError, match="source must be a path or a binary file object"):
        corvel.detect(source)


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
