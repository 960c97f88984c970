"""Generates the benchmark corpus: clean, damaged and pathological CSV files."""

import os
import random
import sys

WORDS = ["alpha", "beta", "Gamma Ray", "delta", "x", "", "12.5", "2026-12-08", "caf\u00e9", "na\u00efve"]


def clean(rng, n_rows, cols=8):
    out = []
    for i in range(n_rows):
        fields = [str(i)] + [rng.choice(WORDS) for _ in range(cols - 1)]
        if i % 7 == 0:
            fields[2] = '"has, comma and ""quotes"""'
        out.append(",".join(fields))
    return ("\n".join(out) + "\n").encode()


def damaged(rng, n_rows, cols=8):
    out = []
    for i in range(n_rows):
        width = cols + rng.choice([0, 0, 0, 0, 0, -2, 3])
        fields = [str(i)] + [rng.choice(WORDS) for _ in range(width - 1)]
        r = rng.random()
        if r < 0.05:
            fields[1] = '"said "hi" to me"'
        elif r < 0.07:
            fields[1] = '"multi\nline"'
        elif r < 0.08:
            fields[1] = "BADBYTE"
        out.append(",".join(fields) + rng.choice(["\n", "\n", "\r\n", "\r"]))
    return "".join(out).encode().replace(b"BADBYTE", b"bad\xff")


def quote_line(size):
    # One physical line of stray-quote candidates with a closer only at the end.
    body = b'"' + b'a"b ' * (size // 4)
    return body + b'"\n'


def main(out_dir, scale_mb):
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(2026)
    rows = int(scale_mb * 1e6 / 60)
    files = {
        "clean.csv": clean(rng, rows),
        "damaged.csv": damaged(rng, rows),
        "quote_line_10mb.csv": quote_line(10_000_000),
    }
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
        print(os.path.join(out_dir, name))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 50)
