"""What the package, command and Dask tests share: the files they make, how
they read results back, and waiting on an event with a guard against a hang."""

import bz2
import codecs
import csv
import gzip
import importlib.util
import io
import lzma
import os
import time

GUARD = 120  # seconds; only reached when something hangs, never a measure


class Hung(Exception):
    """What a wait raises when its event never comes."""


def wait_until(condition, what, *, between=None, guard=GUARD):
    """Calls condition() until it gives something true, and returns that;
    `between` runs between calls (a short sleep unless given)."""
    give_up = time.monotonic() + guard
    while not (found := condition()):
        if time.monotonic() > give_up:
            raise Hung(f"hung: {what} never happened")
        between() if between is not None else time.sleep(0.02)
    return found


def csv_bytes(rows, *, delimiter=",", newline="\n", encoding="utf-8"):
    buf = io.StringIO(newline="")
    csv.writer(buf, delimiter=delimiter, lineterminator=newline).writerows(rows)
    return buf.getvalue().encode(encoding)


def file_with(path, data):
    """Writes `data` to `path` and gives the path back."""
    path.write_bytes(data)
    return path


def read_back(path):
    """A clean file's rows as csv.reader(strict=True) reads them."""
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f, strict=True))


def listing(path):
    return sorted(os.listdir(path))


def outcome(report):
    """What a run found and did, a Report or its dict: the counts and the
    dialect, without the cost or the per-file breakdown."""
    d = report if isinstance(report, dict) else report.to_dict()
    return {k: v for k, v in d.items() if k == "dialect" or isinstance(v, int)}


def _zstd(data):
    from compression import zstd

    return zstd.compress(data)


COMPRESSORS = {"gzip": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress, "zstd": _zstd}

ROWS = [
    ["id", "name", "city", "note"],
    ["1", "Zoë", "Köln", "a;b"],
    ["2", "Renée", "Zürich", 'say "hi"'],
    ["3", "Ångström", "Málaga", "two\nlines"],
    ["4", "", "Ørsted", ""],
]
CP1252_ROWS = [*ROWS, ["5", "€ price", "“quoted”", "—"]]
PLAIN = csv_bytes(ROWS)

# The ways users' files come: name: (rows, the file's bytes, the encoding a
# report names, or None where it isn't checked).
ENCODED = {
    "excel-bom-semicolon-crlf": (ROWS, codecs.BOM_UTF8 + csv_bytes(ROWS, delimiter=";", newline="\r\n"), "utf-8"),
    "latin-1": (ROWS, csv_bytes(ROWS, encoding="latin-1"), "cp1252"),
    "cp1252": (CP1252_ROWS, csv_bytes(CP1252_ROWS, encoding="cp1252"), "cp1252"),
    "utf-16-bom": (ROWS, csv_bytes(ROWS, encoding="utf-16"), "utf-16-le"),
    "utf-16-le-no-bom": (ROWS, csv_bytes(ROWS, encoding="utf-16-le"), None),
    **{kind: (ROWS, compress(PLAIN), "utf-8" if kind == "gzip" else None) for kind, compress in COMPRESSORS.items()},
    "gzip-latin-1": (ROWS, gzip.compress(csv_bytes(ROWS, encoding="latin-1")), None),
}


def bench_corpus():
    """bench/corpus.py, loaded under a name of its own: another test imports
    a different module called corpus."""
    path = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "corpus.py")
    spec = importlib.util.spec_from_file_location("corvel_bench_corpus", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Trickle(io.RawIOBase):
    """Gives `data` a few bytes a read, as pipes and sockets do: `step(n)`
    says how many at most when n are asked for."""

    def __init__(self, data, step):
        super().__init__()
        self.data, self.at, self.step = data, 0, step

    def readable(self):
        return True

    def readinto(self, b):
        n = min(len(b), self.step(len(b)), len(self.data) - self.at)
        b[:n] = self.data[self.at:self.at + n]
        self.at += n
        return n
