"""corvel.Table: salvaged rows held as Arrow string columns."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

from . import _core
from ._report import Report

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import polars  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

__all__ = ["QuarantineRecord", "Table", "resolve_columns"]

# Rows converted to Python at a time by Table.rows().
_ROWS_CHUNK = 1024


class QuarantineRecord(NamedTuple):
    """A row set aside, as the quarantine file records it.

    Attributes:
        line: Its first physical line, 1-based.
        end_line: Its last physical line.
        byte_offset: Where it starts in the input (after decompression,
            before transcoding), 0-based.
        reason: Why it was set aside, e.g. ``"too_few_columns"``.
        raw: Its exact source text, line breaks and quotes included.
    """

    line: int
    end_line: int
    byte_offset: int
    reason: str
    raw: str


def resolve_columns(wanted: Sequence[str | int] | None, names: Sequence[str]) -> list[int] | None:
    """The 0-based indices of the `wanted` columns among `names`.

    Raises:
        KeyError: A name is not among `names`.
        IndexError: An index is out of range.
        ValueError: A column is asked for twice.
    """
    if wanted is None:
        return None
    position = {name: i for i, name in enumerate(names)}
    out: list[int] = []
    for c in wanted:
        if isinstance(c, str):
            if c not in position:
                raise KeyError(c)
            out.append(position[c])
        elif -len(names) <= c < len(names):
            out.append(c % len(names))
        else:
            raise IndexError(f"column index {c} is out of range for a table of {len(names)} columns")
    if len(set(out)) != len(out):
        raise ValueError(f"columns asks for a column more than once: {list(wanted)!r}")
    return out


class Table:
    """Salvaged rows as Arrow string columns, in memory; with
    ``read(..., infer_types=True)``, a column whose cells all parse as one
    type is exported as that type (see :func:`corvel.read`).

    A table implements the Arrow PyCapsule interface, so ``pyarrow.table(t)``,
    ``polars.DataFrame(t)`` and DuckDB's ``select * from t`` take it directly;
    with a consumer that accepts ``utf8_view`` columns the text is not copied.
    A table is immutable and may be shared by threads.

    Attributes:
        report: The :class:`Report` of the salvage.
        quarantine: The rows set aside, as :class:`QuarantineRecord`.
    """

    __slots__ = ("_batch_rows", "_batches", "_columns", "_names", "_repaired", "quarantine", "report")

    def __init__(self, batches: _core.Batches, names: list[str], columns: list[int] | None, report: Report,
                 quarantine: list[QuarantineRecord], repaired: list[int] | None, batch_rows: int) -> None:
        self._batches = batches
        self._names = names
        self._columns = columns
        self._repaired = repaired
        self._batch_rows = batch_rows
        self.report = report
        self.quarantine = quarantine

    @property
    def column_names(self) -> list[str]:
        """The names of the columns, in order."""
        if self._columns is None:
            return list(self._names)
        return [self._names[i] for i in self._columns]

    @property
    def num_rows(self) -> int:
        """The number of data rows (a header row is not one)."""
        return int(self._batches.num_rows)

    def __len__(self) -> int:
        return self.num_rows

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """The table as an ``arrow_array_stream`` PyCapsule.

        Args:
            requested_schema: ``None``, or an ``arrow_schema`` capsule; where
                it asks for ``large_utf8`` columns, they are given as such
                (one copy of the text), otherwise as ``utf8_view``.

        Returns:
            A new capsule; each call starts a new stream over the same rows.
        """
        return self._batches.stream(self._columns, requested_schema, self._batch_rows)

    def __arrow_c_schema__(self) -> object:
        """The table's schema as an ``arrow_schema`` PyCapsule.

        Returns:
            A new capsule: a struct of nullable ``utf8_view`` fields, or of
            each column's inferred type.
        """
        return self._batches.schema(self._columns)

    def to_arrow(self) -> pyarrow.Table:
        """The table as a ``pyarrow.Table`` (imports pyarrow).

        Returns:
            A table of ``string_view`` columns that shares the text.

        Raises:
            ImportError: pyarrow is not installed.
        """
        import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

        return pyarrow.table(self)

    def to_polars(self) -> polars.DataFrame:
        """The table as a ``polars.DataFrame`` (imports polars); text columns are ``String``.

        Returns:
            A new data frame.

        Raises:
            ImportError: polars is not installed.
        """
        import polars  # type: ignore[import-untyped, import-not-found, unused-ignore]

        return polars.DataFrame(self)

    def to_pandas(self) -> pandas.DataFrame:
        """The table as a ``pandas.DataFrame`` (imports pandas and pyarrow).
        Text columns are strings. Typed columns (``infer_types=True``) lose
        nothing: int64 becomes pandas' nullable ``Int64`` (not float64, which
        would round integers past 2**53 and turn empty cells into NaN), bool
        becomes ``boolean``, dates ``datetime64[ms]``, timestamps
        ``datetime64[us]``; empty cells are ``<NA>`` or ``NaT``.

        Returns:
            A new data frame.

        Raises:
            ImportError: pandas or pyarrow is not installed.
        """
        import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

        import pandas

        nullable = {pyarrow.int64(): pandas.Int64Dtype(), pyarrow.bool_(): pandas.BooleanDtype()}
        return pyarrow.table(_Large(self)).to_pandas(types_mapper=nullable.get, date_as_object=False)

    def rows(self) -> Iterator[list[str]]:
        """The data rows as lists of ``str``, in order; a header row becomes
        the column names and is not among them.

        Returns:
            An iterator of new lists, one per row, of the selected columns.
        """
        total = self.num_rows
        for start in range(0, total, _ROWS_CHUNK):
            chunk = self._batches.rows(start, min(total, start + _ROWS_CHUNK))
            if self._columns is None:
                yield from chunk
            else:
                for row in chunk:
                    yield [row[i] for i in self._columns]

    def __repr__(self) -> str:
        return f"<corvel.Table {self.num_rows} rows x {len(self.column_names)} columns: {self.column_names!r}>"

    def _repr_html_(self) -> str:
        from ._html import table_html

        return table_html(self)

    def _damage(self) -> tuple[list[int], list[int]]:
        """Byte offsets of the rows set aside, and of the rows repaired (when
        an audit was written)."""
        return [r.byte_offset for r in self.quarantine], list(self._repaired or [])

    def _repaired_known(self) -> bool:
        return self._repaired is not None


class _Large:
    """A table whose stream gives ``large_utf8`` columns, for consumers that
    convert views slowly."""

    __slots__ = ("_table",)

    def __init__(self, table: Table) -> None:
        self._table = table

    def __arrow_c_stream__(self, requested_schema: Any = None) -> object:
        t = self._table
        return t._batches.stream(t._columns, "large", t._batch_rows)
