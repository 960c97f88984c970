"""The dialect of a CSV file: how its bytes make a table."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

__all__ = ["Dialect"]


@dataclass(frozen=True, slots=True, kw_only=True)
class Dialect:
    """How a CSV file is written, as detected or as given.

    A ``Dialect`` from :func:`corvel.detect` or from a :class:`corvel.Report`,
    passed back as ``dialect=``, reproduces the same run.

    Attributes:
        delimiter: The field delimiter, one ASCII character.
        quote_char: The quote character, or ``None`` when fields are never
            quoted.
        escape_char: The character that escapes a quote inside a quoted
            field (usually a backslash), or ``None`` when quotes are doubled.
        encoding: The encoding, as a Python codec name. Under automatic
            detection a file parsed row by row reports ``"utf-8"`` when every
            row was UTF-8, and its legacy code page when any row was not.
        skip_initial_space: Whether blanks after a delimiter are skipped
            outside quotes (a file separated by ``", "``).
        header_row: The index, among the file's rows that are not blank, of
            the header row (the last one, when the header has several);
            ``None`` when there is no header.
        header_rows: How many rows the header has, ending at `header_row`:
            group or title rows stand above the row of labels (0 without a
            header).
        preamble_rows: Rows of text above the table, not blank, set aside.
            They are the first rows that are not blank.
        footer_rows: The table's last rows that are totals or notes, set
            aside.
        width: The table's number of columns; ``None`` when it was not
            decided (an empty input), ``0`` when no width is enforced.
        confidence: How sure detection was, from 0 to 1; 1 for a dialect
            given in full by the caller.
    """

    delimiter: str = ","
    quote_char: str | None = '"'
    escape_char: str | None = None
    encoding: str = "utf-8"
    skip_initial_space: bool = False
    header_row: int | None = None
    header_rows: int = 0
    preamble_rows: int = 0
    footer_rows: int = 0
    width: int | None = None
    confidence: float = 1.0

    def to_dict(self) -> dict[str, Any]:
        """The dialect as a plain dictionary, for JSON.

        Returns:
            A new dictionary with one key per attribute.
        """
        return asdict(self)
