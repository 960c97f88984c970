"""corvel.salvage on the shapes real exports have: the rows around the table
are set aside with their reasons and places, and the dialect is found."""

import csv
import dataclasses
import io
import json

import pytest

import corvel
from support import Trickle, file_with, read_back


def run(tmp_path, data, **options):
    src = file_with(tmp_path / "in.csv", data)
    report = corvel.salvage(src, tmp_path / "out.csv", quarantine=tmp_path / "q.csv",
                            audit=tmp_path / "a.jsonl", **options)
    rows = read_back(tmp_path / "out.csv")
    with open(tmp_path / "q.csv", newline="", encoding="utf-8") as f:
        set_aside = [(int(r["line"]), r["reason"], r["raw"]) for r in csv.DictReader(f)]
    return report, rows, set_aside


TABLE = b"name,price,date\nAnn,1.50,2024-01-02\nBob,2.00,2024-01-03\nCid,3.25,2024-01-04\nDee,4.10,2024-01-05\n"
WANT = [line.split(",") for line in TABLE.decode().splitlines()]

# name: (input, the clean rows, the quarantine as (line, reason, raw), report fields)
SHAPES = {
    "preamble": (b"Sales report 2024\nExported by the shop\n\n" + TABLE, WANT,
                 [(1, "Preamble row", "Sales report 2024"), (2, "Preamble row", "Exported by the shop")],
                 {"preamble": 2, "rows_skipped": 1}),
    "totals footer": (TABLE + b"Total,10.85,\n", WANT, [(6, "Footer row", "Total,10.85,")], {"footer": 1}),
    "short last row is data": (TABLE + b"Eve,5.00\n", [*WANT, ["Eve", "5.00", ""]], [], {"padded": 1}),
    "second table": (TABLE + b"\ncode,label\nA,alpha\nB,beta\n", WANT,
                     [(7, "Second table", "code,label"), (8, "Second table", "A,alpha"),
                      (9, "Second table", "B,beta")], {"second_table": 3, "tables_found": 2}),
    "comma and blank": (TABLE.replace(b",", b", "), WANT, [], {}),
    "apostrophe quote": (b"name,note,n\n'Smith, John','ok',1\n'Doe, Jane','it''s',2\nAl,x,3\n",
                         [["name", "note", "n"], ["Smith, John", "ok", "1"], ["Doe, Jane", "it's", "2"],
                          ["Al", "x", "3"]], [], {}),
    "space": (TABLE.replace(b",", b" "), WANT, [], {}),
    "colon": (TABLE.replace(b",", b":"), WANT, [], {}),
    "backslash escapes": (b'name,quote,n\nAnn,"she said \\"hi\\", then left",1\nBob,"a \\"b\\"",2\nCid,"plain",3\n',
                          [["name", "quote", "n"], ["Ann", 'she said "hi", then left', "1"], ["Bob", 'a "b"', "2"],
                           ["Cid", "plain", "3"]], [], {}),
}


@pytest.mark.parametrize("name", SHAPES)
def test_shapes(tmp_path, name):
    data, rows, set_aside, counts = SHAPES[name]
    report, got, quarantine = run(tmp_path, data)
    assert (got, quarantine, report.header_written) == (rows, set_aside, True)
    assert {k: getattr(report, k) for k in counts} == counts
    assert report.rows_set_aside == len(set_aside)
    assert report.rows_read == 1 + report.rows_written + report.rows_set_aside + report.rows_skipped
    audit = [json.loads(line) for line in (tmp_path / "a.jsonl").read_text().splitlines()]
    assert [(a["line"], a["reason"]) for a in audit if "quarantined" in a["actions"]] == \
        [(line, reason) for line, reason, _ in set_aside]


def test_header_of_several_rows_writes_its_labels(tmp_path):
    data = b"Region,North,,South\nname,q1,q2,q3\nAnn,1,2,3\nBob,4,5,6\nCid,7,8,9\nDee,1,1,1\n"
    report, rows, quarantine = run(tmp_path, data, header=True, dialect=corvel.Dialect(
        delimiter=",", quote_char='"', header_row=1, header_rows=2, width=4))
    assert rows[0] == ["name", "q1", "q2", "q3"] and len(rows) == 5
    assert quarantine == [(1, "Header row", "Region,North,,South")]
    assert (report.header_set_aside, report.dialect.header_row, report.dialect.header_rows) == (1, 1, 2)


def test_report_dialect_reproduces_the_run(tmp_path):
    data = b"Title\n\n" + TABLE.replace(b",", b";") + b"Total;10.85;\n"
    first, rows, quarantine = run(tmp_path, data)
    assert (first.dialect.delimiter, first.dialect.preamble_rows, first.dialect.header_row) == (";", 1, 1)
    again, rows2, quarantine2 = run(tmp_path, data, dialect=first.dialect)
    assert (rows2, quarantine2) == (rows, quarantine)
    assert again.dialect == dataclasses.replace(first.dialect, confidence=1.0)  # given in full


def test_backend_detection_keeps_every_row(tmp_path):
    report, rows, quarantine = run(tmp_path, b"Title\n\n" + TABLE + b"Total,10.85,\n", detect="backend")
    assert quarantine == [] and not report.header_written
    assert rows[0] == ["Title", "", ""] and rows[-1] == ["Total", "10.85", ""]


@pytest.mark.parametrize("step", [1, 7, 4096])
def test_streamed_in_pieces_gives_the_same_result(tmp_path, step):
    body = b"".join(b"r%d,%d.5,2024-01-%02d\n" % (i, i, i % 28 + 1) for i in range(3000))
    data = b"Export\n\nname,price,date\n" + body + b"Total,1,\n\nk,v\n1,2\n"
    whole = corvel.salvage(io.BytesIO(data), io.BytesIO(), quarantine=tmp_path / "q1.csv")
    out = io.BytesIO()
    cut = corvel.salvage(Trickle(data, lambda n: step), out, quarantine=tmp_path / "q2.csv")
    assert (tmp_path / "q1.csv").read_bytes() == (tmp_path / "q2.csv").read_bytes()
    keys = ("rows_written", "preamble", "footer", "second_table", "tables_found", "rows_skipped")
    assert [getattr(cut, k) for k in keys] == [getattr(whole, k) for k in keys] == [3000, 1, 1, 2, 2, 2]
    assert out.getvalue().count(b"\n") == 3001
