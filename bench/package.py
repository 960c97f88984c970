"""The corvel package's speed and memory targets, on the ragged bench file.

Each figure is the median of --runs fresh processes, timed from outside
(interpreter start included for corvel, whose start-up is also given apart);
peak RSS is the largest of the runs. Beside wall-clock seconds, each run's
CPU seconds (user + system) are given: on a shared machine the wall clock
mostly measures the wait for a core, and the CPU time does not. Compares, in
one run:
- corvel.salvage against cp of the same file;
- gzip input against `gzip -dc | cp`;
- a cp1252 file against the same text in UTF-8 (per-row legacy decoding);
- peak RSS against the bare interpreter's;
- two threads against the same two salvages one after the other, with the
  time each thread spent blocked (neither running nor waiting for a core),
  which is what any lock between them would show as;
- with --big, peak RSS on a 2 GB file made in /tmp and deleted after.

With --inprocess, instead: corvel.salvage of the accented UTF-8 and cp1252
files timed inside one process, one after the other in turn, the clean file
written to tmpfs: the legacy decoding's cost without the interpreter's start
or the disk in it.

With --callgrind, instead: the instructions (valgrind's callgrind, which a
shared machine does not disturb) of corvel.salvage with its own detection
(detect="auto") against the classic one (detect="backend"), on the ragged,
accented UTF-8 and accented cp1252 files, the interpreter's start-up taken
off; --mb 10 keeps it to a few minutes.

    python bench/package.py [--mb 100] [--runs 5] [--big] [--inprocess] [--callgrind]
"""

import argparse
import gzip
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import corpus

WORK = os.path.join(corpus.OUT, "package")


CPU = {}  # command name -> median CPU seconds, filled by timed()


def timed(cmd, runs, shell=False, name=None):
    """Median seconds and largest peak RSS (KiB) of `runs` runs of `cmd`;
    the median CPU seconds go to CPU[name]."""
    seconds, rss, cpu = [], [], []
    for _ in range(runs):
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", *(["sh", "-c", cmd] if shell else cmd)],
                              capture_output=True, text=True, check=True)
        seconds.append(time.perf_counter() - start)
        m, u, s = done.stderr.strip().splitlines()[-1].split()
        rss.append(int(m))
        cpu.append(float(u) + float(s))
    if name:
        CPU[name] = statistics.median(cpu)
    return statistics.median(seconds), max(rss)


THREADS = """
import corvel, sys, threading, time
def sched():
    on, wait = open("/proc/thread-self/schedstat").read().split()[:2]
    return int(on) / 1e9, int(wait) / 1e9
blocked = []
def work(i, f):
    t0, (on0, wait0) = time.perf_counter(), sched()
    corvel.salvage(f, f"{f}.{i}.out")
    on1, wait1 = sched()
    blocked.append(time.perf_counter() - t0 - (on1 - on0) - (wait1 - wait0))
ts = [threading.Thread(target=work, args=(i, f)) for i, f in enumerate(sys.argv[1:])]
[t.start() for t in ts]; [t.join() for t in ts]
print(max(blocked))
"""


def blocked_seconds(files, runs):
    """Median over `runs` of the longest time a thread spent blocked."""
    got = [float(subprocess.run([sys.executable, "-c", THREADS, *files], capture_output=True, text=True,
                                check=True).stdout) for _ in range(runs)]
    return statistics.median(got)


def salvage(src, out):
    return [sys.executable, "-c", f"import corvel; corvel.salvage({src!r}, {out!r})"]


def instructions(code, *args):
    """The instructions callgrind counts for `python -c code args...`."""
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                           sys.executable, "-c", code, *args], capture_output=True, text=True, check=True)
    return int(done.stderr.split("Collected : ")[1].split()[0])


def callgrind(files, out):
    """Prints detect="auto" against detect="backend" on each of `files`
    (name -> path), in instructions, start-up taken off."""
    start = instructions("import corvel, sys")
    code = "import corvel, sys; corvel.salvage(sys.argv[1], sys.argv[2], detect=sys.argv[3])"
    print(f"Instructions (callgrind), the start-up of {start / 1e6:.0f} M taken off\n")
    print('| file | detect="backend" | detect="auto" | auto / backend |\n|---|---:|---:|---:|')
    auto = {}
    for name, path in files.items():
        b = instructions(code, path, out, "backend") - start
        a = auto[name] = instructions(code, path, out, "auto") - start
        print(f"| {name} | {b / 1e6:.0f} M | {a / 1e6:.0f} M | {a / b:.2f} |")
    print(f"\n- cp1252 / UTF-8, detect=\"auto\": {auto['accented cp1252'] / auto['accented UTF-8']:.2f}")


INPROCESS = """
import corvel, json, os, sys, tempfile, time
files, runs = sys.argv[1:3], int(sys.argv[3])
out = os.path.join(tempfile.mkdtemp(dir="/dev/shm"), "out.csv")
got = {f: ([], []) for f in files}
for _ in range(runs):
    for f in files:
        wall, cpu = time.perf_counter(), time.process_time()
        corvel.salvage(f, out)
        got[f][0].append(time.perf_counter() - wall)
        got[f][1].append(time.process_time() - cpu)
os.remove(out)
os.rmdir(os.path.dirname(out))
print(json.dumps(got))
"""


def inprocess(u8, cp, runs):
    """Prints the medians of `runs` in-process salvages of each file, in turn."""
    got = json.loads(subprocess.run([sys.executable, "-c", INPROCESS, u8, cp, str(runs)], capture_output=True,
                                    text=True, check=True).stdout)
    (u_wall, u_cpu), (l_wall, l_cpu) = ([statistics.median(x) for x in got[f]] for f in (u8, cp))
    print(f"In process, clean file to tmpfs, median of {runs}, load average {os.getloadavg()[0]:.1f}\n")
    print("| file | seconds | CPU seconds |\n|---|---|---|")
    print(f"| accented UTF-8 | {u_wall:.3f} | {u_cpu:.3f} |\n| accented cp1252 | {l_wall:.3f} | {l_cpu:.3f} |\n")
    print(f"- cp1252 / UTF-8: {l_wall / u_wall:.2f} (CPU time: {l_cpu / u_cpu:.2f})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--big", action="store_true", help="also a 2 GB file, made in /tmp and deleted after")
    ap.add_argument("--inprocess", action="store_true", help="UTF-8 against cp1252, timed in one process")
    ap.add_argument("--callgrind", action="store_true", help="instructions of detect='auto' against 'backend'")
    args = ap.parse_args()
    # The files made from the ragged one, per size.
    work = os.path.join(WORK, f"{args.mb}mb")
    os.makedirs(work, exist_ok=True)
    src = corpus.ensure(args.mb, ["ragged"])["ragged"]
    gz = os.path.join(work, "ragged.csv.gz")
    u8, cp = os.path.join(work, "accented-utf8.csv"), os.path.join(work, "accented-cp1252.csv")
    if not os.path.exists(cp):
        text = open(src, "rb").read()
        with gzip.open(gz, "wb", compresslevel=1) as f:
            f.write(text)
        accented = text.decode().replace("e", "é")
        open(u8, "wb").write(accented.encode())
        open(cp, "wb").write(accented.encode("cp1252"))
    out = os.path.join(work, "out.csv")
    if args.callgrind:
        callgrind({"ragged": src, "accented UTF-8": u8, "accented cp1252": cp}, out)
        return
    if args.inprocess:
        inprocess(u8, cp, args.runs)
        return

    rows = []
    def row(name, cmd, shell=False):
        s, rss = timed(cmd, args.runs, shell, name)
        rows.append((name, s, rss))
        return s, rss

    base_s, base_rss = row("python -c 'import corvel'", [sys.executable, "-c", "import corvel"])
    cp_s, _ = row("cp", ["cp", src, out])
    c_s, c_rss = row("corvel.salvage", salvage(src, out))
    gzcp_s, _ = row("gzip -dc | cp", f"gzip -dc {gz} | cp /dev/stdin {out}", shell=True)
    g_s, g_rss = row("corvel.salvage, gzip", salvage(gz, out))
    u_s, _ = row("corvel.salvage, accented UTF-8", salvage(u8, out))
    l_s, l_rss = row("corvel.salvage, accented cp1252", salvage(cp, out))
    pair = (f"import corvel, threading\nfiles = [{src!r}, {u8!r}]\n"
            "work = [lambda f=f, i=i: corvel.salvage(f, f'{f}.{i}.out') for i, f in enumerate(files)]\n")
    seq_s, _ = row("two salvages, one after the other", [sys.executable, "-c", pair + "[w() for w in work]"])
    thr_s, _ = row("two salvages, two threads",
                   [sys.executable, "-c", pair + "ts = [threading.Thread(target=w) for w in work]\n"
                    "[t.start() for t in ts]; [t.join() for t in ts]"])
    # The same pair with the clean files in memory (tmpfs): what the threads
    # gain when the file system's own waits (writing out a replaced file,
    # discarding its old blocks), which the kernel serialises, are not in it.
    shm = tempfile.mkdtemp(prefix="corvel-bench-", dir="/dev/shm")
    try:
        pair_shm = (f"import corvel, threading\nfiles = [{src!r}, {u8!r}]\n"
                    f"work = [lambda f=f, i=i: corvel.salvage(f, f'{shm}/{{i}}.out') for i, f in enumerate(files)]\n")
        seq_m, _ = row("two salvages, one after the other, to tmpfs", [sys.executable, "-c", pair_shm + "[w() for w in work]"])
        thr_m, _ = row("two salvages, two threads, to tmpfs",
                       [sys.executable, "-c", pair_shm + "ts = [threading.Thread(target=w) for w in work]\n"
                        "[t.start() for t in ts]; [t.join() for t in ts]"])
    finally:
        shutil.rmtree(shm, ignore_errors=True)
    blocked = blocked_seconds([src, u8], args.runs)
    big_rss = None
    if args.big:
        big = os.path.join("/tmp", "corvel-bench-2gb.csv")
        try:
            with open(big, "wb") as f:
                for _ in range(max(1, 2000 // args.mb)):
                    with open(src, "rb") as part:
                        while chunk := part.read(1 << 24):
                            f.write(chunk)
            _, big_rss = row("corvel.salvage, 2 GB", salvage(big, big + ".out"))
        finally:
            for p in (big, big + ".out"):
                if os.path.exists(p):
                    os.remove(p)

    print(f"{args.mb} MB ragged file, median of {args.runs}, load average {os.getloadavg()[0]:.1f}\n")
    print("| run | seconds | CPU seconds | peak RSS |\n|---|---|---|---|")
    for name, s, rss in rows:
        print(f"| {name} | {s:.2f} | {CPU[name]:.2f} | {f'{rss / 1024:.0f} MiB'} |")
    print()
    base_cpu = CPU["python -c 'import corvel'"]

    def engine_cpu(name):
        return CPU[name] - base_cpu

    print(f"- corvel.salvage / cp: {c_s / cp_s:.1f} (without interpreter start: {(c_s - base_s) / cp_s:.1f};"
          f" CPU time without it: {engine_cpu('corvel.salvage') / CPU['cp']:.2f})")
    print(f"- gzip input / gzip -dc | cp: {g_s / gzcp_s:.2f} (CPU time:"
          f" {engine_cpu('corvel.salvage, gzip') / CPU['gzip -dc | cp']:.2f})")
    print(f"- cp1252 / UTF-8: {(l_s - base_s) / (u_s - base_s):.2f} (CPU time:"
          f" {engine_cpu('corvel.salvage, accented cp1252') / engine_cpu('corvel.salvage, accented UTF-8'):.2f})")
    peak = max(c_rss, g_rss, l_rss, big_rss or 0)
    print(f"- peak RSS above the interpreter's: {(peak - base_rss) / 1024:.0f} MiB"
          + ("" if big_rss is None else f" (2 GB file: {(big_rss - base_rss) / 1024:.0f} MiB)"))
    print(f"- two threads / one after the other: {thr_s / seq_s:.2f} (without interpreter start:"
          f" {(thr_s - base_s) / (seq_s - base_s):.2f}); the longest a thread was blocked: {blocked:.3f} s")
    print(f"- the same, clean files to tmpfs: {thr_m / seq_m:.2f} (without interpreter start:"
          f" {(thr_m - base_s) / (seq_m - base_s):.2f})")


if __name__ == "__main__":
    main()
