"""corvel.read and corvel.iter_batches: salvaged rows straight into Arrow.

The salvage runs as :func:`corvel.salvage` does, with the same options and
the same fate for every row; its clean rows are gathered into Arrow batches
in memory instead of a file, with no Python object per field.
"""

from __future__ import annotations

import csv
import os
import shutil
import tempfile
import threading
from contextlib import ExitStack
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from . import _core
from ._dialect import Dialect
from ._options import Options, check_flag, check_options, check_path, check_threads
from ._report import Report
from ._salvage import Prepared, prepare, run
from ._source import Readable
from ._table import QuarantineRecord, Table, resolve_columns

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

__all__ = ["BatchReader", "iter_batches", "read"]

# A batch is sealed at this many rows or about this many bytes (text, 8 bytes
# a field, 16 a row), whichever comes first. The parse table that fills a
# batch lives as long as the read, beside the sealed batches: a small one
# keeps the peak near the sealed rows alone, and its pages stay in cache.
_TABLE_BATCH_ROWS = 1 << 20
_TABLE_BUDGET = 4 << 20
_STREAM_BATCH_ROWS = 1 << 16
_STREAM_BUDGET = 4 << 20
# Sealed batches iter_batches lets the salvage run ahead by.
_STREAM_BOUND = 2

type ColumnsArg = Sequence[str | int] | None


def _check_columns(columns: object) -> list[str | int] | None:
    if columns is None:
        return None
    if isinstance(columns, (str, bytes)) or not isinstance(columns, Sequence):
        raise TypeError(f"columns must be None or a list of names or indices, not {type(columns).__name__}")
    out: list[str | int] = []
    for c in columns:
        # bool before int: True == 1, but True is no column index.
        if isinstance(c, bool) or not isinstance(c, (str, int)):
            raise TypeError(f"columns must hold names (str) or 0-based indices (int), not {c!r}")
        out.append(c)
    return out


def _check_batch_rows(batch_rows: object) -> int | None:
    if batch_rows is None:
        return None
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int):
        raise TypeError(f"batch_rows must be None or a positive int, not {type(batch_rows).__name__}")
    if batch_rows < 1:
        raise ValueError(f"batch_rows must be at least 1, not {batch_rows}")
    return batch_rows


def _salvage_into(prepared: Prepared, batches: _core.Batches, options: Options, quarantine: str | None,
                  audit: str | None, threads: int = 1) -> Report:
    """Runs the salvage of a prepared source with `batches` as its clean
    output (the options' output delimiter is the clean writer's own, ",")."""
    report = run(prepared, batches, options, quarantine=quarantine, audit=audit, threads=threads)
    batches.finish()
    return report


def _read_quarantine(path: str) -> list[QuarantineRecord]:
    with open(path, encoding="utf-8", newline="") as f:
        rows = csv.reader(f, strict=True)
        next(rows, None)  # the header
        return [QuarantineRecord(int(r[0]), int(r[1]), int(r[2]), r[3], r[4]) for r in rows]


def _audit_offsets(path: str) -> list[int]:
    """Byte offsets of the rows an audit file lists as repaired."""
    import json

    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            record = json.loads(line)
            if any(a not in ("quarantined", "skipped") for a in record["actions"]):
                out.append(record["byte_offset"])
    return out


def read(
    source: str | os.PathLike[str] | Readable,
    *,
    quarantine: str | os.PathLike[str] | None = None,
    audit: str | os.PathLike[str] | None = None,
    dialect: Dialect | None = None,
    delimiter: str = "auto",
    quote_char: str | None = "auto",
    escape_char: str | None = None,
    skip_initial_space: bool | str = "auto",
    encoding: str = "auto",
    header: bool | str = "auto",
    detect: str = "auto",
    skip_blank_lines: bool = True,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    force: bool = False,
    progress: None | bool | Callable[[int, int | None], object] = None,
    columns: ColumnsArg = None,
    batch_rows: int | None = None,
    threads: int = 1,
    infer_types: bool = False,
) -> Table:
    """Salvages a broken CSV source into an in-memory Arrow table.

    Every row meets the fate it meets in :func:`corvel.salvage`, with the same
    options; the accepted rows are held as Arrow string columns, with no
    Python object per field, unless `infer_types` gives them types. Column names come from the header row when there
    is one; otherwise they are ``column_1``, ``column_2``... An empty header
    field is named by its position the same way, and a name already taken
    gets the first free suffix ``_2``, ``_3``... (``a, a, a`` gives ``a, a_2,
    a_3``), so that names are unique; names are compared exactly, case
    included.

    The options from `dialect` to `progress` are those of
    :func:`corvel.salvage`; ``expected_columns=0`` only works when every row
    has the same width, since an Arrow table has one.

    Args:
        source: A path, or a binary file object; compressed input is
            recognised as in :func:`corvel.salvage`.
        quarantine: A path to also write the rows set aside to; they are in
            :attr:`Table.quarantine` either way.
        audit: A path for the JSON Lines audit of every changed row; when
            given, the HTML view marks repaired rows as well as set-aside ones.
        columns: ``None`` for every column, or the columns to keep, in that
            order, as names or 0-based indices.
        batch_rows: The most rows in each record batch the table is made of,
            or ``None`` for the default.
        threads: As in :func:`corvel.salvage`: a plain regular file of 2
            MiB or more is salvaged in byte ranges on this many threads
            (``0``: one per core), with a table equal to ``threads=1``'s
            (its batches are cut where ranges end, too).
        infer_types: ``False`` keeps every column as strings. ``True`` gives
            a column a type when every one of its non-empty cells, in the
            whole table, parses as that type; its empty cells become nulls.
            The first type that fits wins:

            - ``bool``: ``true`` or ``false`` in any case (``0`` and ``1``
              are numbers);
            - ``int64``: an optional sign and digits within the 64-bit
              range, with no leading zero (``007`` keeps the column text,
              as zip codes and identifiers need; ``0`` and ``-0`` are 0);
            - ``float64``: decimal and exponent forms (``1.5``, ``.5``,
              ``5.``, ``-2e-3``) and ``inf``, ``infinity``, ``nan`` in any
              case with an optional sign; a value beyond the double range
              (``1e309``, ``1e-400``), a leading zero (``00.5``) or an integer
              beyond 2**53 keeps the column text;
            - ``date32``: ``YYYY-MM-DD``, a real date of the years 1 to 9999;
            - ``timestamp[us]``: a date, ``T`` or a space, ``HH:MM``, and
              optionally ``:SS`` and a fraction of up to 6 digits; hours
              run to 23 (``24:00`` is text). With no zone the column is
              naive and may also hold bare dates (midnight); when every cell
              ends in ``Z`` or ``+hh:mm``/``-hh:mm`` it is in UTC
              (``timestamp[us, tz=UTC]``). A column that mixes the two keeps
              its text.

            Anything else, surrounding spaces and spellings such as ``NA``
            included, keeps the whole column as strings: no cell is ever made
            null or rounded to fit. A column with no non-empty cell stays
            strings. :meth:`Table.rows` still yields the source text.

    Returns:
        A :class:`Table`.

    Raises:
        KeyError: A name in `columns` is not a column.
        IndexError: An index in `columns` is out of range.
        OSError: As in :func:`corvel.salvage`.
        TypeError: An argument has the wrong type.
        ValueError: An option can't be used, the input looks binary, or the
            rows have different widths (``expected_columns=0``).
        MemoryError: The table does not fit in memory.
    """
    options = check_options(
        dialect=dialect, delimiter=delimiter, quote_char=quote_char, escape_char=escape_char,
        skip_initial_space=skip_initial_space, encoding=encoding, header=header, detect=detect,
        skip_blank_lines=skip_blank_lines, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, expected_columns=expected_columns, repair_quotes=repair_quotes,
        output_delimiter=",", force=force, progress=progress,
    )
    wanted = _check_columns(columns)
    rows_per_batch = _check_batch_rows(batch_rows)
    workers = check_threads(threads)
    typed = check_flag("infer_types", infer_types)
    quarantine_path = check_path("quarantine", quarantine, allow_none=True)
    audit_path = check_path("audit", audit, allow_none=True)

    scratch = None if quarantine_path is not None else tempfile.mkdtemp(prefix="corvel-")
    try:
        set_aside = quarantine_path or os.path.join(scratch or "", "quarantine.csv")
        with prepare(source, options) as prepared:
            # Whether the clean rows start with a header is known once the sample is read.
            batches = _core.Batches(rows_per_batch or _TABLE_BATCH_ROWS, _TABLE_BUDGET, None)
            report = _salvage_into(prepared, batches, options, set_aside, audit_path, workers)
        records = _read_quarantine(set_aside)
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    names = batches.column_names()
    indices = resolve_columns(wanted, names)
    if typed:
        batches.infer_types()
    repaired = _audit_offsets(audit_path) if audit_path is not None else None
    return Table(batches, names, indices, report, records, repaired, rows_per_batch or _STREAM_BATCH_ROWS)


class _Outcome:
    """What the salvage thread leaves for the reader: the report, or the
    exception the run ended with."""

    __slots__ = ("error", "report")

    def __init__(self) -> None:
        self.report: Report | None = None
        self.error: BaseException | None = None


def _produce(run: Callable[[_core.Batches], Report], batches: _core.Batches, outcome: _Outcome) -> None:
    # The thread holds no reference to its BatchReader, so that a reader
    # dropped unread is finalised, and its finaliser stops the run.
    try:
        outcome.report = run(batches)
    except BaseException as e:  # handed to the reader
        outcome.error = e
        batches.cancel()


class BatchReader:
    """The record batches of a salvage, as they are made: an iterator of
    ``pyarrow.RecordBatch``.

    The salvage runs in a thread of its own, at most a few batches ahead of
    the reader, so memory stays bounded whatever the size of the input.
    Stopping early (``close()``, ``break`` in a ``with`` block, or dropping
    the reader) stops the salvage, even one waiting for input from a pipe
    that has none to give.

    Attributes:
        report: The :class:`Report`, once every batch has been read; ``None``
            before.
    """

    def __init__(self, run: Callable[[_core.Batches], Report], batches: _core.Batches,
                 columns: list[str | int] | None, stop: threading.Event | None = None) -> None:
        import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]  # noqa: F401

        self._batches = batches
        # Stops a decompressor or decoder that waits in Python for a pipe's data.
        self._stop = stop
        self._columns = columns
        self._indices: list[int] | None = None
        self._outcome = _Outcome()
        self._closed = False
        self._thread = threading.Thread(target=_produce, args=(run, batches, self._outcome), name="corvel-salvage",
                                        daemon=True)
        self._thread.start()

    @property
    def report(self) -> Report | None:
        return self._outcome.report

    def __iter__(self) -> BatchReader:
        return self

    def __next__(self) -> pyarrow.RecordBatch:
        import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

        got = self._batches.next_batch()
        if got is None:
            self._thread.join()
            # A run stopped by close() ends with an error of its making: no news.
            if self._outcome.error is not None and not self._closed:
                error, self._outcome.error = self._outcome.error, None
                raise error
            raise StopIteration
        batch = pyarrow.RecordBatch._import_from_c_capsule(*got)
        if self._columns is not None:
            if self._indices is None:
                self._indices = resolve_columns(self._columns, self._batches.column_names())
            batch = batch.select(self._indices)
        return batch

    def close(self) -> None:
        """Stops the salvage, waits for its thread to end, and drops the
        batches not read yet. Safe to call from another thread while one
        waits in ``next()``, which then ends the iteration.

        A salvage waiting for input from a pipe, FIFO or socket ends within a
        fraction of a second; so does one waiting for a compressed or
        transcoded FIFO given by path. One reading a file object given as
        the source ends when the object's ``read()`` returns: a ``read()``
        that never returns holds it (Ctrl-C still ends the wait here).
        """
        self._closed = True
        if self._stop is not None:
            self._stop.set()
        self._batches.cancel()
        self._thread.join()

    def __enter__(self) -> BatchReader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        stop = getattr(self, "_stop", None)
        if stop is not None:
            stop.set()
        batches = getattr(self, "_batches", None)
        if batches is not None:
            batches.cancel()


def iter_batches(
    source: str | os.PathLike[str] | Readable,
    *,
    quarantine: str | os.PathLike[str] | None = None,
    audit: str | os.PathLike[str] | None = None,
    dialect: Dialect | None = None,
    delimiter: str = "auto",
    quote_char: str | None = "auto",
    escape_char: str | None = None,
    skip_initial_space: bool | str = "auto",
    encoding: str = "auto",
    header: bool | str = "auto",
    detect: str = "auto",
    skip_blank_lines: bool = True,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    force: bool = False,
    progress: None | bool | Callable[[int, int | None], object] = None,
    columns: ColumnsArg = None,
    batch_rows: int | None = None,
    threads: int = 1,
    infer_types: bool = False,
) -> BatchReader:
    """Salvages a broken CSV source into a stream of Arrow record batches of
    bounded size, for inputs larger than memory.

        >>> import pyarrow.parquet as pq
        >>> with corvel.iter_batches("huge.csv") as batches:
        ...     first = next(batches)
        ...     with pq.ParquetWriter("huge.parquet", first.schema) as out:
        ...         out.write_batch(first)
        ...         for batch in batches:
        ...             out.write_batch(batch)

    The options from `dialect` to `progress` are those of :func:`read`.

    Args:
        source: As in :func:`read`.
        quarantine: A path for the rows set aside, or ``None``.
        audit: A path for the JSON Lines audit, or ``None``.
        columns: As in :func:`read`; names are looked up when the first batch
            is read.
        batch_rows: The most rows in a batch, or ``None`` for 65536. Batches
            are also cut at about 4 MiB.
        threads: As in :func:`read`: the rows are those of ``threads=1``,
            in batches that are also cut where a range ends.
        infer_types: Must be ``False``: a stream's schema is fixed by its
            first batch, and a later batch could break any type inferred
            from it. Use :func:`read` (``infer_types=True``), or cast the
            batches yourself.

    Returns:
        A :class:`BatchReader` of ``pyarrow.RecordBatch``; its ``report`` is
        set once the last batch has been read.

    Raises:
        ImportError: pyarrow is not installed.
        KeyError: A name in `columns` is not a column (when the first batch
            is read).
        TypeError: An argument has the wrong type.
        ValueError: An option can't be used, or `infer_types` is ``True``.
        OSError: As in :func:`corvel.salvage`, when the batches are read.
    """
    options = check_options(
        dialect=dialect, delimiter=delimiter, quote_char=quote_char, escape_char=escape_char,
        skip_initial_space=skip_initial_space, encoding=encoding, header=header, detect=detect,
        skip_blank_lines=skip_blank_lines, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, expected_columns=expected_columns, repair_quotes=repair_quotes,
        output_delimiter=",", force=force, progress=progress,
    )
    wanted = _check_columns(columns)
    rows_per_batch = _check_batch_rows(batch_rows)
    workers = check_threads(threads)
    if check_flag("infer_types", infer_types):
        raise ValueError("iter_batches can't take infer_types=True: a stream's types would be fixed by its first "
                         "batch, and a later one could break them; use corvel.read(..., infer_types=True)")
    quarantine_path = check_path("quarantine", quarantine, allow_none=True)
    audit_path = check_path("audit", audit, allow_none=True)
    # The sample is read here, so that the batches know whether a header
    # comes first; the salvage thread reads on from it and closes the source.
    opened = ExitStack()
    prepared = opened.enter_context(prepare(source, options))
    try:
        batches = _core.Batches(rows_per_batch or _STREAM_BATCH_ROWS, _STREAM_BUDGET,
                                _STREAM_BOUND)

        def run(into: _core.Batches) -> Report:
            with opened:
                return _salvage_into(prepared, into, options, quarantine_path, audit_path, workers)

        return BatchReader(run, batches, wanted, prepared.src.stop)
    except BaseException:
        opened.close()
        raise
