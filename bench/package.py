"""The corvel package's speed and memory targets, on the ragged bench file.

Each figure is the median of --runs fresh processes, timed from outside
(interpreter start included for corvel, whose start-up is also given apart);
peak RSS is the largest of the runs. Compares, in one run:
- corvel.salvage against cp of the same file;
- gzip input against `gzip -dc | cp`;
- a cp1252 file against the same text in UTF-8 (per-row legacy decoding);
- peak RSS against the bare interpreter's;
- two threads against the same two salvages one after the other.

    python bench/package.py [--mb 100] [--runs 5]
"""

import argparse
import gzip
import os
import statistics
import subprocess
import sys
import time

import corpus

WORK = os.path.join(corpus.OUT, "package")


def timed(cmd, runs, shell=False):
    """Median seconds and largest peak RSS (KiB) of `runs` runs of `cmd`."""
    seconds, rss = [], []
    for _ in range(runs):
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", *(["sh", "-c", cmd] if shell else cmd)],
                              capture_output=True, text=True, check=True)
        seconds.append(time.perf_counter() - start)
        rss.append(int(done.stderr.strip().splitlines()[-1]))
    return statistics.median(seconds), max(rss)


def salvage(src, out):
    return [sys.executable, "-c", f"import corvel; corvel.salvage({src!r}, {out!r})"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    os.makedirs(WORK, exist_ok=True)
    src = corpus.ensure(args.mb, ["ragged"])["ragged"]
    gz = os.path.join(WORK, "ragged.csv.gz")
    u8, cp = os.path.join(WORK, "accented-utf8.csv"), os.path.join(WORK, "accented-cp1252.csv")
    if not os.path.exists(cp):
        text = open(src, "rb").read()
        with gzip.open(gz, "wb", compresslevel=1) as f:
            f.write(text)
        accented = text.decode().replace("e", "é")
        open(u8, "wb").write(accented.encode())
        open(cp, "wb").write(accented.encode("cp1252"))
    out = os.path.join(WORK, "out.csv")

    rows = []
    base_s, base_rss = timed([sys.executable, "-c", "import corvel"], args.runs)
    rows.append(("python -c 'import corvel'", base_s, base_rss))
    cp_s, _ = timed(["cp", src, out], args.runs)
    rows.append(("cp", cp_s, None))
    c_s, c_rss = timed(salvage(src, out), args.runs)
    rows.append(("corvel.salvage", c_s, c_rss))
    gzcp_s, _ = timed(f"gzip -dc {gz} | cp /dev/stdin {out}", args.runs, shell=True)
    rows.append(("gzip -dc | cp", gzcp_s, None))
    g_s, g_rss = timed(salvage(gz, out), args.runs)
    rows.append(("corvel.salvage, gzip", g_s, g_rss))
    u_s, _ = timed(salvage(u8, out), args.runs)
    rows.append(("corvel.salvage, accented UTF-8", u_s, None))
    l_s, l_rss = timed(salvage(cp, out), args.runs)
    rows.append(("corvel.salvage, accented cp1252", l_s, l_rss))
    pair = (f"import corvel, threading\nfiles = [{src!r}, {u8!r}]\n"
            "work = [lambda f=f, i=i: corvel.salvage(f, f'{f}.{i}.out') for i, f in enumerate(files)]\n")
    seq_s, _ = timed([sys.executable, "-c", pair + "[w() for w in work]"], args.runs)
    thr_s, _ = timed([sys.executable, "-c", pair + "ts = [threading.Thread(target=w) for w in work]\n"
                      "[t.start() for t in ts]; [t.join() for t in ts]"], args.runs)
    rows.append(("two salvages, one after the other", seq_s, None))
    rows.append(("two salvages, two threads", thr_s, None))

    print(f"{args.mb} MB ragged file, median of {args.runs}, load average {os.getloadavg()[0]:.1f}\n")
    print("| run | seconds | peak RSS |\n|---|---|---|")
    for name, s, rss in rows:
        print(f"| {name} | {s:.2f} | {'' if rss is None else f'{rss / 1024:.0f} MiB'} |")
    print()
    engine = c_s - base_s
    print(f"- corvel.salvage / cp: {c_s / cp_s:.1f} (without interpreter start: {engine / cp_s:.1f})")
    print(f"- gzip input / gzip -dc | cp: {g_s / gzcp_s:.2f}")
    print(f"- cp1252 / UTF-8: {(l_s - base_s) / (u_s - base_s):.2f}")
    print(f"- peak RSS above the interpreter's: {(max(c_rss, g_rss, l_rss) - base_rss) / 1024:.0f} MiB")
    print(f"- two threads / one after the other: {thr_s / seq_s:.2f}")


if __name__ == "__main__":
    main()
