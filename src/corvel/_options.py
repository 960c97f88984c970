"""Checking the options of a salvage once, with messages that name the parameter."""

from __future__ import annotations

import codecs
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final, Literal

from ._dialect import Dialect

__all__ = ["AUTO", "Options", "ProgressArg", "check_flag", "check_options", "check_threads"]

AUTO: Final = "auto"
_BREAKS: Final = frozenset("\r\n")

type ProgressArg = None | bool | Callable[[int, int | None], object]


@dataclass(frozen=True, slots=True)
class Options:
    """A salvage's options, checked. ``None`` in a dialect field means "detect"
    except for `quote_char` and `escape_char`, which carry their own flags."""

    delimiter: str | None
    quote_char: str | None
    detect_quote: bool
    escape_char: str | None
    skip_initial_space: bool | None
    encoding: str  # "auto" or a codec's canonical name
    header: bool | None
    detect: Literal["auto", "backend"]
    skip_blank_lines: bool
    fill_ragged_rows: bool
    merge_overflow: bool
    expected_columns: int | None
    repair_quotes: bool
    output_delimiter: str | None
    force: bool
    progress: ProgressArg
    dialect: Dialect | None = None  # the caller's, whose table shape is kept


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def check_flag(name: str, value: object) -> bool:
    """`value`, which must be a bool (TypeError naming `name` otherwise)."""
    return _flag(name, value)


def _auto_flag(name: str, value: object) -> bool | None:
    if value == AUTO and isinstance(value, str):
        return None
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True, False or 'auto', not {value!r}")
    return value


def _char(name: str, value: object, *, allow_none: bool) -> str | None:
    """One ASCII character that is not a line break."""
    if value is None and allow_none:
        return None
    if not isinstance(value, str):
        kinds = "a single character or None" if allow_none else "a single character"
        raise TypeError(f"{name} must be {kinds}, not {type(value).__name__}")
    if len(value) != 1:
        what = "an empty string" if not value else f"{len(value)} characters ({value!r})"
        raise ValueError(f"{name} must be a single character, not {what}")
    if value in _BREAKS:
        raise ValueError(f"{name} can't be a line break ({value!r})")
    if not value.isascii():
        raise ValueError(f"{name} must be an ASCII character, not {value!r}")
    return value


def _auto_char(name: str, value: object, *, allow_none: bool) -> tuple[str | None, bool]:
    """(the character, whether it is to be detected)."""
    if isinstance(value, str) and value == AUTO:
        return None, True
    return _char(name, value, allow_none=allow_none), False


def _encoding(value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"encoding must be a codec name or 'auto', not {type(value).__name__}")
    if value == AUTO:
        return value
    try:
        return codecs.lookup(value).name
    except LookupError:
        raise ValueError(f"encoding {value!r} is not a codec Python knows") from None


def _progress(value: object) -> ProgressArg:
    if value is None or isinstance(value, bool) or callable(value):
        return value
    raise TypeError(f"progress must be None, True, False or a callable, not {type(value).__name__}")


def check_options(
    *,
    dialect: Dialect | None,
    delimiter: object,
    quote_char: object,
    escape_char: object,
    skip_initial_space: object,
    encoding: object,
    header: object,
    detect: object,
    skip_blank_lines: object,
    fill_ragged_rows: object,
    merge_overflow: object,
    expected_columns: object,
    repair_quotes: object,
    output_delimiter: object,
    force: object,
    progress: object,
) -> Options:
    """Checks every option and folds a given `dialect` into them. The
    options other than `dialect` are those of :func:`corvel.salvage`, as the
    caller passed them.

    Args:
        dialect: A dialect whose fields replace every dialect option left at
            its default, or ``None``.

    Returns:
        The checked options.

    Raises:
        TypeError: An option has the wrong type; the message names it.
        ValueError: An option has a value it can't take; the message names it.
    """
    if dialect is not None and not isinstance(dialect, Dialect):
        raise TypeError(f"dialect must be a corvel.Dialect or None, not {type(dialect).__name__}")
    if dialect is not None:
        # The dialect speaks for every dialect option the caller left alone.
        if delimiter == AUTO:
            delimiter = dialect.delimiter
        if quote_char == AUTO:
            quote_char = dialect.quote_char
        if escape_char is None:
            escape_char = dialect.escape_char
        if skip_initial_space == AUTO:
            skip_initial_space = dialect.skip_initial_space
        if encoding == AUTO:
            encoding = dialect.encoding
        if header == AUTO:
            header = dialect.header_row is not None
        if expected_columns is None and dialect.width is not None:
            expected_columns = dialect.width

    delim, detect_delim = _auto_char("delimiter", delimiter, allow_none=False)
    quote, detect_quote = _auto_char("quote_char", quote_char, allow_none=True)
    escape = _char("escape_char", escape_char, allow_none=True)
    if not detect_delim and not detect_quote and delim == quote:
        raise ValueError(f"delimiter and quote_char can't be the same character ({delim!r})")
    if escape is not None and escape == delim:
        raise ValueError(f"escape_char and delimiter can't be the same character ({escape!r})")
    if detect not in (AUTO, "backend") or not isinstance(detect, str):
        raise ValueError(f"detect must be 'auto' or 'backend', not {detect!r}")
    if expected_columns is not None:
        if isinstance(expected_columns, bool) or not isinstance(expected_columns, int):
            raise TypeError(f"expected_columns must be an int or None, not {type(expected_columns).__name__}")
        if expected_columns < 0:
            raise ValueError(f"expected_columns can't be negative ({expected_columns})")
    out_delim = _char("output_delimiter", output_delimiter, allow_none=True)
    return Options(
        delimiter=None if detect_delim else delim,
        quote_char=quote,
        detect_quote=detect_quote,
        escape_char=escape,
        skip_initial_space=_auto_flag("skip_initial_space", skip_initial_space),
        encoding=_encoding(encoding),
        header=_auto_flag("header", header),
        detect=detect,
        skip_blank_lines=_flag("skip_blank_lines", skip_blank_lines),
        fill_ragged_rows=_flag("fill_ragged_rows", fill_ragged_rows),
        merge_overflow=_flag("merge_overflow", merge_overflow),
        expected_columns=expected_columns,
        repair_quotes=_flag("repair_quotes", repair_quotes),
        output_delimiter=out_delim,
        force=_flag("force", force),
        progress=_progress(progress),
        dialect=dialect,
    )


def check_path(name: str, value: object, *, allow_none: bool) -> str | None:
    """A path parameter as text, or ``None``.

    Args:
        name: The parameter's name, for messages.
        value: A ``str`` or ``os.PathLike``, or ``None`` where allowed.
        allow_none: Whether ``None`` is accepted.

    Returns:
        The path as ``str``, or ``None``.

    Raises:
        TypeError: `value` is not a path.
        ValueError: `value` is empty or holds a NUL character.
    """
    if value is None and allow_none:
        return None
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a path (str or os.PathLike), not {type(value).__name__}")
    path = os.fsdecode(value)
    if not path:
        raise ValueError(f"{name} is an empty path")
    if "\0" in path:
        raise ValueError(f"{name} contains a NUL character")
    return path


def check_threads(value: object) -> int:
    """The `threads` option: a count of threads, ``0`` for one per core.

    Returns:
        The number of threads to use, at least 1.

    Raises:
        TypeError: `value` is not an int (``True`` is not a count).
        ValueError: `value` is negative.
    """
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"threads must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"threads must be 0 (one per core) or more, not {value}")
    if value == 0:
        return os.process_cpu_count() or 1
    return value
