"""The notebook view of a Table and a Report: plain HTML and one inline SVG,
with no script and nothing fetched."""

from __future__ import annotations

from collections.abc import Iterable
from html import escape
from typing import TYPE_CHECKING

from ._report import Report

if TYPE_CHECKING:
    from ._table import Table

__all__ = ["damage_regions", "report_html", "table_html"]

# The strip is cut into this many bins of the input's bytes; a damaged
# region is a run of adjacent bins that hold the start of a damaged row.
STRIP_BINS = 120
_STRIP_WIDTH = 480
_STRIP_HEIGHT = 14
_SHOWN_ROWS = 10
_KINDS = (
    ("rows_written", "written"),
    ("rows_repaired", "repaired"),
    ("padded", "padded"),
    ("merged", "merged"),
    ("quote_repaired", "quote repaired"),
    ("bytes_replaced", "bytes replaced"),
    ("legacy_decoded", "legacy decoded"),
    ("rows_set_aside", "set aside"),
    ("too_few_columns", "too few columns"),
    ("too_many_columns", "too many columns"),
    ("rows_skipped", "blank lines skipped"),
)


def damage_regions(offsets: Iterable[int], total: int, bins: int = STRIP_BINS) -> list[tuple[int, int]]:
    """The damaged regions of an input of `total` bytes, as ``(first_bin,
    last_bin)`` pairs: maximal runs of adjacent bins that hold the start of a
    damaged row."""
    hit = [False] * bins
    for offset in offsets:
        hit[min(bins - 1, offset * bins // max(total, 1))] = True
    regions: list[tuple[int, int]] = []
    for i, h in enumerate(hit):
        if not h:
            continue
        if regions and regions[-1][1] == i - 1:
            regions[-1] = (regions[-1][0], i)
        else:
            regions.append((i, i))
    return regions


def _strip(set_aside: list[int], repaired: list[int], total: int) -> str:
    """One rect per damaged region: red where a row was set aside, amber
    where rows were only repaired."""
    aside = {b for a, z in damage_regions(set_aside, total) for b in range(a, z + 1)}
    bin_width = _STRIP_WIDTH / STRIP_BINS
    marks = []
    for first, last in damage_regions([*set_aside, *repaired], total):
        kind = "set-aside" if any(b in aside for b in range(first, last + 1)) else "repaired"
        color = "#c0392b" if kind == "set-aside" else "#e6a23c"
        marks.append(
            f'<rect class="mark {kind}" x="{first * bin_width:.1f}" y="0" width="{(last - first + 1) * bin_width:.1f}"'
            f' height="{_STRIP_HEIGHT}" fill="{color}"><title>bytes {first * total // STRIP_BINS}'
            f"-{(last + 1) * total // STRIP_BINS}</title></rect>"
        )
    return (
        f'<svg width="{_STRIP_WIDTH}" height="{_STRIP_HEIGHT}" role="img" aria-label="where rows were damaged">'
        f'<rect class="track" x="0" y="0" width="{_STRIP_WIDTH}" height="{_STRIP_HEIGHT}" fill="#e8eef3"/>'
        + "".join(marks)
        + "</svg>"
    )


def _counts(report: Report) -> str:
    cells = "".join(
        f"<tr><th style='text-align:left'>{escape(label)}</th><td>{getattr(report, key):,}</td></tr>"
        for key, label in _KINDS
        if key in ("rows_written", "rows_set_aside") or getattr(report, key)
    )
    d = report.dialect
    return (
        f"<table class='corvel-counts'>{cells}</table>"
        f"<p>delimiter {escape(repr(d.delimiter))}, encoding {escape(d.encoding)}, "
        f"{report.width} columns, {report.bytes_read:,} bytes in {report.seconds:.3f} s</p>"
    )


def report_html(report: Report) -> str:
    """The HTML view of a report: the counts by kind and the dialect."""
    return f"<div class='corvel-report'><strong>corvel.Report</strong>{_counts(report)}</div>"


def table_html(table: Table) -> str:
    """The HTML view of a table: its first rows, the counts by kind, and a
    strip of where in the input rows were set aside or repaired."""
    names = table.column_names
    head = "".join(f"<th>{escape(n)}</th>" for n in names)
    body = []
    for i, row in enumerate(table.rows()):
        if i == _SHOWN_ROWS:
            break
        body.append("<tr>" + "".join(f"<td>{escape(c)}</td>" for c in row) + "</tr>")
    set_aside, repaired = table._damage()
    note = "" if table._repaired_known() else " (repaired rows are marked when an audit is written)"
    return (
        "<div class='corvel-table'>"
        f"<strong>corvel.Table</strong>: {table.num_rows:,} rows &times; {len(names)} columns"
        f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"
        f"{_counts(table.report)}"
        f"<p>Where rows were set aside or repaired{escape(note)}:</p>"
        f"{_strip(set_aside, repaired, table.report.bytes_read)}"
        "</div>"
    )
