"""The ``corvel`` command: salvage, check, detect and convert CSV files.

Exit status:

===  =====================================================================
0    success; for ``check``, the file is clean (skipped blank lines don't count)
1    ``check``: rows would be repaired
2    ``check``: rows would be set aside (quarantined, preamble, footer, ...)
3    a file could not be opened, read or written
4    the command line or an option is invalid
5    the input was refused (it looks binary; ``--force`` overrides)
6    not enough memory
7    a feature needs an optional package that is not installed
130  interrupted (Ctrl-C); no partial output is left behind
===  =====================================================================

Only the standard library is imported up front, so that ``corvel --help``
starts quickly; the salvage machinery and pyarrow are imported by the
subcommand that needs them.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, Final, NoReturn

__all__ = ["main"]

EXIT_CLEAN: Final = 0
EXIT_REPAIRED: Final = 1
EXIT_SET_ASIDE: Final = 2
EXIT_IO: Final = 3
EXIT_USAGE: Final = 4
EXIT_REFUSED: Final = 5
EXIT_MEMORY: Final = 6
EXIT_MISSING_EXTRA: Final = 7
EXIT_INTERRUPTED: Final = 130

# Inputs smaller than this finish before a bar would be worth drawing. When
# the size isn't known (a pipe, compressed input) the bar appears once this
# much has been read.
_BAR_MIN_BYTES: Final = 4 << 20

_EXIT_TEXT: Final = (
    "exit status: 0 clean, 1 rows repaired (check), 2 rows set aside (check), 3 file error, "
    "4 usage, 5 input refused, 6 out of memory, 7 missing optional package, 130 interrupted"
)

# The formats of `convert`, by the output's suffix.
_FORMATS: Final = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow", ".jsonl": "jsonl"}


class _Parser(argparse.ArgumentParser):
    """argparse, with its usage errors on the documented exit status."""

    _plain: argparse.HelpFormatter | None = None

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")

    def _get_validation_formatter(self) -> argparse.HelpFormatter:
        # argparse checks each option's metavar and help text as it is added,
        # with a formatter that first imports the colour themes: a third of a
        # run's start-up, and most of the command's cost over corvel.salvage.
        # The checks draw nothing, so they get a formatter without colours;
        # help and usage are still drawn by argparse's own.
        if self._plain is None:
            self._plain = _PlainFormatter(self.prog)
        return self._plain


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's formatter, told the terminal's width so that it doesn't
    import shutil (and with it every compression module) on each run."""

    def __init__(self, prog: str, **kwargs: Any) -> None:
        if kwargs.get("width") is None:
            try:
                columns = int(os.environ.get("COLUMNS", "0")) or os.get_terminal_size(1).columns
            except (ValueError, OSError):
                columns = 80
            kwargs["width"] = max(columns, 40) - 2
        super().__init__(prog, **kwargs)


class _PlainFormatter(_Formatter):
    """A formatter that never colours, for argparse's checks alone."""

    def _set_color(self, color: bool) -> None:
        self._decolor = str


class CommandError(Exception):
    """A failure the command reports in one line, with its exit status."""

    def __init__(self, status: int, text: str) -> None:
        super().__init__(text)
        self.status = status


# --- the command line ---------------------------------------------------------

def _tristate(text: str) -> bool | str:
    value = text.lower()
    if value == "auto":
        return "auto"
    if value in ("true", "yes", "1", "on"):
        return True
    if value in ("false", "no", "0", "off"):
        return False
    raise argparse.ArgumentTypeError(f"expected auto, true or false, not {text!r}")


def _char_or_none(text: str) -> str | None:
    return None if text.lower() == "none" else text


def _add_input_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("dialect and repair options (corvel.salvage's keyword arguments)")
    g.add_argument("--dialect", default=None, metavar="JSON",
                   help="a file holding a dialect, as `corvel detect --json` prints it; "
                        "it sets every option below left at auto")
    g.add_argument("--delimiter", default="auto", help="one character, or auto (default)")
    g.add_argument("--quote-char", default="auto", type=_char_or_none,
                   help="one character, none for no quoting, or auto (default)")
    g.add_argument("--escape-char", default=None, type=_char_or_none,
                   help="a character escaping quotes (default: none, quotes are doubled)")
    g.add_argument("--skip-initial-space", default="auto", type=_tristate, metavar="{auto,true,false}")
    g.add_argument("--encoding", default="auto", help="a Python codec name, or auto (default)")
    g.add_argument("--header", default="auto", type=_tristate, metavar="{auto,true,false}")
    g.add_argument("--detect", default="auto", choices=("auto", "backend"))
    g.add_argument("--skip-blank-lines", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--fill-ragged-rows", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--merge-overflow", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--expected-columns", default=None, type=int, metavar="N",
                   help="the table's width (default: inferred; 0 enforces none)")
    g.add_argument("--repair-quotes", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--force", action="store_true", help="salvage input that looks binary")
    g.add_argument("--threads", default=1, type=int, metavar="N",
                   help="salvage a large plain file in byte ranges on N threads, 0 for one per core (default: 1)")


def _add_common(p: argparse.ArgumentParser, *, progress: bool = True) -> None:
    p.add_argument("--json", action="store_true", help="print the report as one JSON object")
    p.add_argument("--quiet", action="store_true", help="print no summary")
    if progress:
        p.add_argument("--no-progress", action="store_true", help="never draw a progress bar")
    p.add_argument("--debug", action="store_true", help="show a traceback on errors")


def _add_records(p: argparse.ArgumentParser) -> None:
    p.add_argument("-q", "--quarantine", default=None, metavar="QUARANTINE",
                   help="where the rows set aside go, as CSV")
    p.add_argument("--audit", default=None, metavar="AUDIT",
                   help="a JSON Lines record of every row changed, set aside or skipped")


def _salvage_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("-o", "--output", default="-", metavar="OUT",
                   help="the clean file (default: standard output)")
    _add_records(p)
    p.add_argument("--output-delimiter", default=",", type=_char_or_none,
                   help="the clean file's delimiter, or none to keep the input's (default: ,)")
    _add_input_options(p)
    _add_common(p)


def _check_arguments(p: argparse.ArgumentParser) -> None:
    _add_input_options(p)
    _add_common(p)


def _detect_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--encoding", default="auto", help="a Python codec name, or auto (default)")
    p.add_argument("--sample-bytes", default=None, type=int, metavar="N",
                   help="how many bytes of the start to look at (default: corvel's own)")
    p.add_argument("--json", action="store_true", help="print the dialect as one JSON object")
    p.add_argument("--debug", action="store_true", help="show a traceback on errors")


def _convert_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="the file to write, or - for standard output (with --format)")
    _add_records(p)
    p.add_argument("--format", default=None, choices=sorted(set(_FORMATS.values())),
                   help="the output's format (default: from its suffix)")
    p.add_argument("--batch-rows", default=None, type=int, metavar="N",
                   help="rows per batch (default: corvel's own)")
    p.add_argument("--infer-types", action="store_true",
                   help="give each column the type every one of its cells parses as (bool, int64, float64, "
                        "date, timestamp); reads the whole table into memory first")
    _add_input_options(p)
    _add_common(p)


# name: (one line for `corvel --help`, the description, the examples, its arguments)
_SUBCOMMANDS: Final[dict[str, tuple[str, str, str, Callable[[argparse.ArgumentParser], None]]]] = {
    "salvage": (
        "write a clean RFC 4180 copy of a broken CSV file",
        "Salvage a broken CSV file into a clean RFC 4180 file. A summary goes to standard error.",
        "  corvel salvage export.csv.gz -o clean.csv -q rejects.csv --audit audit.jsonl\n"
        "  cat export.csv | corvel salvage - > clean.csv",
        _salvage_arguments,
    ),
    "check": (
        "report what salvage would change; exit 0, 1 or 2",
        "Salvage to nowhere and report what would change. The exit status is 0 when the file is "
        "clean (skipped blank lines don't count), 1 when rows would be repaired, and 2 when rows "
        "would be set aside.",
        "  corvel check export.csv || echo 'export needs attention'\n"
        "  corvel check --json export.csv > report.json",
        _check_arguments,
    ),
    "detect": (
        "print the detected dialect, encoding, header, preamble and footer",
        "Detect how a CSV file is written, from a sample of its start, and print it with the "
        "confidence. The JSON form can be given back to salvage with --dialect.",
        "  corvel detect export.csv\n"
        "  corvel detect --json export.csv > dialect.json && corvel salvage export.csv --dialect dialect.json",
        _detect_arguments,
    ),
    "convert": (
        "salvage into Parquet, Arrow IPC or JSON Lines (needs pyarrow)",
        "Salvage a broken CSV file into Parquet, Arrow IPC or JSON Lines, batch by batch in "
        "bounded memory. The format follows the output's suffix (.parquet, .arrow, .jsonl) unless "
        "--format is given. Needs pyarrow: pip install corvel[arrow].",
        "  corvel convert export.csv.gz -o export.parquet\n"
        "  cat export.csv | corvel convert - -o rows.jsonl",
        _convert_arguments,
    ),
}


def _parser(argv: Sequence[str]) -> _Parser:
    """The parser for `argv`. Only the subcommand that runs gets its options:
    building them all would cost more than the rest of `corvel --help`."""
    parser = _Parser(
        prog="corvel",
        description="Rescue CSV files that strict parsers reject.",
        epilog="examples:\n"
               "  corvel salvage export.csv.gz -o clean.csv -q rejects.csv\n"
               "  corvel check export.csv || echo 'export needs attention'\n\n" + _EXIT_TEXT,
        formatter_class=_Formatter,
    )
    parser.add_argument("--version", action="store_true", help="print corvel's version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser, prog="corvel")
    # The top level's options take no values: the first other word names the subcommand.
    command = next((a for a in argv if not a.startswith("-")), None)
    for name, (summary, description, examples, arguments) in _SUBCOMMANDS.items():
        p: _Parser = sub.add_parser(
            name, help=summary, description=description,
            epilog=f"examples:\n{examples}\n\n{_EXIT_TEXT}",
            formatter_class=_Formatter,
        )
        if name == command:
            p.add_argument("input", metavar="IN", help="the input file, or - for standard input")
            arguments(p)
    return parser


def _options(args: argparse.Namespace) -> dict[str, Any]:
    return {
        "dialect": _load_dialect(args.dialect),
        "delimiter": args.delimiter,
        "quote_char": args.quote_char,
        "escape_char": args.escape_char,
        "skip_initial_space": args.skip_initial_space,
        "encoding": args.encoding,
        "header": args.header,
        "detect": args.detect,
        "skip_blank_lines": args.skip_blank_lines,
        "fill_ragged_rows": args.fill_ragged_rows,
        "merge_overflow": args.merge_overflow,
        "expected_columns": args.expected_columns,
        "repair_quotes": args.repair_quotes,
        "force": args.force,
        "threads": args.threads,
    }


def _load_dialect(path: str | None) -> Any:
    if path is None:
        return None
    import json

    from ._dialect import Dialect

    with open(path, "rb") as f:
        try:
            fields = json.load(f)
            return Dialect(**fields)
        except (ValueError, TypeError) as e:
            raise CommandError(EXIT_USAGE, f"{path}: not a dialect as corvel detect --json prints it ({e})") from e


def _source(name: str) -> Any:
    return sys.stdin.buffer if name == "-" else name


# --- progress and summaries ---------------------------------------------------

class _TerminalBar:
    """The bar on standard error, once the input has shown itself large enough."""

    def __init__(self, total_known: bool) -> None:
        from ._progress import Bar

        self._bar = Bar(sys.stderr)
        # A known total was already checked against the threshold.
        self._shown = total_known

    def __call__(self, done: int, total: int | None) -> None:
        if not self._shown:
            if done < _BAR_MIN_BYTES:
                return
            self._shown = True
        self._bar(done, total)

    def clear(self) -> None:
        self._bar.clear()


def _progress(args: argparse.Namespace) -> _TerminalBar | None:
    if args.no_progress or args.quiet or sys.stderr is None or not sys.stderr.isatty():
        return None
    if args.input == "-":
        return _TerminalBar(total_known=False)
    try:
        st = os.stat(args.input)
    except OSError:
        return None  # the command itself reports the error
    import stat

    if not stat.S_ISREG(st.st_mode):
        return _TerminalBar(total_known=False)
    if st.st_size < _BAR_MIN_BYTES:
        return None
    with open(args.input, "rb") as f:
        from ._source import sniff_compression

        compressed = sniff_compression(f.read(8)) is not None
    return _TerminalBar(total_known=not compressed)


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def _char(c: str | None) -> str:
    return "none" if c is None else repr(c)


def _summary(report: Any, where: dict[str, str | None]) -> str:
    d = report.dialect
    lines = [
        f"corvel: {_count(report.rows_written, 'row')} written, {report.rows_repaired} repaired, "
        f"{report.rows_set_aside} set aside, {_count(report.rows_skipped, 'blank line')} skipped",
    ]
    kinds = [f"{n} {k.replace('_', ' ')}" for k in ("padded", "merged", "quote_repaired", "bytes_replaced")
             if (n := getattr(report, k))]
    if kinds:
        lines.append("  repaired: " + ", ".join(kinds))
    # Decoding through a legacy table is not a repair: rows_repaired never counts it.
    if report.legacy_decoded:
        lines.append(f"  decoded as {d.encoding}: {_count(report.legacy_decoded, 'row')}")
    set_aside = ("too_few_columns", "too_many_columns", "preamble", "header_set_aside", "footer", "second_table")
    reasons = [f"{n} {k.replace('_', ' ')}" for k in set_aside if (n := getattr(report, k))]
    if reasons:
        lines.append("  set aside: " + ", ".join(reasons))
    lines.append(f"  dialect: delimiter {d.delimiter!r}, quote {_char(d.quote_char)}, encoding {d.encoding}, "
                 f"{report.width} columns, header {'yes' if report.header_written else 'no'}")
    for label, path in where.items():
        if path:
            lines.append(f"  {label}: {path}")
    return "\n".join(lines) + "\n"


def _emit(args: argparse.Namespace, report: Any, where: dict[str, str | None], csv_to_stdout: bool) -> None:
    if args.json:
        import json

        stream: IO[str] = sys.stderr if csv_to_stdout else sys.stdout
        stream.write(json.dumps(report.to_dict()) + "\n")
    elif not args.quiet:
        sys.stderr.write(_summary(report, where))


# --- the subcommands ----------------------------------------------------------

def _salvage_with_bar(args: argparse.Namespace, output: Any, **kwargs: Any) -> Any:
    from ._salvage import salvage

    bar = _progress(args)
    try:
        return salvage(_source(args.input), output, progress=bar, **_options(args), **kwargs)
    finally:
        if bar is not None:
            bar.clear()


def _salvage(args: argparse.Namespace) -> int:
    to_stdout = args.output == "-"
    report = _salvage_with_bar(
        args, sys.stdout.buffer if to_stdout else args.output,
        quarantine=args.quarantine, audit=args.audit, output_delimiter=args.output_delimiter,
    )
    if to_stdout:
        sys.stdout.flush()
    _emit(args, report, {"clean file": None if to_stdout else args.output,
                         "quarantine": args.quarantine, "audit": args.audit}, to_stdout)
    return EXIT_CLEAN


_VERDICTS: Final = {
    EXIT_CLEAN: "clean",
    EXIT_REPAIRED: "rows would be repaired",
    EXIT_SET_ASIDE: "rows would be set aside",
}


def _check(args: argparse.Namespace) -> int:
    # The null device is written in place, natively: nothing is kept.
    report = _salvage_with_bar(args, os.devnull)
    status = EXIT_SET_ASIDE if report.rows_set_aside else EXIT_REPAIRED if report.rows_repaired else EXIT_CLEAN
    _emit(args, report, {}, False)
    if not args.json and not args.quiet:
        sys.stderr.write(f"  verdict: {_VERDICTS[status]} (exit {status})\n")
    return status


def _package_function(name: str, command: str) -> Callable[..., Any]:
    import corvel

    fn = getattr(corvel, name, None)
    if fn is None:
        raise CommandError(EXIT_MISSING_EXTRA,
                           f"corvel {command} needs corvel.{name}, which this corvel {corvel.__version__} lacks")
    return fn  # type: ignore[no-any-return]


def _detect(args: argparse.Namespace) -> int:
    detect = _package_function("detect", "detect")
    options: dict[str, Any] = {"encoding": args.encoding}
    if args.sample_bytes is not None:
        options["sample_bytes"] = args.sample_bytes
    dialect = detect(_source(args.input), **options)
    if args.json:
        import json

        sys.stdout.write(json.dumps(dialect.to_dict()) + "\n")
        return EXIT_CLEAN
    sys.stdout.write(_describe(dialect))
    return EXIT_CLEAN


def _describe(d: Any) -> str:
    header = "none" if d.header_row is None else f"row {d.header_row}"
    width = "undecided" if d.width is None else ("any" if d.width == 0 else str(d.width))
    return (f"delimiter:  {_char(d.delimiter)}\n"
            f"quote:      {_char(d.quote_char)}\n"
            f"escape:     {_char(d.escape_char)}\n"
            f"encoding:   {d.encoding}\n"
            f"header:     {header}\n"
            f"preamble:   {_count(d.preamble_rows, 'row')}\n"
            f"footer:     {_count(d.footer_rows, 'row')}\n"
            f"columns:    {width}\n"
            f"confidence: {d.confidence:.2f}\n")


def _convert(args: argparse.Namespace) -> int:
    fmt = args.format or _FORMATS.get(os.path.splitext(args.output)[1].lower())
    if fmt is None:
        raise CommandError(EXIT_USAGE, f"{args.output}: can't tell the format from the suffix; "
                                       "use .parquet, .arrow or .jsonl, or give --format")
    try:
        _arrow("pyarrow")
    except ImportError as e:
        raise CommandError(EXIT_MISSING_EXTRA,
                           f"corvel convert needs pyarrow, which is not installed ({e}); "
                           "install it with: pip install corvel[arrow]") from e
    options = _options(args)
    if args.batch_rows is not None:
        options["batch_rows"] = args.batch_rows
    bar = _progress(args)
    try:
        if args.infer_types:
            # A type holds only if no later cell breaks it: the whole table first.
            read = _package_function("read", "convert")
            table = read(_source(args.input), quarantine=args.quarantine, audit=args.audit, progress=bar,
                         infer_types=True, **options)
            _write_batches(iter(table.to_arrow().to_batches()), args.output, fmt)
            report = table.report
        else:
            iter_batches = _package_function("iter_batches", "convert")
            # The reader is closed on every path, so that a failed or
            # interrupted write stops the salvage behind it.
            with iter_batches(_source(args.input), quarantine=args.quarantine, audit=args.audit,
                              progress=bar, **options) as batches:
                _write_batches(batches, args.output, fmt)
                report = batches.report
    finally:
        if bar is not None:
            bar.clear()
    to_stdout = args.output == "-"
    _emit(args, report, {"output": None if to_stdout else args.output,
                         "quarantine": args.quarantine, "audit": args.audit}, to_stdout)
    return EXIT_CLEAN


def _arrow(name: str) -> Any:
    """A pyarrow module, imported only by the command that needs it."""
    import importlib

    return importlib.import_module(name)


def _write_batches(batches: Iterator[Any], path: str, fmt: str) -> None:
    pa = _arrow("pyarrow")
    # Batches may come as any Arrow array-stream producer; pyarrow takes them in.
    it = (b if isinstance(b, pa.RecordBatch) else pa.record_batch(b) for b in batches)
    with _AtomicFile(path) as f:
        if fmt == "jsonl":
            import json
            import math

            for batch in it:
                # JSON has no infinity or NaN: a float column's are written as
                # the strings Python's float() reads back.
                floats = [n for n, t in zip(batch.schema.names, batch.schema.types, strict=True)
                          if pa.types.is_floating(t)]
                for row in batch.to_pylist():
                    for name in floats:
                        if (v := row[name]) is not None and not math.isfinite(v):
                            row[name] = repr(v)
                    f.write(json.dumps(row, ensure_ascii=False, allow_nan=False, default=_iso).encode() + b"\n")
            return
        first = next(it, None)
        schema = first.schema if first is not None else pa.schema([])
        module, opener = ("pyarrow.parquet", "ParquetWriter") if fmt == "parquet" else ("pyarrow.ipc", "new_file")
        with getattr(_arrow(module), opener)(f, schema) as writer:
            if first is not None:
                writer.write_batch(first)
            for batch in it:
                writer.write_batch(batch)


def _iso(value: Any) -> str:
    """A date or a timestamp of a typed column, as JSON has no such value."""
    if hasattr(value, "isoformat"):
        return str(value.isoformat())
    raise TypeError(f"{type(value).__name__} is not JSON serializable")


class _AtomicFile:
    """A file that appears at `path`, complete, only when its block succeeds.

    A regular file (or a new one) is written beside the target and renamed
    over it; a device or FIFO is written in place; ``-`` is standard output.
    """

    def __init__(self, path: str) -> None:
        self._path = path
        self._tmp: str | None = None
        self._file: IO[bytes] | None = None

    def __enter__(self) -> IO[bytes]:
        import stat
        import tempfile

        if self._path == "-":
            return sys.stdout.buffer
        try:
            st = os.stat(self._path)
        except FileNotFoundError:
            st = None
        if st is not None and not stat.S_ISREG(st.st_mode):
            self._file = open(self._path, "wb")  # noqa: SIM115 - closed in __exit__
            return self._file
        directory = os.path.dirname(self._path) or "."
        try:
            fd, self._tmp = tempfile.mkstemp(prefix=".corvel-", suffix=".tmp", dir=directory)
        except OSError as e:
            # Name the target, not the temporary file.
            raise type(e)(e.errno, e.strerror, self._path) from None
        if st is not None:
            mode = stat.S_IMODE(st.st_mode)
        else:
            mask = os.umask(0)
            os.umask(mask)
            mode = 0o666 & ~mask
        os.fchmod(fd, mode)
        self._file = os.fdopen(fd, "wb")
        return self._file

    def __exit__(self, kind: object, error: object, tb: object) -> None:
        if self._file is None:
            if self._path == "-":
                sys.stdout.flush()
            return
        try:
            self._file.close()
        except BaseException:
            self._discard()
            raise
        if self._tmp is None:
            return
        if kind is not None:
            self._discard()
            return
        try:
            os.replace(self._tmp, self._path)
        except BaseException:
            self._discard()
            raise

    def _discard(self) -> None:
        if self._tmp is not None:
            try:
                os.unlink(self._tmp)
            except FileNotFoundError:
                pass


_COMMANDS: Final[dict[str, Callable[[argparse.Namespace], int]]] = {
    "salvage": _salvage, "check": _check, "detect": _detect, "convert": _convert,
}


# --- errors -------------------------------------------------------------------

# Messages name the keyword argument; the command line names the option.
_KEYWORDS: Final = (
    "dialect", "delimiter", "quote_char", "escape_char", "skip_initial_space", "encoding", "header",
    "detect", "skip_blank_lines", "fill_ragged_rows", "merge_overflow", "expected_columns",
    "repair_quotes", "output_delimiter", "force", "quarantine", "audit", "output", "sample_bytes",
    "batch_rows",
)


def _as_options(text: str) -> str:
    for name in _KEYWORDS:
        if text.startswith(name + " "):
            text = "--" + name.replace("_", "-") + text[len(name):]
            break
    return text.replace("Pass force=True", "Pass --force")


def _os_error(e: OSError, args: argparse.Namespace | None) -> str:
    name = e.filename
    if name is None and args is not None and getattr(args, "input", None) == "-":
        name = "<stdin>"
    reason = e.strerror or str(e)
    return f"{name}: {reason}" if name else reason


def _fail(args: argparse.Namespace | None, status: int, text: str) -> int:
    if args is not None and getattr(args, "debug", False):
        raise  # noqa: PLE0704 - always called from an except block
    sys.stderr.write(f"corvel: {text}\n")
    return status


def _quiet_stdout() -> None:
    """Points standard output at /dev/null, so that nothing more is written
    to a pipe whose reader has gone, not even at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line.

    Args:
        argv: The arguments after the program's name; ``sys.argv[1:]`` when
            ``None``.

    Returns:
        The exit status (see the module's documentation).
    """
    args: argparse.Namespace | None = None
    try:
        words = sys.argv[1:] if argv is None else list(argv)
        parser = _parser(words)
        args = parser.parse_args(words)
        if args.version:
            import corvel

            sys.stdout.write(f"corvel {corvel.__version__}\n")
            return EXIT_CLEAN
        if args.command is None:
            parser.print_help(sys.stderr)
            return EXIT_USAGE
        return _COMMANDS[args.command](args)
    except KeyboardInterrupt:
        sys.stderr.write("\ncorvel: interrupted\n")
        return EXIT_INTERRUPTED
    except CommandError as e:
        return _fail(args, e.status, str(e))
    except OSError as e:
        if isinstance(e, BrokenPipeError) and e.filename is None:
            # The reader of standard output has gone (`corvel salvage big.csv
            # | head`): nobody is left to tell.
            _quiet_stdout()
            return EXIT_IO
        return _fail(args, EXIT_IO, _os_error(e, args))
    except MemoryError as e:
        return _fail(args, EXIT_MEMORY, f"not enough memory: {e}" if str(e) else "not enough memory")
    except ValueError as e:
        refused = "does not look like CSV" in str(e)
        return _fail(args, EXIT_REFUSED if refused else EXIT_USAGE, _as_options(str(e)))
    except TypeError as e:
        return _fail(args, EXIT_USAGE, _as_options(str(e)))


if __name__ == "__main__":
    sys.exit(main())
