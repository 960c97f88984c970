"""corvel.salvage on the inputs users bring: each way in gives the same rows."""

import csv
import errno
import io
import json
import subprocess
import sys

import pytest

import corvel
from support import CP1252_ROWS, ENCODED, ROWS, csv_bytes, file_with, read_back


@pytest.mark.parametrize("via", ["path", "pathlib", "file object"])
@pytest.mark.parametrize("name", ENCODED)
def test_messy_inputs_give_the_rows_of_plain_utf8(tmp_path, name, via):
    rows, data, encoding = ENCODED[name]
    plain = file_with(tmp_path / "plain.csv", csv_bytes(rows))
    corvel.salvage(plain, tmp_path / "plain.out")
    messy = file_with(tmp_path / "messy.csv", data)
    out = tmp_path / "messy.out"
    if via == "file object":
        with open(messy, "rb") as f, open(out, "wb") as o:
            report = corvel.salvage(f, o)
    else:
        report = corvel.salvage(messy if via == "pathlib" else str(messy), out)
    assert read_back(out) == read_back(tmp_path / "plain.out") == rows
    assert out.read_bytes() == (tmp_path / "plain.out").read_bytes()
    assert report.header_written and report.rows_written == len(rows) - 1 and report.clean and report.width == 4
    assert encoding is None or report.dialect.encoding == encoding


def test_concatenated_utf8_and_cp1252_exports_both_come_out_right(tmp_path):
    src = file_with(tmp_path / "joined.csv", csv_bytes(ROWS) + csv_bytes(CP1252_ROWS[1:], encoding="cp1252"))
    report = corvel.salvage(src, tmp_path / "out.csv")
    assert read_back(tmp_path / "out.csv") == ROWS + CP1252_ROWS[1:]
    assert (report.legacy_decoded, report.bytes_replaced) == (5, 0)  # every cp1252 row has a byte above 0x7F


def test_utf8_encoding_replaces_and_counts_invalid_bytes(tmp_path):
    src = file_with(tmp_path / "in.csv", b"a,b\nZo\xeb,1\nok,2\n")
    report = corvel.salvage(src, tmp_path / "out.csv", encoding="utf-8", audit=tmp_path / "audit.jsonl")
    assert read_back(tmp_path / "out.csv") == [["a", "b"], ["Zo\ufffd", "1"], ["ok", "2"]]
    assert (report.bytes_replaced, report.rows_repaired, report.legacy_decoded) == (1, 1, 0)
    [entry] = map(json.loads, (tmp_path / "audit.jsonl").read_text().splitlines())
    assert entry["actions"] == ["bytes_replaced"] and entry["line"] == 2


# A short row, a blank line, stray quotes, a long row, a quoted line break.
BROKEN = b'id,name,amount\n1,Alice,10\n2,Bob\n\n3,"Carol "the" great",30\n4,Dan,40,extra,more\n' \
    b'5,"multi\r\nline",50\r\n6,,\n'


@pytest.mark.parametrize(
    ("options", "written", "set_aside"),
    [({}, 6, 0), ({"fill_ragged_rows": False}, 5, 1), ({"merge_overflow": False}, 5, 1),
     ({"fill_ragged_rows": False, "merge_overflow": False}, 4, 2)],
)
def test_clean_file_reads_back_strictly_into_the_salvaged_rows(tmp_path, options, written, set_aside):
    src = file_with(tmp_path / "broken.csv", BROKEN)
    report = corvel.salvage(src, tmp_path / "out.csv", quarantine=tmp_path / "q.csv", audit=tmp_path / "a.jsonl",
                            **options)
    rows = read_back(tmp_path / "out.csv")
    assert report.header_written and rows[0] == ["id", "name", "amount"]
    assert len(rows) - 1 == report.rows_written == written
    assert all(len(r) == report.width == 3 for r in rows)
    assert (report.rows_set_aside, report.rows_skipped) == (set_aside, 1)
    assert report.rows_read == 1 + report.rows_written + report.rows_set_aside + report.rows_skipped
    with open(tmp_path / "q.csv", newline="", encoding="utf-8") as f:
        quarantine = list(csv.DictReader(f))
    assert len(quarantine) == set_aside
    lines = BROKEN.split(b"\n")
    for rec in quarantine:
        # Line and offset point at the row's own source text.
        assert BROKEN[int(rec["byte_offset"]):].startswith(rec["raw"].encode())
        assert lines[int(rec["line"]) - 1].decode() == rec["raw"]
    audit = [json.loads(line) for line in (tmp_path / "a.jsonl").read_text().splitlines()]
    kinds = [a["actions"] for a in audit]
    assert ["skipped"] in kinds and any("quote_repaired" in k for k in kinds)


def test_header_written_once_and_output_delimiter(tmp_path):
    src = file_with(tmp_path / "in.csv", b"a;b\n1;x,y\n\n2;z\n")
    report = corvel.salvage(src, tmp_path / "out.csv", header=True, output_delimiter="|")
    assert (tmp_path / "out.csv").read_bytes() == b"a|b\n1|x,y\n2|z\n"
    assert report.header_written and report.rows_written == 2 and report.dialect.header_row == 0


@pytest.mark.parametrize(("data", "options", "rows", "written"), [
    # A row of one empty field is written as a quoted empty string, or it would read back as blank.
    (b'x\n""\ny\n', {}, [["x"], [""], ["y"]], b'x\n""\ny\n'),
    (b'a,b\n"c,d"\n1,2\n3,4\n', {"quote_char": None}, [["a", "b"], ['"c', 'd"'], ["1", "2"], ["3", "4"]], None),
], ids=["one-empty-field", "no-quoting"])
def test_quoting(tmp_path, data, options, rows, written):
    src = file_with(tmp_path / "in.csv", data)
    corvel.salvage(src, tmp_path / "out.csv", header=False, **options)
    assert written is None or (tmp_path / "out.csv").read_bytes() == written
    assert read_back(tmp_path / "out.csv") == rows
    assert list(corvel.read(src, header=False, **options).rows()) == rows


def test_streams_to_a_file_object_and_reports_progress(tmp_path):
    data = b"a,b\n" + b"1,2\n" * 300_000
    seen = []
    out = io.BytesIO()
    report = corvel.salvage(io.BytesIO(data), out, progress=lambda done, total: seen.append((done, total)))
    assert out.getvalue() == data and report.bytes_read == len(data)
    assert seen[-1] == (len(data), None)
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)


# (the call, kwargs, exception, words in its message); each message is checked in full in
# test_inputs.py, these show that salvage checks before it creates any output, and read checks too.
BAD = [
    (corvel.salvage, {"delimiter": ";;"}, ValueError, "delimiter"),
    (corvel.salvage, {"delimiter": ",", "quote_char": ","}, ValueError, "quote_char"),
    (corvel.salvage, {"expected_columns": True}, TypeError, "expected_columns"),
    (corvel.salvage, {"encoding": "no-such-codec"}, ValueError, "encoding"),
    (corvel.salvage, {"escape_char": "\\\\"}, ValueError, "escape_char"),
    (corvel.salvage, {"detect": "magic"}, ValueError, "detect"),
    (corvel.salvage, {"progress": 3}, TypeError, "progress"),
    (corvel.read, {"batch_rows": 0}, ValueError, "batch_rows"),
    (corvel.read, {"batch_rows": True}, TypeError, "batch_rows"),
    (corvel.read, {"header": 1}, TypeError, "header"),
    (corvel.read, {"delimiter": ",,"}, ValueError, "delimiter"),
]


@pytest.mark.parametrize(("call", "kwargs", "exc", "word"), BAD)
def test_bad_options_name_the_parameter(tmp_path, call, kwargs, exc, word):
    src = file_with(tmp_path / "in.csv", b"a,b\n")
    with pytest.raises(exc, match=word):
        call(src, *([tmp_path / "out.csv"] if call is corvel.salvage else []), **kwargs)
    assert not (tmp_path / "out.csv").exists()


def test_binary_input_is_refused_unless_forced(tmp_path):
    src = file_with(tmp_path / "in.bin", bytes(range(256)) * 64 + b"\0" * 4096)
    with pytest.raises(ValueError, match="NUL"):
        corvel.salvage(src, tmp_path / "out.csv")
    assert not (tmp_path / "out.csv").exists()
    corvel.salvage(src, tmp_path / "out.csv", force=True)
    assert (tmp_path / "out.csv").exists()


@pytest.mark.parametrize("call", [corvel.salvage, corvel.read, corvel.detect])
def test_missing_source_names_its_path(tmp_path, call):
    missing = tmp_path / "nope.csv"
    with pytest.raises(FileNotFoundError) as info:
        call(missing, *([tmp_path / "out.csv"] if call is corvel.salvage else []))
    assert (info.value.errno, info.value.filename) == (errno.ENOENT, str(missing)) and info.value.strerror
    assert not (tmp_path / "out.csv").exists()


def test_the_package_never_imports_the_backend_or_dask():
    script = ("import sys, corvel, corvel.cli; corvel.read; "
              "sys.exit(sorted({'_corvel_backend', 'dask'} & set(sys.modules)) or None)")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
