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
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
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

# Inputs smaller than this finish before a bar would be worth drawing.
_BAR_MIN_BYTES: Final = 4 << 20


class _Parser(argparse.ArgumentParser):
    """argparse, with its usage errors on the documented exit status."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _tristate(text: str) -> bool | str:
    value = text.lower()
    if value in ("auto",):
        return "auto"
    if value in ("true", "yes", "1", "on"):
        return True
    if value in ("false", "no", "0", "off"):
        return False
    raise argparse.ArgumentTypeError(f"expected auto, true or false, not {text!r}")


def _char_or_none(text: str) -> str | None:
    return None if text.lower() == "none" else text


def _add_input_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("dialect and repair options (as corvel.salvage's keyword arguments)")
    g.add_argument("--delimiter", default="auto", help="one character, or auto (default)")
    g.add_argument("--quote-char", default="auto", type=_char_or_none,
                   help="one character, none for no quoting, or auto (default)")
    g.add_argument("--escape-char", default=None, help="a character escaping quotes, e.g. '\\\\' (default: none)")
    g.add_argument("--skip-initial-space", default="auto", type=_tristate, metavar="{auto,true,false}")
    g.add_argument("--encoding", default="auto", help="a Python codec name, or auto (default)")
    g.add_argument("--header", default="auto", type=_tristate, metavar="{auto,true,false}")
    g.add_argument("--detect", default="auto", choices=("auto", "backend"))
    g.add_argument("--skip-blank-lines", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--fill-ragged-rows", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--merge-overflow", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--expected-columns", default=None, type=int, metavar="N")
    g.add_argument("--repair-quotes", default=True, action=argparse.BooleanOptionalAction)
    g.add_argument("--force", action="store_true", help="salvage input that looks binary")


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("--json", action="store_true", help="print the report as one JSON object")
    p.add_argument("--quiet", action="store_true", help="print no summary")
    p.add_argument("--no-progress", action="store_true", help="never draw a progress bar")
    p.add_argument("--debug", action="store_true", help="show a traceback on errors")


def _parser() -> _Parser:
    parser = _Parser(
        prog="corvel",
        description="Rescue CSV files that strict parsers reject.",
        epilog="Exit status: 0 clean, 1 repaired (check), 2 set aside (check), 3 file error, "
               "4 usage, 5 input refused, 6 out of memory, 7 missing extra, 130 interrupted.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    s = sub.add_parser(
        "salvage", help="write a clean RFC 4180 copy of a broken CSV file",
        description="Salvage a broken CSV file into a clean RFC 4180 file.",
        epilog="example:\n  corvel salvage export.csv.gz -o clean.csv -q rejects.csv\n"
               "  cat export.csv | corvel salvage - > clean.csv",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    s.add_argument("input", metavar="IN", help="the input file, or - for standard input")
    s.add_argument("-o", "--output", default="-", metavar="OUT", help="the clean file (default: standard output)")
    s.add_argument("-q", "--quarantine", default=None, metavar="QUARANTINE", help="where rows set aside go (CSV)")
    s.add_argument("--audit", default=None, metavar="AUDIT", help="a JSON Lines record of every changed row")
    s.add_argument("--output-delimiter", default=",", type=_char_or_none,
                   help="the clean file's delimiter, or none to keep the input's (default: ,)")
    _add_input_options(s)
    _add_common(s)

    c = sub.add_parser(
        "check", help="report what salvage would change; exit 0, 1 or 2",
        description="Salvage to nowhere and report what would change. Exit status 0 when the file is "
                    "clean, 1 when rows would be repaired, 2 when rows would be set aside.",
        epilog="example:\n  corvel check export.csv || echo 'export needs attention'",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    c.add_argument("input", metavar="IN", help="the input file, or - for standard input")
    _add_input_options(c)
    _add_common(c)
    return parser


def _options(args: argparse.Namespace) -> dict[str, Any]:
    return {
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
    }


def _source(name: str) -> Any:
    return sys.stdin.buffer if name == "-" else name


def _progress(args: argparse.Namespace) -> Any:
    if args.no_progress or args.quiet or sys.stderr is None or not sys.stderr.isatty():
        return None
    if args.input != "-":
        try:
            if os.stat(args.input).st_size < _BAR_MIN_BYTES:
                return None
        except OSError:
            return None  # the salvage itself reports the error
    return True


def _summary(report: Any, where: dict[str, str | None]) -> str:
    d = report.dialect
    quote = "none" if d.quote_char is None else repr(d.quote_char)
    lines = [
        f"corvel: {report.rows_written} rows written, {report.rows_repaired} repaired, "
        f"{report.rows_set_aside} set aside, {report.rows_skipped} blank lines skipped",
    ]
    kinds = [f"{n} {k.replace('_', ' ')}" for k in ("padded", "merged", "quote_repaired", "bytes_replaced")
             if (n := getattr(report, k))]
    if kinds:
        lines.append("  repaired: " + ", ".join(kinds))
    # Decoding through a legacy table is not a repair: rows_repaired never counts it.
    if report.legacy_decoded:
        lines.append(f"  decoded as {d.encoding}: {report.legacy_decoded} rows")
    reasons = [f"{n} {k.replace('_', ' ')}" for k in ("too_few_columns", "too_many_columns", "preamble",
                                                     "footer", "second_table") if (n := getattr(report, k))]
    if reasons:
        lines.append("  set aside: " + ", ".join(reasons))
    lines.append(f"  dialect: delimiter {d.delimiter!r}, quote {quote}, encoding {d.encoding}, "
                 f"{report.width} columns, header {'yes' if report.header_written else 'no'}")
    for label, path in where.items():
        if path:
            lines.append(f"  {label}: {path}")
    return "\n".join(lines) + "\n"


def _emit(args: argparse.Namespace, report: Any, where: dict[str, str | None], csv_to_stdout: bool) -> None:
    if args.json:
        stream: IO[str] = sys.stderr if csv_to_stdout else sys.stdout
        stream.write(json.dumps(report.to_dict()) + "\n")
    elif not args.quiet:
        sys.stderr.write(_summary(report, where))


def _run(args: argparse.Namespace) -> int:
    import corvel

    if args.command == "salvage":
        to_stdout = args.output == "-"
        output = sys.stdout.buffer if to_stdout else args.output
        report = corvel.salvage(
            _source(args.input), output, quarantine=args.quarantine, audit=args.audit,
            output_delimiter=args.output_delimiter, progress=_progress(args), **_options(args),
        )
        if to_stdout:
            sys.stdout.flush()
        _emit(args, report, {"quarantine": args.quarantine, "audit": args.audit}, to_stdout)
        return EXIT_CLEAN
    report = corvel.salvage(_source(args.input), _Discard(), progress=_progress(args), **_options(args))
    _emit(args, report, {}, False)
    if report.rows_set_aside:
        return EXIT_SET_ASIDE
    return EXIT_REPAIRED if report.rows_repaired else EXIT_CLEAN


class _Discard:
    """An output that keeps nothing, for check."""

    def write(self, data: bytes) -> int:
        return len(data)


def _fail(args: argparse.Namespace | None, status: int, text: str) -> int:
    if args is not None and args.debug:
        raise
    sys.stderr.write(f"corvel: {text}\n")
    return status


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
        args = _parser().parse_args(argv)
        return _run(args)
    except KeyboardInterrupt:
        sys.stderr.write("\ncorvel: interrupted\n")
        return EXIT_INTERRUPTED
    except OSError as e:
        name = f"{e.filename}: " if e.filename else ""
        return _fail(args, EXIT_IO, f"{name}{e.strerror or e}")
    except MemoryError as e:
        return _fail(args, EXIT_MEMORY, f"not enough memory: {e}" if str(e) else "not enough memory")
    except ValueError as e:
        return _fail(args, EXIT_REFUSED if "does not look like CSV" in str(e) else EXIT_USAGE, str(e))
    except TypeError as e:
        return _fail(args, EXIT_USAGE, str(e))


if __name__ == "__main__":
    sys.exit(main())
