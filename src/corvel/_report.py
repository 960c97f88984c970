"""What a salvage did, counted by the fate of each row.

Every row of the input meets one fate:

=====================================================  ===========  =========================
Row                                                    Fate         Counted as
=====================================================  ===========  =========================
header (detected, or ``header=True``)                  written once ``header_written``
clean                                                  written      ``rows_written``
padded, merged, quote repaired, bytes replaced         written      ``rows_written`` and
                                                                    ``rows_repaired`` (by kind)
too few or too many columns, the matching option off   quarantine   ``rows_set_aside`` (by reason)
preamble, footer, a second table                       quarantine   ``rows_set_aside`` (by reason)
blank line, with ``skip_blank_lines``                  dropped      ``rows_skipped``
=====================================================  ===========  =========================
"""

from __future__ import annotations

from dataclasses import dataclass, field, fields
from typing import Any

from ._dialect import Dialect

__all__ = ["Report"]


@dataclass(frozen=True, slots=True, kw_only=True)
class Report:
    """The outcome of a salvage: counts by fate, the dialect, and the cost.

    Attributes:
        rows_read: Rows the parser found, of every fate.
        rows_written: Data rows written to the output (clean or repaired).
        rows_clean: Data rows written exactly as they were.
        rows_repaired: Data rows written with at least one change.
        padded: Rows padded with empty fields to the table's width.
        merged: Rows whose surplus fields were merged into the last column.
        quote_repaired: Rows in which a stray quote was kept as text.
        bytes_replaced: Rows in which bytes that are not valid in the
            encoding became U+FFFD.
        legacy_decoded: Rows decoded with the legacy code page because they
            were not valid UTF-8 (automatic encoding only).
        rows_set_aside: Rows written to the quarantine instead.
        too_few_columns: Rows set aside for having too few columns.
        too_many_columns: Rows set aside for having too many columns.
        preamble: Rows of text above the table, set aside.
        header_set_aside: Rows of a header of several rows that stand above
            its row of labels (titles, groups), set aside; the row of labels
            is the header written.
        footer: Rows below the table, set aside.
        second_table: Rows of a later table in the same file, set aside.
        rows_skipped: Blank lines dropped.
        header_written: Whether a header row was written first.
        tables_found: Tables found in the input (1 for a plain file).
        width: The table's number of columns (0: no width was enforced).
        dialect: The dialect that was used.
        bytes_read: Bytes of input, after decompression.
        seconds: Wall-clock time of the whole salvage.
    """

    rows_read: int = 0
    rows_written: int = 0
    rows_clean: int = 0
    rows_repaired: int = 0
    padded: int = 0
    merged: int = 0
    quote_repaired: int = 0
    bytes_replaced: int = 0
    legacy_decoded: int = 0
    rows_set_aside: int = 0
    too_few_columns: int = 0
    too_many_columns: int = 0
    preamble: int = 0
    header_set_aside: int = 0
    footer: int = 0
    second_table: int = 0
    rows_skipped: int = 0
    header_written: bool = False
    tables_found: int = 1
    width: int = 0
    dialect: Dialect = field(default_factory=Dialect)
    bytes_read: int = 0
    seconds: float = 0.0

    @property
    def clean(self) -> bool:
        """Whether nothing was repaired or set aside (skipped blank lines don't count)."""
        return self.rows_repaired == 0 and self.rows_set_aside == 0

    def to_dict(self) -> dict[str, Any]:
        """The report as plain values, for JSON: the dialect becomes a nested dictionary.

        Returns:
            A new dictionary with one key per attribute.
        """
        out: dict[str, Any] = {}
        for f in fields(self):
            value = getattr(self, f.name)
            out[f.name] = value.to_dict() if isinstance(value, Dialect) else value
        return out

    def _repr_html_(self) -> str:
        from ._html import report_html

        return report_html(self)
