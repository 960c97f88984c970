"""corvel.detect: the dialect and shape of a CSV source, from its first bytes."""

from __future__ import annotations

import codecs
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Final

from . import _core
from ._dialect import Dialect
from ._encoding import SAMPLE_BYTES, EncodingPlan, not_text, plan_encoding
from ._options import Options, _encoding, _progress
from ._progress import make_progress
from ._source import Readable, open_source, read_sample

__all__ = ["EnginePlan", "detect", "engine_plan"]

# The same bytes a salvage decides its dialect from.
DEFAULT_SAMPLE_BYTES: Final = SAMPLE_BYTES


def _sample_bytes(value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"sample_bytes must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"sample_bytes must be at least 1, not {value}")
    return value


def _whole_lines(sample: bytes, complete: bool) -> bytes:
    """The sample without a last line that the sample's end may have cut."""
    if complete:
        return sample
    end = sample.rfind(b"\n")
    return sample[: end + 1] if end >= 0 else sample


def _to_utf8(sample: bytes, plan: EncodingPlan, complete: bool) -> tuple[bytes, str]:
    """The sample as UTF-8, and the encoding to report for it."""
    data = sample[plan.bom :]
    if plan.mode == "decode":
        decoder = codecs.getincrementaldecoder(plan.codec or plan.name)(errors="replace")
        text = decoder.decode(data, final=complete)
        return _whole_lines(text.removeprefix("\ufeff").encode("utf-8", "replace"), complete), plan.name
    data = _whole_lines(data, complete)
    if plan.mode == "utf-8":
        return data.decode("utf-8", "replace").encode("utf-8"), plan.name
    # Row by row: UTF-8 where it is valid, the legacy code page elsewhere.
    try:
        data.decode("utf-8")
        return data, plan.name
    except UnicodeDecodeError:
        pass
    legacy = plan.legacy or "cp1252"
    lines = data.splitlines(keepends=True)
    # "ignore" drops each invalid byte, which "surrogateescape" keeps as one
    # character: no exception is raised for each line that is not UTF-8.
    valid = [line.isascii() or len(line.decode("utf-8", "ignore")) == len(line.decode("utf-8", "surrogateescape"))
             for line in lines]
    # The other lines are decoded together, and split again where they were
    # joined, unless the code page reads a byte from 0x80 on as a line break.
    other = [line for line, ok in zip(lines, valid) if not ok]
    decoded = b"".join(other).decode(legacy, "replace").encode("utf-8").splitlines(keepends=True)
    if len(decoded) != len(other):
        decoded = [line.decode(legacy, "replace").encode("utf-8") for line in other]
    it = iter(decoded)
    return b"".join(line if ok else next(it) for line, ok in zip(lines, valid)), legacy


def _dialect(found: dict[str, Any], encoding: str) -> Dialect:
    width = found["width"]
    header_rows = found["header_rows"]
    return Dialect(
        delimiter=found["delimiter"],
        quote_char=found["quote_char"],
        escape_char=found["escape_char"],
        encoding=encoding,
        skip_initial_space=found["skip_initial_space"],
        header_row=found["preamble_rows"] + header_rows - 1 if header_rows else None,
        header_rows=header_rows,
        preamble_rows=found["preamble_rows"],
        footer_rows=found["footer_rows"],
        width=width or None,
        confidence=round(found["confidence"], 4),
    )


def detect(
    source: str | os.PathLike[str] | Readable,
    *,
    encoding: str = "auto",
    sample_bytes: int = DEFAULT_SAMPLE_BYTES,
    progress: None | bool | Callable[[int, int | None], object] = None,
) -> Dialect:
    """Detects how a CSV source is written, from its first bytes.

    The delimiter (``,`` ``;`` tab ``|`` ``:`` or space, and ``", "`` as a
    comma with `skip_initial_space`), the quote (``"``, ``'`` or none), a
    backslash escape, the table's width, and the rows around the table: a
    preamble of text above it, its header rows, and, when the sample holds
    the whole input, footer rows below it. Each candidate dialect is judged
    by how consistent the table it makes is, and how much its cells look
    like values (numbers, dates, codes, words).

    Only the first `sample_bytes` are read, so the time taken does not grow
    with the file. A file object is read from its position on, and is left
    advanced by what was read.

    Args:
        source: A path, or a binary file object. gzip, bz2, xz and zstd input
            is recognised by its first bytes.
        encoding: A Python codec name, or ``"auto"``: a BOM decides;
            otherwise each line that is valid UTF-8 is read as UTF-8 and any
            other line as cp1252 (latin-1 where cp1252 leaves a byte
            undefined).
        sample_bytes: How many bytes of the (decompressed) input to look at.
        progress: ``None``; ``True`` for a bar on standard error when it is a
            terminal; or a callable ``(bytes_done, bytes_total_or_None)``.

    Returns:
        The :class:`Dialect`. Its row counts are of the rows that are not
        blank: `preamble_rows` rows come first, then the header rows, the
        last of which is `header_row` (``None`` without a header), then the
        data. `footer_rows` is 0 unless the sample was the whole input. Pass
        it as ``dialect=`` to :func:`corvel.salvage` to reuse it.

    Raises:
        OSError: The path can't be opened or read; the proper subclass, with
            ``errno``, ``strerror`` and ``filename`` set.
        TypeError: An argument has the wrong type; the message names it.
        ValueError: `encoding` is not a codec Python knows, `sample_bytes`
            is below 1, or the input looks binary.
        MemoryError: The sample is larger than the memory that is left.
    """
    codec = _encoding(encoding)
    size = _sample_bytes(sample_bytes)
    throttle, bar = make_progress(_progress(progress))
    try:
        with open_source(source) as src:
            # One byte more than the sample tells whether the sample is the whole input.
            sample = read_sample(src, size + 1)
            complete = len(sample) <= size
            sample = sample[:size]
            total = src.size
            name = src.name
        plan = plan_encoding(codec, sample)
        if (refusal := not_text(name, sample, plan)) is not None:
            raise ValueError(refusal)
        text, reported = _to_utf8(sample, plan, complete)
        found = _core.detect(text, complete)
        if throttle is not None:
            throttle.finish(len(sample), total)
    finally:
        if bar is not None:
            bar.clear()
    return _dialect(found, reported)


@dataclass(frozen=True, slots=True)
class EnginePlan:
    """What the engine is told for one run: the dialect and the table's shape,
    each taken from the caller where given and from detection elsewhere."""

    delimiter: str | None  # None: the engine sniffs it (backend detection)
    quote_char: str | None
    escape_char: str | None
    skip_initial_space: bool
    header: bool
    header_rows: int
    preamble_rows: int
    expected_columns: int | None
    # (preamble_rows, header_rows, find_footer, find_tables, column_types), or
    # None for no table shape at all (backend detection).
    shape: tuple[int, int, bool, bool, tuple[str, ...]] | None
    confidence: float


def _backend_plan(options: Options) -> EnginePlan:
    return EnginePlan(
        delimiter=options.delimiter,
        quote_char='"' if options.detect_quote else options.quote_char,
        escape_char=None if options.escape_char == options.quote_char else options.escape_char,
        skip_initial_space=bool(options.skip_initial_space),
        header=bool(options.header),
        header_rows=1 if options.header else 0,
        preamble_rows=0,
        expected_columns=options.expected_columns,
        shape=None,
        confidence=1.0,
    )


def engine_plan(options: Options, sample: bytes, encoding: EncodingPlan, complete: bool) -> EnginePlan:
    """Decides every dialect option left at "auto", from `sample`.

    With ``detect="backend"`` nothing is detected here: the engine sniffs the
    delimiter and the width as the classic module does, with the double
    quote and no header. Otherwise corvel's detection runs on the sample,
    and its answers fill what the caller (or the caller's `dialect`) left
    open. When the caller fixed a delimiter or a quote that detection did
    not choose, the rows detection counted are of another dialect: the
    width is then inferred by the engine, and there is neither preamble nor
    a header unless asked for. A width or a header the caller fixed where
    detection saw none likewise leaves no preamble.

    Args:
        options: The checked options.
        sample: The first bytes of the (decompressed) input, undecoded.
        encoding: How the input is decoded.
        complete: Whether `sample` is the whole input.

    Returns:
        The plan for the engine.

    Raises:
        MemoryError: The sample is larger than the memory that is left.
    """
    if options.detect == "backend":
        return _backend_plan(options)
    text, _ = _to_utf8(sample, encoding, complete)
    found = _core.detect(text, complete)
    given = options.dialect
    delimiter = options.delimiter or found["delimiter"]
    quote = found["quote_char"] if options.detect_quote else options.quote_char
    agrees = delimiter == found["delimiter"] and quote == found["quote_char"]
    # A header or a width the caller fixed that detection did not see means
    # the rows it counted above the table are not to be trusted either.
    shape_agrees = agrees and (options.expected_columns is None or options.expected_columns == found["width"]) \
        and (options.header is not True or found["header_rows"] > 0)
    width = found["width"] if shape_agrees else 0
    escape = options.escape_char if options.escape_char is not None else (found["escape_char"] if agrees else None)
    if escape == quote:
        escape = None  # an escape that is the quote is a doubled quote
    if options.skip_initial_space is not None:
        skip = options.skip_initial_space
    else:
        skip = bool(found["skip_initial_space"]) if agrees else False
    if given is not None:
        preamble, header_rows = given.preamble_rows, given.header_rows if given.header_row is not None else 0
    elif shape_agrees:
        preamble, header_rows = found["preamble_rows"], found["header_rows"]
    else:
        preamble, header_rows = 0, 0
    header = options.header if options.header is not None else header_rows > 0
    if header:
        header_rows = max(header_rows, 1)
    elif options.header is False:
        header_rows = 0
    expected = options.expected_columns if options.expected_columns is not None else (width or None)
    types = tuple(found["column_types"]) if agrees and expected == width else ()
    explicit = given is not None or all(
        v is not None for v in (options.delimiter, options.skip_initial_space, options.header,
                                options.expected_columns)) and not options.detect_quote
    return EnginePlan(
        delimiter=delimiter,
        quote_char=quote,
        escape_char=escape,
        skip_initial_space=skip,
        header=header,
        header_rows=header_rows if header else 0,
        preamble_rows=preamble,
        expected_columns=expected,
        shape=(preamble, header_rows if header else 0, True, True, types),
        confidence=1.0 if explicit else round(found["confidence"], 4),
    )
