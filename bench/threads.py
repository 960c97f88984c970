"""corvel.salvage(p, out, threads=2) against threads=1 on the same file.

Each figure is the median of --runs fresh processes, the two thread counts
interleaved run by run; the time is that of the call alone (imports done),
measured inside the process, with its CPU time (user + system, all threads)
beside it: on a shared machine the wall clock mostly measures the wait for a
core. Every run's clean file must be byte-identical to the first threads=1
run's, and so must its counts. The clean file goes to --out (tmpfs by
default), so that disk writeback stays out of the figures.

    python bench/threads.py [--mb 1000] [--kinds ragged,multiline] [--runs 3] [--out /dev/shm]
                            [--options '{"detect": "backend"}'] [--call read]
"""

import argparse
import filecmp
import json
import os
import statistics
import subprocess
import sys

import corpus

CHILD = """
import corvel, json, resource, sys, time
t0, c0 = time.perf_counter(), time.process_time()
if sys.argv[5] == "read":
    t = corvel.read(sys.argv[1], threads=int(sys.argv[3]), **json.loads(sys.argv[4]))
    r = t.report
else:
    r = corvel.salvage(sys.argv[1], sys.argv[2], threads=int(sys.argv[3]), **json.loads(sys.argv[4]))
seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
if sys.argv[5] == "read":
    import itertools
    with open(sys.argv[2], "w") as f:  # a sample of the rows, to compare
        f.write(repr((t.column_names, t.num_rows, list(itertools.islice(t.rows(), 0, None, 99991)))))
print(json.dumps(dict(seconds=seconds, cpu=cpu,
                      peak_kib=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                      counts={k: v for k, v in r.to_dict().items() if isinstance(v, int)})))
"""


def once(path, out, threads, options, call):
    done = subprocess.run([sys.executable, "-c", CHILD, path, out, str(threads), options, call], capture_output=True,
                          text=True, check=True, timeout=3600)
    return json.loads(done.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=1000)
    ap.add_argument("--kinds", default="ragged,stray_quotes,multiline")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--out", default="/dev/shm")
    ap.add_argument("--options", default="{}", help="more keyword arguments of corvel.salvage, as JSON")
    ap.add_argument("--call", choices=("salvage", "read"), default="salvage",
                    help="corvel.read times the table's making, and compares a sample of its rows")
    args = ap.parse_args()
    kinds = args.kinds.split(",")
    files = corpus.ensure(args.mb, kinds)
    print(f"corvel.{args.call}, {args.mb} MB files, options {args.options}, median of {args.runs} runs, "
          f"load average {os.getloadavg()[0]:.1f}\n")
    print("| kind | t=1 wall | t=2 wall | t=2 / t=1 wall | t=1 CPU | t=2 CPU | peak RSS t=1 | t=2 | identical |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for kind in kinds:
        want = os.path.join(args.out, f"corvel-threads-{kind}-want.csv")
        got = os.path.join(args.out, f"corvel-threads-{kind}-got.csv")
        runs = {1: [], 2: []}
        same = True
        try:
            for i in range(args.runs):
                for threads in (1, 2):
                    target = want if threads == 1 and i == 0 else got
                    r = once(files[kind], target, threads, args.options, args.call)
                    runs[threads].append(r)
                    if target == got:
                        same = same and filecmp.cmp(want, got, shallow=False)
                        same = same and r["counts"] == runs[1][0]["counts"]
        finally:
            for p in (want, got):
                if os.path.exists(p):
                    os.unlink(p)
        med = {t: {k: statistics.median(r[k] for r in rs) for k in ("seconds", "cpu")} for t, rs in runs.items()}
        peak = {t: max(r["peak_kib"] for r in rs) / 1024 for t, rs in runs.items()}
        print(f"| {kind} | {med[1]['seconds']:.2f} s | {med[2]['seconds']:.2f} s | "
              f"{med[2]['seconds'] / med[1]['seconds']:.2f}x | {med[1]['cpu']:.2f} s | {med[2]['cpu']:.2f} s | "
              f"{peak[1]:.0f} MiB | {peak[2]:.0f} MiB | {'yes' if same else 'NO'} |", flush=True)


if __name__ == "__main__":
    main()
