"""corvel.dask.salvage_to_parquet on a local cluster of 2 worker processes
against 1, on a directory of messy files (the ragged, stray-quote and
multi-line kinds, in turn), one file a partition; and with --big-mb, on one
large file cut into byte ranges by `blocksize`, one range a partition.

Wall time is noisy on a shared machine, so each setting runs several times,
alternating, and the medians are shown with the CPU time the workers spent
(their own process time, summed), which the load of others barely moves.

    python bench/dask.py [--mb 400] [--files 16] [--runs 3]
    python bench/dask.py --big-mb 1000 [--big-kind ragged] [--blocksize-mb 64] [--runs 3]

Dask's nanny starts each worker with MALLOC_TRIM_THRESHOLD_=65536 (and
OMP_NUM_THREADS=1); `--worker-env NAME=VALUE` adds to that, e.g.
MALLOC_MMAP_THRESHOLD_=33554432 to see what glibc's fixed mmap threshold
costs the salvage's large buffers.

The big case also times the client's planning pass alone (one parse of the
file, nothing written), and checks that the reports of 1 and 2 workers are
the same as the file salvaged whole as one task.
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
import dask  # noqa: E402
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


def make_cluster(n, env=()):
    """`n` worker processes of one thread, with `env` (NAME=VALUE strings)
    added to what the nanny sets before it starts a worker."""
    environ = {**dask.config.get("distributed.nanny.pre-spawn-environ"), **dict(e.split("=", 1) for e in env)}
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                                        dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0")


def make_clusters(args):
    """{(setting, workers): cluster}: 1 and 2 workers as the nanny starts
    them, and again with --worker-env when it is given."""
    settings = {"": ()} | ({" ".join(args.worker_env): args.worker_env} if args.worker_env else {})
    return {(name, n): make_cluster(n, env) for name, env in settings.items() for n in (1, 2)}


def counts_of(report):
    return {k: v for k, v in report.to_dict().items() if k not in ("seconds", "files")}


def pin_to(core):
    """Every thread of this process, and those it starts, on one core."""
    for tid in os.listdir("/proc/self/task"):
        try:
            os.sched_setaffinity(int(tid), {core})
        except OSError:
            pass  # a thread that has just ended


def run_all(clusters, runs, salvage, out, between=None, pin=False):
    """Each cluster in turn, `runs` rounds: {key: [(wall, worker CPU)]}, and
    each cluster's last report. With `pin`, each worker runs on a core of
    its own: one worker on one core, as many cores as workers."""
    results, reports = {key: [] for key in clusters}, {}
    for _ in range(runs):
        if between is not None:
            between()
        for key, cluster in clusters.items():
            with distributed.Client(cluster) as client:
                if pin:
                    for core, worker in enumerate(sorted(client.scheduler_info()["workers"])):
                        client.run(pin_to, core % os.cpu_count(), workers=[worker])
                shutil.rmtree(out, ignore_errors=True)
                before = sum(client.run(cpu_seconds).values())
                started = time.perf_counter()
                reports[key] = salvage()
                wall = time.perf_counter() - started
                results[key].append((wall, sum(client.run(cpu_seconds).values()) - before))
    return results, reports


def show(results, size):
    median = {key: statistics.median(r[0] for r in rs) for key, rs in results.items()}
    for (name, n), rs in results.items():
        cpu = statistics.median(r[1] for r in rs)
        label = f"{n} worker{'s' if n > 1 else ' '}" + (f", {name}" if name else "")
        print(f"  {label}: wall {median[name, n]:6.2f} s ({size / 1e6 / median[name, n]:5.0f} MB/s), "
              f"worker CPU {cpu:6.2f} s")
    for name in dict.fromkeys(name for name, _ in results):
        print(f"  2 workers / 1 worker{', ' + name if name else ''}, wall: {median[name, 2] / median[name, 1]:.2f}x "
              "(target <= 0.65x)")


def big_file(args):
    """One large file in byte ranges: the plan alone, then 1 and 2 workers,
    interleaved; the file whole as one task on 1 worker, for the reports."""
    path = corpus.ensure(args.big_mb, kinds=[args.big_kind])[args.big_kind]
    size = os.path.getsize(path)
    blocksize = args.blocksize_mb << 20
    dialect = corvel.detect(path)
    out = tempfile.mkdtemp(prefix="corvel-dask-bench-")
    clusters = make_clusters(args)
    try:
        plans, ranges = [], []

        def plan():
            started = time.perf_counter()
            ranges[:] = corvel.dask._plan_ranges(path, dialect, {}, blocksize).states
            plans.append(time.perf_counter() - started)
        results, reports = run_all(
            clusters, args.runs,
            lambda: corvel.dask.salvage_to_parquet(path, out, dialect=dialect, blocksize=blocksize), out, plan,
            args.core_per_worker)
        with distributed.Client(clusters["", 1]) as client:
            shutil.rmtree(out, ignore_errors=True)
            started = time.perf_counter()
            whole = corvel.dask.salvage_to_parquet(path, out, dialect=dialect)
            whole_wall = time.perf_counter() - started
        assert all(counts_of(r) == counts_of(whole) for r in reports.values()), "the reports differ"
        print(f"{os.path.basename(path)}: {size / 1e6:.0f} MB in {len(ranges)} ranges of "
              f"{args.blocksize_mb} MiB, median of {args.runs} runs, load average {os.getloadavg()[0]:.1f}")
        print(f"  plan on the client: {statistics.median(plans):6.2f} s (included in the walls below)")
        show(results, size)
        print(f"  whole file as one task, 1 worker (one run): wall {whole_wall:6.2f} s")
    finally:
        for cluster in clusters.values():
            cluster.close()
        shutil.rmtree(out, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=400, help="total MB of input")
    ap.add_argument("--files", type=int, default=16)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--big-mb", type=int, default=0, help="MB of one file in byte ranges (0: the lake instead)")
    ap.add_argument("--big-kind", default="ragged", choices=sorted(corpus.KINDS))
    ap.add_argument("--blocksize-mb", type=int, default=64)
    ap.add_argument("--worker-env", action="append", default=[], metavar="NAME=VALUE",
                    help="an environment variable for the workers, beside the nanny's (repeatable); "
                         "then each setting runs both as the nanny starts workers and with these, interleaved")
    ap.add_argument("--core-per-worker", action="store_true",
                    help="pin each worker process to a core of its own, so that 1 worker has 1 core")
    args = ap.parse_args()
    if args.big_mb:
        return big_file(args)
    paths = make_lake(os.path.join(corpus.OUT, f"lake-{args.mb}mb-{args.files}"), args.mb, args.files)
    total = sum(os.path.getsize(p) for p in paths)
    out = tempfile.mkdtemp(prefix="corvel-dask-bench-")
    clusters = make_clusters(args)
    try:
        results, reports = run_all(clusters, args.runs, lambda: corvel.dask.salvage_to_parquet(paths, out), out,
                                   pin=args.core_per_worker)
        counts = [counts_of(r) for r in reports.values()]
        assert all(c == counts[0] for c in counts), "the reports differ"
        print(f"{len(paths)} files, {total / 1e6:.0f} MB, median of {args.runs} runs, "
              f"load average {os.getloadavg()[0]:.1f}")
        show(results, total)
    finally:
        for cluster in clusters.values():
            cluster.close()
        shutil.rmtree(out, ignore_errors=True)

if __name__ == "__main__":
    main()
