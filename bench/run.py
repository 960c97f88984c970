"""Runs the benchmarks: engine throughput (C++) and sniff() against csv.Sniffer."""

import csv
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")


def best(fn, runs=5):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main(engine_bench):
    sys.path.insert(0, HERE)
    import corpus

    if not os.path.exists(os.path.join(OUT, "clean.csv")):
        corpus.main(OUT, float(os.environ.get("CORVEL_BENCH_MB", "50")))
    files = [os.path.join(OUT, n) for n in ("clean.csv", "damaged.csv", "quote_line_10mb.csv")]
    subprocess.run([engine_bench, *files], check=True)

    import _corvel_backend as corvel

    # For scale: the standard library's strict reader on the clean file
    # (it gives up on the damaged ones, which is why corvel exists).
    def stdlib_read():
        with open(files[0], newline="", encoding="utf-8") as f:
            for _ in csv.reader(f):
                pass

    size_mb = os.path.getsize(files[0]) / 1e6
    print(f"{'csv.reader (stdlib), clean.csv':<28} {size_mb / best(stdlib_read, runs=2):>10.1f} MB/s")

    print()
    print(f"{'sniff sample':<28} {'corvel us':>10} {'csv.Sniffer us':>15}")
    with open(files[0], encoding="utf-8") as f:
        head = f.read(64 * 1024)
    samples = {
        "clean 64 KiB": head,
        "semicolons 4 KiB": "a;b;c;d\n1;2;3;4\n" * 256,
        "quoted tabs 4 KiB": '"name"\t"city"\n"Ada"\t"London"\n' * 146,
    }
    for name, text in samples.items():
        ours = best(lambda: corvel.sniff(text)) * 1e6
        sniffer = csv.Sniffer()
        theirs = best(lambda: sniffer.sniff(text, delimiters=",;\t|"), runs=3) * 1e6
        print(f"{name:<28} {ours:>10.1f} {theirs:>15.1f}")


if __name__ == "__main__":
    main(sys.argv[1])
