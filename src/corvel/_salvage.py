"""corvel.salvage: one call from a broken source to a clean RFC 4180 file."""

from __future__ import annotations

import os
import time
from typing import IO, Final, Protocol

from . import _core
from ._dialect import Dialect
from ._encoding import SAMPLE_BYTES, EncodingPlan, binary_reason, plan_encoding
from ._options import Options, check_options, check_path
from ._progress import make_progress
from ._report import Report
from ._source import Readable, Source, open_source

__all__ = ["salvage"]


class Writable(Protocol):
    """A binary file object the clean CSV can be written to."""

    def write(self, data: bytes, /) -> object: ...


_NO_QUOTE: Final = -2
_DETECT: Final = -1


def _read_sample(src: Source) -> bytes:
    """The first bytes of the source, at most SAMPLE_BYTES, taken from it."""
    parts = [src.head]
    have = len(src.head)
    while have < SAMPLE_BYTES:
        piece = os.read(src.fd, SAMPLE_BYTES - have) if src.fd is not None else src.stream.read(SAMPLE_BYTES - have)
        if not piece:
            break
        parts.append(piece)
        have += len(piece)
    return b"".join(parts)


def _byte(char: str | None, *, none: int = _DETECT) -> int:
    return none if char is None else ord(char)


def _core_options(o: Options, plan: EncodingPlan) -> dict[str, object]:
    return {
        "delimiter": _byte(o.delimiter),
        "quote_char": _DETECT if o.detect_quote else _byte(o.quote_char, none=_NO_QUOTE),
        "escape_char": _byte(o.escape_char),
        "skip_initial_space": _DETECT if o.skip_initial_space is None else int(o.skip_initial_space),
        "header": _DETECT if o.header is None else int(o.header),
        "backend_detection": o.detect == "backend",
        "skip_blank_lines": o.skip_blank_lines,
        "fill_ragged_rows": o.fill_ragged_rows,
        "merge_overflow": o.merge_overflow,
        "expected_columns": _DETECT if o.expected_columns is None else o.expected_columns,
        "repair_quotes": o.repair_quotes,
        "output_delimiter": _byte(o.output_delimiter),
        "legacy_table": b"".join(plan.table) if plan.mode == "per-row" and plan.table else None,
        "legacy_lengths": bytes(len(t) for t in plan.table) if plan.mode == "per-row" and plan.table else None,
        "skip_bytes": plan.bom,
    }


def _check_text(src: Source, sample: bytes, plan: EncodingPlan, force: bool) -> None:
    if force or plan.mode == "decode":
        return
    if (reason := binary_reason(sample[plan.bom:])) is not None:
        name = src.name or "the source"
        raise ValueError(f"{name} does not look like CSV text: {reason}. "
                         "Pass force=True to salvage it anyway.")


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
    progress: None | bool | _core.ProgressCallback = None,
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
        escape_char: A character that escapes a quote inside quotes (a
            backslash), or ``None`` when quotes are doubled.
        skip_initial_space: Whether blanks after a delimiter are skipped
            outside quotes, or ``"auto"``.
        encoding: A Python codec name, or ``"auto"``: a BOM decides; otherwise
            each row that is valid UTF-8 is read as UTF-8 and any other row as
            cp1252 (latin-1 where cp1252 leaves a byte undefined).
        header: Whether the first row of the table is a header, or
            ``"auto"``. A header is written once, first, and not counted as
            a data row.
        detect: ``"auto"`` for corvel's own detection, or ``"backend"`` for
            the classic detection: four delimiters, the double quote, no
            header.
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
    out_path: str | None = None
    out_file: Writable | None = None
    if isinstance(output, (str, os.PathLike)):
        out_path = check_path("output", output, allow_none=False)
    elif callable(getattr(output, "write", None)):
        out_file = output
    else:
        raise TypeError(f"output must be a path or a binary file object, not {type(output).__name__}")
    quarantine_path = check_path("quarantine", quarantine, allow_none=True)
    audit_path = check_path("audit", audit, allow_none=True)

    started = time.perf_counter()
    throttle, bar = make_progress(options.progress)
    try:
        with open_source(source) as src:
            sample = _read_sample(src)
            plan = plan_encoding(options.encoding, sample)
            _check_text(src, sample, plan, options.force)
            reader: IO[bytes] | int | None
            if plan.mode == "decode":
                from ._transcode import Utf8Reader

                reader = Utf8Reader(src.stream, sample, plan.codec or plan.name)
                sample = b""
            else:
                reader = src.fd if src.fd is not None else src.stream
            counts = _core.salvage(
                reader, sample, out_path if out_path is not None else out_file,
                quarantine_path, audit_path,
                total=src.size, progress=throttle, **_core_options(options, plan),
            )
    finally:
        if bar is not None:
            bar.clear()
    return _report(counts, options, plan, time.perf_counter() - started)


def _report(counts: dict[str, int], options: Options, plan: EncodingPlan, seconds: float) -> Report:
    legacy = counts.get("legacy_decoded", 0)
    encoding = plan.legacy if plan.mode == "per-row" and legacy and plan.legacy else plan.name
    quote = counts["quote_char"]
    escape = counts["escape_char"]
    dialect = Dialect(
        delimiter=chr(counts["delimiter"]),
        quote_char=None if quote < 0 else chr(quote),
        escape_char=None if escape < 0 else chr(escape),
        encoding=encoding,
        skip_initial_space=bool(counts["skip_initial_space"]),
        header_row=None if counts["header_row"] < 0 else counts["header_row"],
        preamble_rows=counts["preamble"],
        footer_rows=counts["footer"],
        width=counts["width"],
        confidence=counts.get("confidence_permille", 1000) / 1000,
    )
    names = Report.__dataclass_fields__.keys() - {"dialect", "seconds", "header_written"}
    return Report(
        **{k: counts[k] for k in names if k in counts},
        header_written=bool(counts.get("header_written", 0)),
        dialect=dialect,
        seconds=seconds,
    )
