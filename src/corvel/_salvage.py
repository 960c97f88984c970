"""corvel.salvage: one call from a broken source to a clean RFC 4180 file."""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Protocol

from . import _core
from ._detect import EnginePlan, engine_plan
from ._dialect import Dialect
from ._encoding import SAMPLE_BYTES, EncodingPlan, not_text, plan_encoding
from ._options import Options, check_options, check_path, check_threads
from ._progress import make_progress
from ._report import Report
from ._source import Readable, Source, open_source, read_sample

__all__ = ["Prepared", "engine_options", "prepare", "run", "salvage"]

# With threads, a file is parsed in byte ranges of this size, and only a
# file of at least two ranges is split. A range this small stays in a
# core's cache from its read to its write.
_RANGE_BYTES = 1 << 20


class Writable(Protocol):
    """A binary file object the clean CSV can be written to."""

    def write(self, data: bytes, /) -> object: ...


@dataclass(frozen=True, slots=True)
class Prepared:
    """A source opened and sampled, and what the engine is to be told for it."""

    src: Source
    sample: bytes  # what the engine takes before reading on from `reader`
    reader: Readable | int
    encoding: EncodingPlan
    plan: EnginePlan
    started: float  # perf_counter() when the source was opened: a report's time counts from there


@contextmanager
def prepare(source: str | os.PathLike[str] | Readable, options: Options) -> Iterator[Prepared]:
    """Opens `source`, reads its sample once, and decides the encoding and
    every dialect option left at "auto" from it: one way for every
    function that salvages (salvage, read, iter_batches).

    Args:
        source: A path or a binary file object.
        options: The checked options.

    Yields:
        The prepared run; the source is closed on leaving.

    Raises:
        OSError: The source can't be opened or read.
        ValueError: The input looks binary (without ``force``).
        BlockingIOError: A non-blocking source had no data yet.
    """
    started = time.perf_counter()
    with open_source(source) as src:
        sample = read_sample(src, SAMPLE_BYTES)
        encoding = plan_encoding(options.encoding, sample)
        if not options.force and (refusal := not_text(src.name, sample, encoding)) is not None:
            raise ValueError(f"{refusal}. Pass force=True to salvage it anyway.")
        plan = engine_plan(options, sample, encoding, len(sample) < SAMPLE_BYTES)
        reader: Readable | int
        if encoding.mode == "decode":
            from ._transcode import Utf8Reader

            reader = Utf8Reader(src.stream, sample, encoding.codec or encoding.name)
            sample = b""
        else:
            reader = src.fd if src.fd is not None else src.stream
        yield Prepared(src, sample, reader, encoding, plan, started)


def _split_threads(prepared: Prepared, target: Any, threads: int) -> int:
    """The threads the engine may parse byte ranges of the source on: 1
    unless the input is a plain regular file of at least two ranges, read
    as is, and the clean rows go to a path or to batches (ranges are
    recorded on whichever thread is free, where no Python runs)."""
    size = prepared.src.size
    if threads == 1 or not isinstance(prepared.reader, int) or size is None or size < 2 * _RANGE_BYTES:
        return 1
    if not isinstance(target, (str, _core.Batches)):
        return 1
    return threads


def engine_options(prepared: Prepared, options: Options) -> dict[str, Any]:
    """The engine's options for a prepared source: the same for a whole
    run and for each of its byte ranges."""
    used = prepared.plan
    return {
        "delimiter": used.delimiter,
        "quote_char": used.quote_char,
        "escape_char": used.escape_char,
        "header": used.header,
        "skip_blank_lines": options.skip_blank_lines,
        "fill_ragged_rows": options.fill_ragged_rows,
        "merge_overflow": options.merge_overflow,
        "expected_columns": used.expected_columns,
        "repair_quotes": options.repair_quotes,
        "skip_initial_space": used.skip_initial_space,
        "output_delimiter": options.output_delimiter,
        "legacy": prepared.encoding.table if prepared.encoding.mode == "per-row" else None,
        "shape": used.shape,
    }


def run(prepared: Prepared, target: Any, options: Options, *, quarantine: str | None,
        audit: str | None, threads: int = 1) -> Report:
    """Runs the engine's salvage of a prepared source into `target` (a path,
    a binary file object, or the core's batches), with the progress reports
    the options ask for, on up to `threads` threads.

    Returns:
        The :class:`Report` of the run, timed from the opening of the source.
    """
    src, used = prepared.src, prepared.plan
    throttle, bar = make_progress(options.progress)
    try:
        counts = _core.salvage(
            prepared.reader, prepared.sample, src.name if src.fd is not None else None, target,
            quarantine=quarantine,
            audit=audit,
            total=src.size,
            progress=throttle,
            **engine_options(prepared, options),
            threads=_split_threads(prepared, target, threads),
            range_bytes=_RANGE_BYTES,
        )
        if throttle is not None:
            throttle.finish(counts["bytes_read"], src.size)
    finally:
        if bar is not None:
            bar.clear()
    return _report(counts, used, prepared.encoding, time.perf_counter() - prepared.started)


def salvage(
    source: str | os.PathLike[str] | Readable,
    output: str | os.PathLike[str] | Writable,
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
    output_delimiter: str | None = ",",
    force: bool = False,
    progress: None | bool | Callable[[int, int | None], object] = None,
    threads: int = 1,
) -> Report:
    """Salvages a broken CSV source into a clean RFC 4180 file.

    Rows are read, repaired and written as they stream, so memory stays
    bounded whatever the size of the input. Outputs named by path are
    atomic: they appear, complete, only when the whole salvage succeeded,
    and on any failure no target is created or changed (devices and FIFOs
    are written in place).

    Args:
        source: A path, or a binary file object read from its position on.
            gzip, bz2, xz and zstd input is recognised by its first bytes.
        output: A path for the clean CSV file, or a binary file object it is
            written to as a stream.
        quarantine: A path for the rows set aside, as CSV with the columns
            ``line,end_line,byte_offset,reason,raw``; ``None`` to only count
            them.
        audit: A path for a JSON Lines record of every row that was changed,
            set aside or skipped; ``None`` for none.
        dialect: A :class:`Dialect` (from :func:`corvel.detect` or an earlier
            report) that sets every dialect option left at ``"auto"``.
        delimiter: The field delimiter, one ASCII character, or ``"auto"``.
        quote_char: The quote character, ``None`` for no quoting, or
            ``"auto"``.
        escape_char: A character that makes the next one literal (usually
            a backslash); quotes are then not doubled. ``None``: detected
            (a backslash when the file plainly escapes its quotes with one),
            or, with ``detect="backend"``, quotes are doubled.
        skip_initial_space: Whether blanks after a delimiter are skipped
            outside quotes, or ``"auto"``.
        encoding: A Python codec name, or ``"auto"``: a BOM decides; otherwise
            each row that is valid UTF-8 is read as UTF-8 and any other row as
            cp1252 (latin-1 where cp1252 leaves a byte undefined).
        header: Whether the first row of the table is a header, or
            ``"auto"``. A header is written once, first, and not counted as
            a data row. Of a header of several rows (titles or groups above
            the labels) the row of labels is written, and the rows above it
            are set aside as "Header row".
        detect: ``"auto"`` for corvel's own detection, which also sets aside
            a preamble above the table ("Preamble row"), a footer of totals
            or notes below it ("Footer row", looked for among the last 16
            rows), and a later table after a blank line ("Second table");
            or ``"backend"`` for the classic detection: four delimiters, the
            double quote, no header, and none of those.
        skip_blank_lines: Whether blank lines are dropped (and counted)
            rather than read as rows of empty fields.
        fill_ragged_rows: Whether short rows are padded with empty fields;
            when ``False`` they are set aside.
        merge_overflow: Whether the surplus fields of long rows are merged
            into the last column; when ``False`` such rows are set aside.
        expected_columns: The table's width, or ``None`` to infer it; ``0``
            enforces no width.
        repair_quotes: Whether a stray quote inside a quoted field is kept as
            text when a later quote on its line can close the field.
        output_delimiter: The delimiter of the clean file, or ``None`` to
            keep the input's.
        force: Salvage input that looks binary instead of refusing it.
        progress: ``None``; ``True`` for a bar on standard error when it is a
            terminal; or a callable ``(bytes_done, bytes_total_or_None)``,
            called at most ten times a second.
        threads: The threads to salvage on; ``0`` for one per core. A
            plain (uncompressed, not transcoded) regular file of 2 MiB or
            more, written to a path, is then salvaged in 1 MiB byte
            ranges in parallel, in bounded memory, with output
            byte-identical to ``threads=1``; any other input or output
            quietly runs on one thread.

    Returns:
        The :class:`Report` of the run.

    Raises:
        OSError: A file can't be opened, read or written; the proper subclass,
            with ``errno``, ``strerror`` and ``filename`` set. The targets are
            left as they were.
        TypeError: An argument has the wrong type; the message names it.
        ValueError: An option has a value it can't take, or the input looks
            binary (without ``force=True``); the message says why.
        MemoryError: A row is larger than the memory that is left.
        KeyboardInterrupt: The run was interrupted; the targets are left as
            they were.
    """
    options = check_options(
        dialect=dialect, delimiter=delimiter, quote_char=quote_char, escape_char=escape_char,
        skip_initial_space=skip_initial_space, encoding=encoding, header=header, detect=detect,
        skip_blank_lines=skip_blank_lines, fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow, expected_columns=expected_columns, repair_quotes=repair_quotes,
        output_delimiter=output_delimiter, force=force, progress=progress,
    )
    target: str | Writable
    if isinstance(output, (str, os.PathLike)):
        target = os.fsdecode(output)
        check_path("output", target, allow_none=False)
    elif callable(getattr(output, "write", None)):
        target = output
    else:
        raise TypeError(f"output must be a path or a binary file object, not {type(output).__name__}")
    quarantine_path = check_path("quarantine", quarantine, allow_none=True)
    audit_path = check_path("audit", audit, allow_none=True)
    workers = check_threads(threads)

    with prepare(source, options) as prepared:
        return run(prepared, target, options, quarantine=quarantine_path, audit=audit_path, threads=workers)


def _report(counts: dict[str, int], used: EnginePlan, plan: EncodingPlan, seconds: float) -> Report:
    legacy = counts["legacy_decoded"]
    encoding = plan.legacy if plan.mode == "per-row" and legacy and plan.legacy else plan.name
    header_rows = used.header_rows if counts["header_written"] else 0
    dialect = Dialect(
        delimiter=chr(counts["delimiter"]),
        quote_char=used.quote_char,
        escape_char=used.escape_char,
        encoding=encoding,
        skip_initial_space=used.skip_initial_space,
        header_row=used.preamble_rows + header_rows - 1 if header_rows else None,
        header_rows=header_rows,
        preamble_rows=used.preamble_rows,
        footer_rows=counts["footer"],
        width=counts["width"],
        confidence=used.confidence,
    )
    names = Report.__dataclass_fields__.keys() - {"dialect", "seconds", "header_written"}
    return Report(
        **{k: counts[k] for k in names if k in counts},
        header_written=bool(counts["header_written"]),
        dialect=dialect,
        seconds=seconds,
    )
