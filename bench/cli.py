"""The `corvel` command's cost over corvel.salvage, and its start-up.

On the ragged bench file, in one run, with the variants interleaved run by
run so that the machine's load falls on all of them alike:
- corvel.salvage called from Python (the baseline);
- `corvel salvage big.csv -o out.csv` with standard error on a pipe (no bar);
- the same with standard error on a pseudo-terminal (the bar drawn);
- the same on the terminal with --no-progress.
Each is a fresh process timed from outside, interpreter start included.
Then `corvel --help` from process start, against a bare interpreter.
--callgrind adds instruction counts of the three salvage runs (on a smaller
file: callgrind runs about fifty times slower), which the machine's noise
doesn't move.

    python bench/cli.py [--mb 100] [--runs 7] [--help-runs 30] [--callgrind MB]
"""

import argparse
import os
import pty
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

import corpus

WORK = os.path.join(corpus.OUT, "cli")
SCRIPT = os.path.join(os.path.dirname(sys.executable), "corvel")


def run_on_terminal(cmd):
    """Runs `cmd` with standard error on a fresh pseudo-terminal, drained as it writes."""
    master, slave = pty.openpty()
    got = bytearray()

    def drain():
        while True:
            try:
                piece = os.read(master, 65536)
            except OSError:  # EIO: the terminal's last writer has gone
                return
            if not piece:
                return
            got.extend(piece)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave, check=True)
    finally:
        os.close(slave)
        reader.join()
        os.close(master)
    return bytes(got)


def run_on_pipe(cmd):
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, capture_output=False,
                          stderr=subprocess.PIPE, check=True).stderr


def variants(src, out):
    py = [sys.executable, "-c", f"import corvel; corvel.salvage({src!r}, {out!r})"]
    cli = [SCRIPT, "salvage", src, "-o", out]
    return {
        "corvel.salvage in Python": (run_on_pipe, py),
        "corvel salvage, stderr a pipe (no bar)": (run_on_pipe, cli),
        "corvel salvage, stderr a terminal (bar)": (run_on_terminal, cli),
        "corvel salvage --no-progress, stderr a terminal": (run_on_terminal, [*cli, "--no-progress"]),
    }


def timed_interleaved(cases, runs):
    """Median seconds of each case over `runs` rounds, one run of each per round."""
    seconds = {name: [] for name in cases}
    screens = {}
    for _ in range(runs):
        for name, (runner, cmd) in cases.items():
            start = time.perf_counter()
            screens[name] = runner(cmd)
            seconds[name].append(time.perf_counter() - start)
    return {name: statistics.median(s) for name, s in seconds.items()}, screens


def instructions(cmd, terminal):
    """Instructions callgrind counts for `cmd` and every process it starts."""
    log = os.path.join(WORK, "callgrind.%p")
    for name in os.listdir(WORK):
        if name.startswith("callgrind."):
            os.unlink(os.path.join(WORK, name))
    wrapped = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={log}", "--log-file=/dev/null", *cmd]
    (run_on_terminal if terminal else run_on_pipe)(wrapped)
    total = 0
    for name in os.listdir(WORK):
        if name.startswith("callgrind."):
            with open(os.path.join(WORK, name)) as f:
                total += sum(int(m.group(1)) for m in re.finditer(r"^summary: (\d+)", f.read(), re.M))
    return total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--help-runs", type=int, default=30)
    ap.add_argument("--callgrind", type=int, default=0, metavar="MB",
                    help="also count instructions on a file of this size (0: don't)")
    args = ap.parse_args()
    if not os.path.exists(SCRIPT):
        sys.exit(f"cli.py: no console script at {SCRIPT}; install corvel into this interpreter first")
    os.makedirs(WORK, exist_ok=True)
    src = corpus.ensure(args.mb, ["ragged"])["ragged"]
    out = os.path.join(WORK, "out.csv")
    size = os.path.getsize(src)

    print(f"# The command line: ragged, {size / 1e6:.0f} MB, median of {args.runs} rounds, interleaved")
    print(f"python: {sys.version.split()[0]} ({sys.executable}); load at start "
          + ", ".join(f"{x:.1f}" for x in os.getloadavg()))
    cases = variants(src, out)
    medians, screens = timed_interleaved(cases, args.runs)
    if b"MB/s" not in screens["corvel salvage, stderr a terminal (bar)"]:
        sys.exit("cli.py: the terminal run drew no bar; the comparison would be void")
    base = medians["corvel.salvage in Python"]
    print("\n| run | median s | vs corvel.salvage |")
    print("|---|---:|---:|")
    for name, s in medians.items():
        print(f"| {name} | {s:.3f} | {(s / base - 1) * 100:+.1f}% |")

    bare = [sys.executable, "-c", "pass"]
    starts = {
        "python -c pass": bare,
        "python -c 'import corvel'": [sys.executable, "-c", "import corvel"],
        "corvel --help": [SCRIPT, "--help"],
        "corvel salvage --help": [SCRIPT, "salvage", "--help"],
    }
    medians, _ = timed_interleaved({k: (run_on_pipe, v) for k, v in starts.items()}, args.help_runs)
    print(f"\n| from process start (median of {args.help_runs}) | ms |")
    print("|---|---:|")
    for name, s in medians.items():
        print(f"| {name} | {s * 1000:.1f} |")

    if args.callgrind:
        if shutil.which("valgrind") is None:
            sys.exit("cli.py: --callgrind needs valgrind")
        small = corpus.ensure(args.callgrind, ["ragged"])["ragged"]
        counted = {name: instructions(cmd, runner is run_on_terminal)
                   for name, (runner, cmd) in variants(small, out).items()}
        base = counted["corvel.salvage in Python"]
        print(f"\n| instructions, ragged {args.callgrind} MB (callgrind) | count | vs corvel.salvage |")
        print("|---|---:|---:|")
        for name, n in counted.items():
            print(f"| {name} | {n:,} | {(n / base - 1) * 100:+.2f}% |")


if __name__ == "__main__":
    main()
