"""Runs the benchmarks and prints a markdown report (optionally into RESULTS.md).

Every job (bench/jobs.py) runs in a fresh process, N times on the same file:
the time is the median of the job's own timing (set-up and imports excluded),
the peak RSS the largest of the processes'. `cp` runs as it is, timed from
outside. A tool that fails on a file is reported as such, not fatal.

    python bench/run.py [ENGINE_BENCH] [--sizes 10,100] [--runs 5] [--write]

CORVEL_BENCH_QUICK=1 means 10 MB files, 1 run, 10 MB sniff and adversarial
files; CORVEL_BENCH_SIZES, CORVEL_BENCH_RUNS and CORVEL_BENCH_SNIFF_MB set
the defaults of the matching options (sizes up to 1000 MB).
"""

import argparse
import datetime
import json
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import time

import corpus

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
JOBS_PY = os.path.join(HERE, "jobs.py")
WORK = os.path.join(corpus.OUT, "work")
RESULTS = os.path.join(HERE, "RESULTS.md")
BEGIN, END = "<!-- run.py --write: begin -->", "<!-- run.py --write: end -->"

BASELINE = "salvage_file"
TOOLS = [  # jobs.py names, in report order
    "salvage_file", "salvage_file+quarantine", "SalvageReader", "csv module", "csv.reader",
    "pandas C engine", "pandas python engine", "polars", "duckdb 1 thread", "duckdb", "cp",
]
ADVERSARIAL_TOOLS = ["salvage_file", "SalvageReader", "csv module", "pandas C engine", "polars", "duckdb", "cp"]
SNIFF_TOOLS = ["sniff", "csv.Sniffer 64 KiB"]
THREAD_TOOLS = ["salvage_file x2 sequential", "salvage_file x2 threads"]
TARGET_KIND, TARGET_MB, ADVERSARIAL_PER_MB = "ragged", 100, 50


class Result:
    def __init__(self, seconds=None, rss=None, rows=None, error=None):
        self.seconds, self.rss, self.rows, self.error = seconds, rss, rows, error

    @property
    def ok(self):
        return self.error is None


def measure(tool, src, args, python=sys.executable, env=None):
    """The median of `args.runs` runs of one tool on one file."""
    runs = []
    for _ in range(args.runs):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        cp = tool == "cp"
        argv = ["cp", src, os.path.join(WORK, "out.csv")] if cp else [python, JOBS_PY, tool, src, WORK]
        t0 = time.perf_counter()
        try:
            proc = subprocess.run(argv, capture_output=True, env=env, timeout=args.timeout)
        except subprocess.TimeoutExpired:
            return Result(error=f"failed: over {args.timeout:g} s")
        wall = time.perf_counter() - t0
        if proc.returncode:
            err = proc.stderr.decode(errors="replace").strip().splitlines() or ["no message"]
            reason = "".join(c if c.isprintable() and c != "|" else "?" for c in err[-1][:80])
            return Result(error="not available" if proc.returncode == 3 else f"failed: {reason}")
        report = {"seconds": wall, "rows": None, "rss": None} if cp else json.loads(proc.stdout)
        runs.append(Result(report["seconds"], report["rss"], report["rows"]))
    shutil.rmtree(WORK, ignore_errors=True)
    rss = [r.rss for r in runs if r.rss]
    return Result(statistics.median(r.seconds for r in runs), max(rss) if rss else None, runs[-1].rows)


def fmt_ratio(x):
    return f"{x:.2f}×" if x < 10 else f"{x:.0f}×"


def tool_table(results, size):
    """Markdown rows for one file: {tool: Result}."""
    base = results.get(BASELINE)
    lines = ["| tool | seconds | MB/s | time ÷ salvage_file | peak RSS MB | RSS ÷ input | records out |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for tool, r in results.items():
        if not r.ok:
            lines.append(f"| {tool} | {r.error} | | | | | |")
            continue
        ratio = fmt_ratio(r.seconds / base.seconds) if base and base.ok else "—"
        rss = f"{r.rss / 1e6:,.0f} | {r.rss / size:.2f}" if r.rss else "— | —"
        rows = f"{r.rows:,}" if r.rows is not None else "—"
        lines.append(f"| {tool} | {r.seconds:.3g} | {size / 1e6 / r.seconds:,.1f} | {ratio} | {rss} | {rows} |")
    return lines


class Target:
    """One line of the targets table: value ≤ limit (or ≥ limit when `at_least`)."""

    def __init__(self, name, value, limit, unit, at_least=False):
        self.name, self.value, self.limit, self.unit, self.at_least = name, value, limit, unit, at_least

    def line(self):
        bound = f"{'≥' if self.at_least else '≤'} {self.limit:g}{self.unit}"
        if self.value is None:
            return f"| {self.name} | not measured | {bound} | — |"
        ok = self.value >= self.limit if self.at_least else self.value <= self.limit
        return f"| {self.name} | {self.value:.3g}{self.unit} | {bound} | {'PASS' if ok else 'FAIL'} |"


def ratio(a, b):
    return a.seconds / b.seconds if a and b and a.ok and b.ok else None


def rss_ratio(r, size):
    return r.rss / size if r and r.ok and r.rss else None


def targets(main, main_size, adversarial, sniff, threads, args):
    g = main.get
    s = sniff.get("sniff")
    out = [
        Target("salvage_file time ÷ cp time", ratio(g("salvage_file"), g("cp")), 2, "×"),
        Target("csv module time ÷ salvage_file time", ratio(g("csv module"), g("salvage_file")), 30, "×", True),
        Target("duckdb 1 thread time ÷ salvage_file time", ratio(g("duckdb 1 thread"), g("salvage_file")), 2, "×", True),
        Target("salvage_file peak RSS ÷ input", rss_ratio(g("salvage_file"), main_size), 1.5, "×"),
        Target("csv.reader time ÷ SalvageReader time", ratio(g("csv.reader"), g("SalvageReader")), 5, "×", True),
        Target("SalvageReader peak RSS ÷ input", rss_ratio(g("SalvageReader"), main_size), 2.5, "×"),
        Target(f"sniff() on a {args.sniff_mb} MB string", s.seconds * 1e3 if s and s.ok else None, 5, " ms"),
    ]
    for name, (results, size) in adversarial.items():
        r = results.get("salvage_file")
        per = r.seconds * ADVERSARIAL_PER_MB * 1e6 / size if r and r.ok else None
        out.append(Target(f"{name}: salvage_file seconds per {ADVERSARIAL_PER_MB} MB", per, 1, " s"))
        out.append(Target(f"{name}: salvage_file peak RSS ÷ input", rss_ratio(r, size), 3, "×"))
    out.append(Target("free-threaded: 2 threads time ÷ sequential time",
                      ratio(threads.get(THREAD_TOOLS[1]), threads.get(THREAD_TOOLS[0])), 0.6, "×"))
    return ["| target | measured | limit | result |", "|---|---:|---:|---|"] + [t.line() for t in out]


def machine(python_t):
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    ram = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    ft = subprocess.run([python_t, "-VV"], capture_output=True, text=True).stdout.strip() if python_t else "none"
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return [f"- CPU: {cpu}, {os.cpu_count()} cores, {ram:.1f} GiB RAM, {platform.platform()}, load at start {load}",
            f"- Python: {sys.version.split()[0]} ({sys.executable}); free-threaded jobs: {ft}"]


def main():
    quick = os.environ.get("CORVEL_BENCH_QUICK") == "1"
    env = os.environ.get
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("engine_bench", nargs="?", help="path of the engine_bench binary (its section is skipped without)")
    ap.add_argument("--sizes", default=env("CORVEL_BENCH_SIZES", "10" if quick else "10,100"), help="MB, comma-separated")
    ap.add_argument("--runs", type=int, default=int(env("CORVEL_BENCH_RUNS", 1 if quick else 5)))
    ap.add_argument("--kinds", default=",".join(corpus.KINDS), help="comma-separated; see corpus.py")
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated; see jobs.py")
    ap.add_argument("--sniff-mb", type=int, default=int(env("CORVEL_BENCH_SNIFF_MB", 10 if quick else 100)))
    ap.add_argument("--adversarial-mb", type=int, default=10 if quick else 50)
    ap.add_argument("--python-t", default=os.path.join(ROOT, "build", "venv-bench-t", "bin", "python"),
                    help="free-threaded python with corvel installed (its jobs are skipped if missing)")
    ap.add_argument("--timeout", type=float, default=600, help="seconds per run before a job counts as failed")
    ap.add_argument("--write", action="store_true", help=f"also write the report into {os.path.relpath(RESULTS, ROOT)}")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    tools = args.tools.split(",")
    python_t = args.python_t if os.path.exists(args.python_t) else None
    sections = []

    def run_file(title, src, tool_names, size=None, **kw):
        size = size or os.path.getsize(src)
        print(f"-- {title}", file=sys.stderr)
        results = {t: measure(t, src, args, **kw) for t in tool_names}
        sections.extend([f"#### {title} ({size / 1e6:.0f} MB)", "", *tool_table(results, size), ""])
        return results, size

    main_mb = min(sizes, key=lambda mb: abs(mb - TARGET_MB))
    main_path = corpus.ensure(main_mb, [TARGET_KIND])[TARGET_KIND]
    main_results, main_size = {}, os.path.getsize(main_path)
    for size_mb in sizes:
        sections += [f"### {size_mb} MB files", ""]
        for kind, path in corpus.ensure(size_mb, args.kinds.split(",")).items():
            results, size = run_file(kind, path, tools)
            if path == main_path:
                main_results, main_size = results, size

    sections += ["### Adversarial files", ""]
    adversarial = {name: run_file(name, path, [t for t in ADVERSARIAL_TOOLS if t in tools])
                   for name, path in corpus.ensure_adversarial(args.adversarial_mb).items()}

    sections += ["### sniff()", "", f"corvel's sniff() on the clean corpus's text repeated to {args.sniff_mb} MB; "
                 "csv.Sniffer on its first 64 KiB, for scale. MB/s and RSS are of the whole string.", ""]
    clean = corpus.ensure(sizes[0], ["clean"])["clean"]
    sniff, _ = run_file("sniff", clean, SNIFF_TOOLS, size=args.sniff_mb * 10**6,
                        env={**os.environ, "CORVEL_BENCH_SNIFF_MB": str(args.sniff_mb)})

    sections += ["### Free-threaded scaling", "", f"salvage_file on the {TARGET_KIND} file into two outputs, "
                 "one after the other, then on two threads.", ""]
    threads = {}
    if python_t:
        threads, _ = run_file(f"{TARGET_KIND}, python3.14t", main_path, THREAD_TOOLS, python=python_t)
    else:
        sections += ["not available: no free-threaded bench venv (`bench/venv.sh 3.14t`)", ""]

    if args.engine_bench:
        files = [*corpus.ensure(main_mb, ["clean", "ragged", "stray_quotes", "quoted"]).values(),
                 corpus.ensure_adversarial(args.adversarial_mb)["quote_line"]]
        out = subprocess.run([args.engine_bench, *files], capture_output=True, text=True)
        sections += ["### Engine alone (engine_bench, C++, best of 3)", "", "```", (out.stdout + out.stderr).rstrip(),
                     "```", ""]

    settings = [f"{k}={v}" for k, v in sorted(os.environ.items()) if k.startswith("CORVEL_BENCH_")]
    report = [f"## Run of {datetime.date.today()}", "", f"`{shlex.join([*settings, 'python', *sys.argv])}`, "
              f"median of {args.runs} run(s)", "", *machine(python_t), "",
              f"### Targets ({TARGET_KIND}, {main_size / 1e6:.0f} MB; set for {TARGET_MB} MB)", "",
              *targets(main_results, main_size, adversarial, sniff, threads, args), "", *sections]
    text = "\n".join(report).rstrip() + "\n"
    print(text)
    if args.write:
        write_results(text)


def write_results(text):
    """Replaces the generated section of RESULTS.md, keeping the notes around it."""
    old = open(RESULTS, encoding="utf-8").read() if os.path.exists(RESULTS) else ""
    head, _, rest = old.partition(BEGIN)
    tail = rest.partition(END)[2]
    with open(RESULTS, "w", encoding="utf-8") as f:
        f.write(f"{head.rstrip()}\n\n{BEGIN}\n{text}{END}\n{tail}")


if __name__ == "__main__":
    main()
