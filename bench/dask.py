"""corvel.dask.salvage_to_parquet on a local cluster of 2 worker processes
against 1, on a directory of messy files (the ragged, stray-quote and
multi-line kinds, in turn), one file a partition.

Wall time is noisy on a shared machine, so each setting runs several times,
alternating, and the medians are shown with the CPU time the workers spent
(their own process time, summed), which the load of others barely moves.

    python bench/dask.py [--mb 400] [--files 16] [--runs 3]
"""

import argparse
import importlib.util
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

# This script's own name would hide the dask package: its directory leaves
# the path, and the corpus beside it is loaded by its file name.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != HERE]
_spec = importlib.util.spec_from_file_location("corpus", os.path.join(HERE, "corpus.py"))
corpus = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(corpus)

import corvel.dask  # noqa: E402
import distributed  # noqa: E402

KINDS = ("ragged", "stray_quotes", "multiline")


def make_lake(root, mb, files):
    """`files` files adding up to `mb` MB, of the kinds in turn."""
    os.makedirs(root, exist_ok=True)
    paths = []
    for i in range(files):
        kind = KINDS[i % len(KINDS)]
        path = os.path.join(root, f"part-{i:03d}-{kind}.csv")
        corpus.write(path, corpus.rows(random.Random(f"lake-{i}"), corpus.KINDS[kind], mb * 10**6 // files), False)
        paths.append(path)
    return paths


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def run_once(client, paths, out):
    shutil.rmtree(out, ignore_errors=True)
    before = sum(client.run(cpu_seconds).values())
    started = time.perf_counter()
    report = corvel.dask.salvage_to_parquet(paths, out)
    wall = time.perf_counter() - started
    return wall, sum(client.run(cpu_seconds).values()) - before, report


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=400, help="total MB of input")
    ap.add_argument("--files", type=int, default=16)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    paths = make_lake(os.path.join(corpus.OUT, f"lake-{args.mb}mb-{args.files}"), args.mb, args.files)
    total = sum(os.path.getsize(p) for p in paths)
    out = tempfile.mkdtemp(prefix="corvel-dask-bench-")
    clusters = {}
    try:
        for n in (1, 2):
            clusters[n] = distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                                   host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                                   worker_dashboard_address="127.0.0.1:0")
        results = {1: [], 2: []}
        reports = {}
        for _ in range(args.runs):
            for n, cluster in clusters.items():
                with distributed.Client(cluster) as client:
                    wall, cpu, report = run_once(client, paths, out)
                results[n].append((wall, cpu))
                reports[n] = report
        counts = {n: {k: v for k, v in r.to_dict().items() if k not in ("seconds", "files")}
                  for n, r in reports.items()}
        assert counts[1] == counts[2], "the reports differ"
        print(f"{len(paths)} files, {total / 1e6:.0f} MB, median of {args.runs} runs, "
              f"load average {os.getloadavg()[0]:.1f}")
        for n, rs in results.items():
            wall = statistics.median(r[0] for r in rs)
            cpu = statistics.median(r[1] for r in rs)
            print(f"  {n} worker{'s' if n > 1 else ' '}: wall {wall:6.2f} s ({total / 1e6 / wall:5.0f} MB/s), "
                  f"worker CPU {cpu:6.2f} s")
        ratio = statistics.median(r[0] for r in results[2]) / statistics.median(r[0] for r in results[1])
        print(f"  2 workers / 1 worker, wall: {ratio:.2f}x (target <= 0.65x)")
    finally:
        for cluster in clusters.values():
            cluster.close()
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
