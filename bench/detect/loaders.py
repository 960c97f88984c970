"""The loaders the detection corpus is read with, each as a user would call it.

A loader takes a path and returns a `Load`: the rows it took as header, the
data rows as lists of strings, and the dialect it used (None where it can't
say). Anything it raises counts as a failure on that file. A loader may also
have a detect step, timed on 64 KiB samples: a function of the sample's bytes.

Third-party packages are imported inside the loaders, so that the scorer and
the corpus also import where they are missing (the test venv). `LOADERS`
holds those whose imports work here.
"""

import csv
import dataclasses
import importlib.util
import io
import os
import warnings

SAMPLE = 64 << 10
os.environ.setdefault("POLARS_MAX_THREADS", "1")  # one thread each, like DuckDB's below


@dataclasses.dataclass
class Load:
    header: list  # rows taken as header (empty: none)
    records: list  # data rows, lists of str
    dialect: dict | None = None  # delimiter, quote_char, escape_char, skip_initial_space


def dialect(delimiter, quote_char='"', escape_char=None, skip_initial_space=False):
    return {"delimiter": delimiter, "quote_char": quote_char or None, "escape_char": escape_char or None,
            "skip_initial_space": bool(skip_initial_space)}


def cells(row):
    return ["" if v is None else str(v) for v in row]


# --- the standard library ---------------------------------------------------

def load_csv(path):
    """csv.Sniffer on the first 64 KiB (dialect and has_header), then csv.reader.
    The file is read as UTF-8; blank lines (empty rows) are dropped."""
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    sniffer = csv.Sniffer()
    sample = text[:SAMPLE]
    d = sniffer.sniff(sample)
    rows = [r for r in csv.reader(io.StringIO(text, newline=""), d) if r]
    header = rows[:1] if rows and sniffer.has_header(sample) else []
    return Load(header, rows[len(header):], dialect(d.delimiter, d.quotechar, d.escapechar, d.skipinitialspace))


def detect_csv(sample):
    text = sample.decode("utf-8", "replace")
    sniffer = csv.Sniffer()
    sniffer.sniff(text)
    sniffer.has_header(text)


# --- pandas -------------------------------------------------------------------

def load_pandas(path):
    """read_csv(sep=None, engine="python", on_bad_lines="skip"), cells kept as
    text (dtype=str, keep_default_na=False); the dialect is the one its
    sniffer chose, read back from the parser."""
    import pandas as pd

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        reader = pd.read_csv(path, sep=None, engine="python", on_bad_lines="skip",
                             dtype=str, keep_default_na=False, iterator=True)
        with reader:
            df = reader.read()
            d = reader._engine.data.dialect  # the csv dialect its sniffer made
    if not isinstance(df.index, pd.RangeIndex):  # a short header row turns columns into an index
        df = df.reset_index()
    header = [[str(c) for c in df.columns]]
    return Load(header, [cells(r) for r in df.itertuples(index=False, name=None)],
                dialect(d.delimiter, d.quotechar, d.escapechar, d.skipinitialspace))


# --- Polars -------------------------------------------------------------------

def load_polars(path):
    """read_csv with its defaults (comma, double quote, a header row, UTF-8),
    except infer_schema=False so that cells come back as the text they were."""
    import polars as pl

    df = pl.read_csv(path, infer_schema=False)
    return Load([list(df.columns)], [cells(r) for r in df.iter_rows()], dialect(",", '"'))


# --- DuckDB -------------------------------------------------------------------

def duckdb_sniff(con, path):
    quoted = path.replace("'", "''")
    return con.execute(f"SELECT Delimiter, Quote, Escape, SkipRows, HasHeader, Columns FROM sniff_csv('{quoted}', ignore_errors=true)").fetchone()


def load_duckdb(path):
    """read_csv's auto-detection with ignore_errors=true (rows that don't fit
    are dropped, as pandas's on_bad_lines="skip"; it also lets the sniffer
    look past such rows: 193 right delimiters in the first 200 files instead of
    73). Done as its sniffer (sniff_csv: delimiter, quote, escape, rows to
    skip, header, column names), then read_csv with what it found and every
    column as text."""
    import duckdb

    con = duckdb.connect()
    con.execute("SET threads=1")
    delim, quote, escape, skip, has_header, columns = duckdb_sniff(con, path)

    def opt(v):
        return None if v in ("(empty)", "", "\0") else v

    def lit(v):
        return "''" if v is None else "'" + v.replace("'", "''") + "'"
    quote, escape = opt(quote), opt(escape)
    names = [c["name"] for c in columns]
    sql = (f"SELECT * FROM read_csv({lit(path)}, auto_detect=false, delim={lit(delim)}, quote={lit(quote)}, "
           f"escape={lit(escape)}, skip={int(skip)}, header={'true' if has_header else 'false'}, "
           "columns={" + ", ".join(f"{lit(n)}: 'VARCHAR'" for n in names) + "}, ignore_errors=true)")
    rows = con.execute(sql).fetchall()
    con.close()
    return Load([names] if has_header else [], [cells(r) for r in rows], dialect(delim, quote, escape))


def detect_duckdb(path):
    import duckdb

    con = duckdb.connect()
    con.execute("SET threads=1")
    try:
        duckdb_sniff(con, path)
    finally:
        con.close()


# --- CleverCSV ----------------------------------------------------------------

def load_clevercsv(path):
    """Its encoding guess, Detector().detect and has_header on the first 64 KiB,
    then its reader; blank lines are dropped."""
    import clevercsv
    from clevercsv.encoding import get_encoding

    enc = get_encoding(path)
    with open(path, encoding=enc, newline="") as f:
        text = f.read()
    detector = clevercsv.Detector()
    sample = text[:SAMPLE]
    d = detector.detect(sample)
    if d is None:
        raise ValueError("no dialect detected")
    rows = [r for r in clevercsv.reader(io.StringIO(text, newline=""), d) if r]
    header = rows[:1] if rows and detector.has_header(sample) else []
    return Load(header, rows[len(header):], dialect(d.delimiter, d.quotechar, d.escapechar))


def detect_clevercsv(sample):
    import clevercsv

    text = sample.decode("utf-8", "replace")
    detector = clevercsv.Detector()
    detector.detect(text)
    detector.has_header(text)


# --- corvel -------------------------------------------------------------------

def load_corvel_backend(path):
    """_corvel_backend.open with its own sniffing: four delimiters, the double
    quote, no header (every row is data)."""
    import _corvel_backend

    with _corvel_backend.open(path) as reader:
        rows = list(reader)
        d = reader.summary.detected_delimiter
    return Load([], rows, dialect(d, '"'))


def detect_corvel_backend(sample):
    import _corvel_backend

    _corvel_backend.sniff(sample.decode("utf-8", "replace"))


# --- corvel's own detection ------------------------------------------------------

def load_corvel_auto(path):
    """corvel.salvage with every option at "auto": the clean file's first row is
    the header (when one was found), with the rows set aside as "Header row"
    above it; the rest are the records. Preamble, footer and a later table go
    to the quarantine, as they do for users."""
    import csv
    import tempfile

    import corvel
    from prototype import Tokenizer

    with tempfile.TemporaryDirectory() as tmp:
        out, quarantine = os.path.join(tmp, "clean.csv"), os.path.join(tmp, "q.csv")
        report = corvel.salvage(path, out, quarantine=quarantine)
        with open(out, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        with open(quarantine, newline="", encoding="utf-8") as f:
            above = [r["raw"] for r in csv.DictReader(f) if r["reason"] == "Header row"]
    d = report.dialect
    tok = Tokenizer(d.delimiter, d.quote_char, d.escape_char, d.skip_initial_space)
    head = [f for raw in above for _, f in tok.rows(raw)]
    if report.header_written:
        head.append(rows[0])
        rows = rows[1:]
    return Load(head, rows, dialect(d.delimiter, d.quote_char, d.escape_char, d.skip_initial_space))


def detect_corvel_auto(sample):
    import corvel

    corvel.detect(io.BytesIO(sample))


def detect_corvel_engine(text):
    """The native step of corvel.detect alone, on text already in UTF-8."""
    from corvel import _core

    _core.detect(text, False)


# Timed only (no loader): name -> (detect step, function, a function that
# prepares each sample's bytes outside the timing, the loader it belongs to).
DETECT_ONLY = {
    "corvel engine": (detect_corvel_engine, lambda b: b.decode("utf-8", "replace").encode(), "corvel auto"),
}


# ----------------------------------------------------------------------------

def _prototype():
    import prototype

    return prototype


def load_prototype(path):
    return _prototype().load(path)


def detect_prototype(sample):
    _prototype().detect(sample)


def _available(module):
    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):
        return False


# name: (load, detect or None, the module it needs); detect takes bytes,
# except duckdb's, which takes a path (its sniffer reads files).
ALL = {
    "csv.Sniffer": (load_csv, detect_csv, None),
    "pandas": (load_pandas, None, "pandas"),
    "polars": (load_polars, None, "polars"),
    "duckdb": (load_duckdb, detect_duckdb, "duckdb"),
    "clevercsv": (load_clevercsv, detect_clevercsv, "clevercsv"),
    "corvel backend": (load_corvel_backend, detect_corvel_backend, "_corvel_backend"),
    "corvel auto": (load_corvel_auto, detect_corvel_auto, "corvel"),
    "prototype": (load_prototype, detect_prototype, "prototype"),
}
DETECT_TAKES_PATH = {"duckdb"}


def available():
    """{name: (load, detect)} of the loaders whose module imports here."""
    return {n: (load, det) for n, (load, det, mod) in ALL.items() if mod is None or _available(mod)}


def missing():
    return [n for n, (_, _, mod) in ALL.items() if mod is not None and not _available(mod)]

