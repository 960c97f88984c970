"""corvel rescues CSV files that strict parsers reject.

It detects the dialect and the table's width, cuts the bytes into rows with a
tokenizer that never fails and repairs stray quotes, pads short rows, merges
the surplus of long rows into the last column, and sets aside what can't be
reconciled, with its lines, reason and raw text. Nothing is lost silently:
every change is counted in the :class:`Report`, and can be listed row by row
in an audit file.

    >>> import corvel
    >>> report = corvel.salvage("export.csv", "clean.csv", quarantine="rejects.csv")
    >>> report.rows_written, report.rows_repaired, report.rows_set_aside
"""

from __future__ import annotations

from ._detect import detect
from ._dialect import Dialect
from ._report import Report
from ._read import BatchReader, iter_batches, read
from ._salvage import salvage
from ._table import QuarantineRecord, Table

__all__ = [
    "BatchReader", "Dialect", "QuarantineRecord", "Report", "Table", "__version__", "detect", "iter_batches",
    "read", "salvage",
]

__version__: str  # looked up on first use: importlib.metadata costs a third of `corvel --help`


def __getattr__(name: str) -> str:
    if name != "__version__":
        raise AttributeError(f"module 'corvel' has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    global __version__
    try:
        __version__ = version("corvel")
    except PackageNotFoundError:  # imported from a source tree that was never installed
        __version__ = "0+unknown"
    return __version__
