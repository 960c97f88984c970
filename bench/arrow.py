"""corvel.read and corvel.iter_batches against reading the same files with
polars and pandas, and their memory.

Each figure is the median of --runs fresh processes; the time is that of the
call alone (imports done), measured inside the process, and peak RSS is the
process's. In one run:
- corvel.read(p).to_polars(), on one thread and on two, against
  polars.read_csv(p, truncate_ragged_lines=True, infer_schema=False)
  (with its default threads: all cores);
- corvel.read(p).to_pandas() against pandas.read_csv(p, dtype=str,
  keep_default_na=False, on_bad_lines="skip");
- peak RSS of corvel.read against the input's size;
- peak RSS of iter_batches over a --big-gb file made in /tmp (and deleted),
  above the interpreter's with corvel and pyarrow imported.
A peer that fails outright is a result: its error is shown.

With --floor, instead: where the time of corvel.read(p).to_polars() goes on
the ragged file (each phase's wall and CPU time and the pages it faulted in),
polars.read_csv's on its default threads and on one, and what a fresh page
costs on this machine. Those figures bound what any reader can do here.

    python bench/arrow.py [--mb 100] [--runs 3] [--big-gb 2] [--floor]
"""

import argparse
import json
import mmap
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import corpus

KINDS = ("ragged", "stray_quotes", "multiline")

CHILD = """
import json, resource, sys, time
{imports}
p = sys.argv[1]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
try:
    out = {call}
    rows, error = {rows}, None
except Exception as e:
    rows, error = None, f"{{type(e).__name__}}: {{str(e).splitlines()[0][:90] if str(e) else ''}}"
seconds = time.perf_counter() - t0
print(json.dumps(dict(seconds=seconds, rows=rows, error=error, base_kib=base,
                      peak_kib=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)))
"""

CASES = {
    "corvel.read(p).to_polars()": ("import corvel, polars", "corvel.read(p).to_polars()", "out.height"),
    "corvel.read(p, threads=2).to_polars()": (
        "import corvel, polars", "corvel.read(p, threads=2).to_polars()", "out.height"),
    "polars.read_csv(p, truncate_ragged_lines=True, infer_schema=False)": (
        "import polars", "polars.read_csv(p, truncate_ragged_lines=True, infer_schema=False)", "out.height"),
    "corvel.read(p).to_pandas()": ("import corvel, pandas, pyarrow", "corvel.read(p).to_pandas()", "len(out)"),
    'pandas.read_csv(p, dtype=str, keep_default_na=False, on_bad_lines="skip")': (
        "import pandas", 'pandas.read_csv(p, dtype=str, keep_default_na=False, on_bad_lines="skip")', "len(out)"),
    "corvel.read(p)": ("import corvel", "corvel.read(p)", "out.num_rows"),
    "corvel.iter_batches(p), each batch dropped": (
        "import corvel, pyarrow", "sum(b.num_rows for b in corvel.iter_batches(p))", "out"),
}


def run(case, path, runs):
    imports, call, rows = CASES[case]
    script = CHILD.format(imports=imports, call=call, rows=rows)
    results = []
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True, timeout=3600)
        if done.returncode != 0:
            tail = (done.stderr.strip().splitlines() or ["?"])[-1][:90]
            return dict(seconds=None, rows=None, error=f"exit {done.returncode}: {tail}", peak_kib=0, base_kib=0)
        results.append(json.loads(done.stdout))
        if results[-1]["error"]:
            return results[-1]
    return dict(results[0], seconds=statistics.median(r["seconds"] for r in results),
                peak_kib=max(r["peak_kib"] for r in results), base_kib=min(r["base_kib"] for r in results))


def cell(r):
    if r["error"]:
        return f"fails: {r['error']}"
    return f"{r['seconds']:.2f} s, {r['rows']:,} rows, peak {r['peak_kib'] / 1024:.0f} MiB"


def big_file(gb):
    fd, path = tempfile.mkstemp(prefix="corvel-arrow-", suffix=".csv", dir=os.environ.get("TMPDIR", "/tmp"))
    with os.fdopen(fd, "wb") as f:
        for chunk in corpus.rows(random.Random("big"), corpus.KINDS["ragged"], int(gb * 10**9)):
            f.write(chunk)
    return path


FLOOR_POLARS = """
import json, resource, sys, time, polars
r0 = resource.getrusage(resource.RUSAGE_SELF)
t = time.perf_counter()
polars.read_csv(sys.argv[1], truncate_ragged_lines=True, infer_schema=False)
wall = time.perf_counter() - t
r = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps(dict(wall=wall, user=r.ru_utime - r0.ru_utime, sys=r.ru_stime - r0.ru_stime,
                      faults=r.ru_minflt - r0.ru_minflt)))
"""

FLOOR_CORVEL = """
import json, resource, sys, time, corvel, polars
def usage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return time.perf_counter(), r.ru_utime, r.ru_stime, r.ru_minflt
a = usage()
t = corvel.read(sys.argv[1], threads=int(sys.argv[2]))
b = usage()
t.to_polars()
c = usage()
out = {{}}
for phase, (x, y) in (("read", (a, b)), ("to_polars", (b, c))):
    out[phase] = dict(wall=y[0] - x[0], user=y[1] - x[1], sys=y[2] - x[2], faults=y[3] - x[3])
out["cells"] = t.num_rows * len(t.column_names)
print(json.dumps(out))
"""


def fresh_page_cost(mib=256):
    """Milliseconds per MiB to fault in fresh 4 KiB pages, and to write them
    again once they are there: medians of 3."""
    first, again = [], []
    ones = b"\1" * (mib << 20)
    for _ in range(3):
        # Private, as the heap's pages are: shared anonymous pages cost more.
        with mmap.mmap(-1, mib << 20, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS) as m:
            t = time.perf_counter()
            for i in range(0, mib << 20, 4096):
                m[i] = 1
            first.append((time.perf_counter() - t) * 1000 / mib)
            t = time.perf_counter()
            m.write(ones)
            again.append((time.perf_counter() - t) * 1000 / mib)
    return statistics.median(first), statistics.median(again)


def floor(path, runs):
    size = os.path.getsize(path)
    cases = {
        "polars.read_csv, default threads": ([FLOOR_POLARS, path], {}),
        "polars.read_csv, one thread": ([FLOOR_POLARS, path], {"POLARS_MAX_THREADS": "1"}),
        "corvel.read(p).to_polars()": ([FLOOR_CORVEL.format(), path, "1"], {}),
        "corvel.read(p, threads=2).to_polars()": ([FLOOR_CORVEL.format(), path, "2"], {}),
    }
    got = {case: [] for case in cases}
    for _ in range(runs):  # interleaved, so that the machine's load falls on every case alike
        for case, (argv, env) in cases.items():
            done = subprocess.run([sys.executable, "-c", *argv], capture_output=True, text=True, timeout=3600,
                                  env=dict(os.environ, **env), check=True)
            got[case].append(json.loads(done.stdout))

    def line(rs):
        med = {k: statistics.median(r[k] for r in rs) for k in ("wall", "user", "sys", "faults")}
        return (f"{med['wall'] * 1000:.0f} ms wall, {med['user'] * 1000:.0f} ms user + {med['sys'] * 1000:.0f} ms "
                f"system, {med['faults'] * 4096 / 2**20:.0f} MiB of fresh pages")

    print(f"{size / 1e6:.0f} MB ragged file, median of {runs} runs, load average {os.getloadavg()[0]:.1f}\n")
    print("| call | phase | time and pages |\n|---|---|---|")
    for case, rs in got.items():
        if case.startswith("polars"):
            print(f"| `{case}` | all | {line(rs)} |")
            continue
        for phase in ("read", "to_polars"):
            print(f"| `{case}` | {phase} | {line([r[phase] for r in rs])} |")
    fresh, again = fresh_page_cost()
    print(f"\n- {got['corvel.read(p).to_polars()'][0]['cells']:,} cells; a fresh 4 KiB page costs "
          f"{fresh:.2f} ms per MiB to fault in, {again:.2f} ms per MiB to write again once there.")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--big-gb", type=float, default=2.0, help="0 to skip the large file")
    ap.add_argument("--floor", action="store_true", help="only where the time of to_polars goes, against polars")
    args = ap.parse_args()
    if args.floor:
        floor(corpus.ensure(args.mb, ("ragged",))["ragged"], args.runs)
        return
    files = corpus.ensure(args.mb, KINDS)
    print(f"{args.mb} MB files, median of {args.runs} runs, load average {os.getloadavg()[0]:.1f}\n")
    ratios = []
    for kind in KINDS:
        path = files[kind]
        size = os.path.getsize(path)
        print(f"### {kind}\n\n| call | result |\n|---|---|")
        got = {case: run(case, path, args.runs) for case in CASES if "iter_batches" not in case}
        for case, r in got.items():
            print(f"| `{case}` | {cell(r)} |")
        pairs = [("corvel.read(p).to_polars()", "polars.read_csv(p, truncate_ragged_lines=True, infer_schema=False)"),
                 ("corvel.read(p, threads=2).to_polars()",
                  "polars.read_csv(p, truncate_ragged_lines=True, infer_schema=False)"),
                 ("corvel.read(p).to_pandas()",
                  'pandas.read_csv(p, dtype=str, keep_default_na=False, on_bad_lines="skip")')]
        print()
        for ours, peer in pairs:
            a, b = got[ours], got[peer]
            if a["error"] or b["error"]:
                print(f"- {peer.split('(')[0]}: {'fails' if b['error'] else 'runs'}; corvel "
                      f"{'fails' if a['error'] else 'runs'}")
                continue
            ratios.append((kind, peer.split("(")[0], b["seconds"] / a["seconds"]))
            print(f"- {peer.split('(')[0]} / `{ours}`: {b['seconds'] / a['seconds']:.2f}x")
        r = got["corvel.read(p)"]
        print(f"- corvel.read peak RSS / input: {r['peak_kib'] * 1024 / size:.2f} "
              f"(above the interpreter: {(r['peak_kib'] - r['base_kib']) * 1024 / size:.2f})\n")
    if args.big_gb:
        path = big_file(args.big_gb)
        try:
            r = run("corvel.iter_batches(p), each batch dropped", path, 1)
            print(f"### iter_batches over a {os.path.getsize(path) / 1e9:.1f} GB ragged file\n")
            print(f"- {cell(r)}; above the interpreter (corvel and pyarrow imported): "
                  f"{(r['peak_kib'] - r['base_kib']) / 1024:.0f} MiB")
        finally:
            os.unlink(path)


if __name__ == "__main__":
    main()
