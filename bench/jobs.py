"""One benchmark job, run by bench/run.py in a process of its own so that its
peak RSS is its own:

    python bench/jobs.py JOB INPUT WORKDIR

Each job first sets up (imports, reading a sample) and then returns the work
to time, which returns the number of records it wrote (header included) or
None. Prints {"seconds", "rows", "rss"} as JSON. Exits with 3 and the reason on
stderr when the job cannot run here (e.g. corvel lacks the function), with 1
and a one-line error when the tool fails.
"""

import json
import os
import sys
import time

JOBS = {}
WIDTH_SAMPLE = 100  # rows that decide the width, as corvel does


def job(name):
    def register(fn):
        JOBS[name] = fn
        return fn

    return register


class Unavailable(Exception):
    pass


def corvel(name):
    try:
        import _corvel_backend as module
    except ImportError:
        raise Unavailable("corvel is not installed") from None
    if not hasattr(module, name):
        raise Unavailable(f"this build has no {name}")
    return getattr(module, name)


@job("salvage_file")
def salvage_file(src, work):
    fn = corvel("salvage_file")
    return lambda: fn(src, os.path.join(work, "out.csv")).salvaged_rows


@job("salvage_file+quarantine")
def salvage_file_quarantine(src, work):
    fn = corvel("salvage_file")
    return lambda: fn(src, os.path.join(work, "out.csv"), os.path.join(work, "quarantine.csv")).salvaged_rows


@job("SalvageReader")
def salvage_reader(src, work):
    cls = corvel("SalvageReader")

    def run():
        n = 0
        for _ in cls(src):
            n += 1
        return n

    return run


def salvage_twice(threaded):
    def setup(src, work):
        import threading

        fn = corvel("salvage_file")
        outs = [os.path.join(work, f"out{i}.csv") for i in range(2)]
        if not threaded:
            return lambda: sum(fn(src, out).salvaged_rows for out in outs)

        def run():
            threads = [threading.Thread(target=fn, args=(src, out)) for out in outs]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        return run

    return setup


job("salvage_file x2 sequential")(salvage_twice(threaded=False))
job("salvage_file x2 threads")(salvage_twice(threaded=True))


@job("sniff")
def sniff(src, work):
    fn = corvel("sniff")
    text = big_text(src)
    return lambda: fn(text) and None


@job("csv.Sniffer 64 KiB")
def csv_sniffer(src, work):
    import csv

    text = big_text(src)[: 64 << 10]
    return lambda: csv.Sniffer().sniff(text, ",;\t|") and None


def big_text(src):
    """The input's text repeated up to CORVEL_BENCH_SNIFF_MB (default: its size)."""
    with open(src, encoding="utf-8", errors="replace") as f:
        text = f.read()
    size = int(float(os.environ.get("CORVEL_BENCH_SNIFF_MB", len(text) / 1e6)) * 1e6)
    return (text * (size // len(text) + 1))[:size]


def stdlib_csv():
    import csv

    csv.field_size_limit(2**31 - 1)  # no cap on one field, as in corvel
    return csv


def text_open(path, mode):
    # Undecodable bytes go through unchanged, as they do through corvel.
    return open(path, mode, encoding="utf-8", errors="surrogateescape", newline="")


@job("csv module")
def csv_module(src, work):
    """corvel's job done by hand: sniff, infer the width, pad or merge, write."""
    import collections
    import itertools

    csv = stdlib_csv()

    def run():
        with text_open(src, "r") as f, text_open(os.path.join(work, "out.csv"), "w") as out:
            try:
                delim = csv.Sniffer().sniff(f.read(64 << 10), ",;\t|").delimiter
            except csv.Error:
                delim = ","
            f.seek(0)
            rows = csv.reader(f, delimiter=delim)
            head = list(itertools.islice(rows, WIDTH_SAMPLE))
            width = max(1, collections.Counter(map(len, head)).most_common(1)[0][0])
            writer = csv.writer(out, delimiter=delim, lineterminator="\n")
            n = 0
            for row in itertools.chain(head, rows):
                if len(row) < width:
                    row += [""] * (width - len(row))
                elif len(row) > width:
                    row[width - 1 :] = [delim.join(row[width - 1 :])]
                writer.writerow(row)
                n += 1
        return n

    return run


@job("csv.reader")
def csv_reader(src, work):
    csv = stdlib_csv()

    def run():
        n = 0
        with text_open(src, "r") as f:
            for _ in csv.reader(f):
                n += 1
        return n

    return run


def pandas_job(engine):
    """Strings kept as they are; short rows are padded by pandas itself. The C
    engine can only skip long rows; the python engine hands them to a callable,
    which merges the surplus into the last column as corvel does."""

    def setup(src, work):
        import pandas as pd

        options = dict(dtype=str, keep_default_na=False, encoding_errors="surrogateescape", engine=engine)
        if engine == "python":
            width = len(pd.read_csv(src, nrows=0, **options).columns)
            options["on_bad_lines"] = lambda bad: bad[: width - 1] + [",".join(bad[width - 1 :])]
        else:
            options["on_bad_lines"] = "skip"

        def run():
            df = pd.read_csv(src, **options)
            df.to_csv(os.path.join(work, "out.csv"), index=False, errors="surrogateescape")
            return len(df) + 1

        return run

    return setup


job("pandas C engine")(pandas_job("c"))
job("pandas python engine")(pandas_job("python"))


@job("polars")
def polars(src, work):
    import polars as pl

    def run():
        df = pl.read_csv(src, truncate_ragged_lines=True, infer_schema=False, encoding="utf8-lossy")
        df.write_csv(os.path.join(work, "out.csv"))
        return df.height + 1

    return run


def duckdb_job(threads):
    def setup(src, work):
        import duckdb

        con = duckdb.connect()
        if threads:
            con.execute(f"SET threads={threads}")
        query = (
            "COPY (SELECT * FROM read_csv(?, null_padding=true, ignore_errors=true, store_rejects=true,"
            f" all_varchar=true)) TO '{os.path.join(work, 'out.csv')}' (HEADER)"
        )
        return lambda: con.execute(query, [src]).fetchone()[0] + 1

    return setup


job("duckdb 1 thread")(duckdb_job(1))
job("duckdb")(duckdb_job(None))


def peak_rss():
    """Bytes; this process's own high-water mark (ru_maxrss would also count
    the memory of the parent that spawned it)."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def main(name, src, work):
    try:
        run = JOBS[name](src, work)
        t0 = time.perf_counter()
        rows = run()
        seconds = time.perf_counter() - t0
    except Unavailable as e:
        print(e, file=sys.stderr)
        sys.exit(3)
    except Exception as e:
        lines = [line.strip() for line in str(e).splitlines() if line.strip()]
        print(f"{type(e).__name__}: {' '.join(lines[:2])}"[:120], file=sys.stderr)
        sys.exit(1)
    print(json.dumps({"seconds": seconds, "rows": rows, "rss": peak_rss()}))


if __name__ == "__main__":
    main(*sys.argv[1:])
