"""Generates the benchmark corpus, reproducibly (every file has its own seed).

Regular kinds come in any size (bench/out/<N>mb/<kind>.csv); the adversarial
files have one size of their own (bench/out/adversarial/). Rows are drawn from
a pool of a few thousand prebuilt rows and joined in big chunks, so 100 MB
takes a few seconds.

    python bench/corpus.py [--sizes 10,100] [--adversarial-mb 50] [--force]
"""

import argparse
import dataclasses
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
POOL_ROWS = 8192
CHUNK_BYTES = 16 << 20

ASCII_WORDS = [b"alpha", b"bravo", b"charlie", b"delta", b"echo", b"foxtrot", b"golf", b"hotel", b"india", b"x"]
SUFFIXES = [b"", b"", b"", b"1", b"_a", b"xy", b"-42"]
NON_ASCII_WORDS = [w.encode() for w in ("café", "naïve", "Zürich", "東京都", "Москва", "Ελλάδα", "😀ok", "señor", "ß")]


@dataclasses.dataclass(frozen=True)
class Kind:
    """What a file's rows look like. Rates are per row."""

    cols: int = 10
    words: tuple = tuple(ASCII_WORDS)
    text: bool = False  # ~100-byte prose fields instead of ~7-byte ones
    short: float = 0.0  # rows missing 1-3 fields
    long: float = 0.0  # rows with 1-3 surplus fields
    stray: float = 0.0  # rows with an unescaped quote
    multiline: float = 0.0  # rows with a quoted field spanning lines
    eol: bytes = b"\n"
    # Every field in quotes, as spreadsheet and database exporters write
    # them; rates per field: an embedded delimiter, a doubled quote.
    quote_all: bool = False
    embedded: float = 0.0
    doubled: float = 0.0


RAGGED = dict(short=0.05, long=0.02)
KINDS = {
    "clean": Kind(),
    "ragged": Kind(**RAGGED),  # the reference corpus of the targets
    "stray_quotes": Kind(stray=0.03, **RAGGED),
    "multiline": Kind(multiline=0.05),
    "long_fields": Kind(cols=8, text=True, **RAGGED),
    "wide": Kind(cols=60, **RAGGED),
    "non_ascii": Kind(words=tuple(NON_ASCII_WORDS), **RAGGED),
    "crlf": Kind(eol=b"\r\n", **RAGGED),
    "quoted": Kind(quote_all=True, embedded=0.10, doubled=0.05, multiline=0.02),
}
ADVERSARIAL = ("quote_line", "unclosed_quote", "random_bytes")


def quoted_field(rng, kind):
    text = plain_field(rng, kind)
    r = rng.random()
    if r < kind.embedded:
        text += b", " + rng.choice(kind.words)
    elif r < kind.embedded + kind.doubled:
        text = b'""' + text + b'"" ' + rng.choice(kind.words)
    return b'"' + text + b'"'


def field(rng, kind):
    return quoted_field(rng, kind) if kind.quote_all else plain_field(rng, kind)


def plain_field(rng, kind):
    if kind.text:
        words = [rng.choice(kind.words) for _ in range(16)]
        text = b" ".join(words)[:100]
        return b'"' + text.replace(b" ", b", ", 1) + b'"' if rng.random() < 0.3 else text
    r = rng.random()
    if r < 0.4:
        return str(rng.randrange(10**7)).encode()  # 1-7 digits
    if r < 0.5:
        return b"%d.%02d" % (rng.randrange(1000), rng.randrange(100))
    return rng.choice(kind.words) + rng.choice(SUFFIXES)


def row(rng, kind):
    width = kind.cols
    r = rng.random()
    if r < kind.short:
        width -= rng.randint(1, 3)
    elif r < kind.short + kind.long:
        width += rng.randint(1, 3)
    fields = [field(rng, kind) for _ in range(width)]
    r = rng.random()
    if r < kind.stray:
        fields[1] = rng.choice([b'ab"cd', b'"said "hi" to me"', b'5" disk'])
    elif r < kind.stray + kind.multiline:
        fields[1] = b'"first line' + kind.eol + b'second, line"'
    return b",".join(fields) + kind.eol


def rows(rng, kind, size):
    """Yields chunks of whole rows adding up to at least `size` bytes."""
    header = b'"c%d"' if kind.quote_all else b"c%d"
    yield b",".join(header % i for i in range(kind.cols)) + kind.eol
    pool = [row(rng, kind) for _ in range(POOL_ROWS)]
    row_bytes = sum(map(len, pool)) / len(pool)
    written = 0
    while written < size:
        chunk = b"".join(rng.choices(pool, k=1 + int(min(CHUNK_BYTES, size - written) / row_bytes)))
        written += len(chunk)
        yield chunk


def adversarial(rng, name, size):
    if name == "quote_line":  # one line of stray-quote candidates, closed only at its end
        yield b'"' + b'a"b ' * (size // 4) + b'"\n'
    elif name == "unclosed_quote":  # a quote at the very start that nothing closes
        yield b'"'
        yield from rows(rng, KINDS["clean"], size)
    else:
        yield rng.randbytes(size)


def write(path, chunks, force):
    if os.path.exists(path) and not force:
        return path
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "wb") as f:
        for chunk in chunks:
            f.write(chunk)
    os.replace(path + ".tmp", path)
    return path


def ensure(size_mb, kinds=KINDS, force=False):
    """{kind: path} of the regular files of one size, made if missing."""
    return {
        k: write(os.path.join(OUT, f"{size_mb}mb", f"{k}.csv"),
                 rows(random.Random(f"{k}-{size_mb}"), KINDS[k], size_mb * 10**6), force)
        for k in kinds
    }


def ensure_adversarial(size_mb, force=False):
    """{name: path} of the adversarial files, made if missing."""
    return {
        n: write(os.path.join(OUT, "adversarial", f"{n}_{size_mb}mb.csv"),
                 adversarial(random.Random(f"{n}-{size_mb}"), n, size_mb * 10**6), force)
        for n in ADVERSARIAL
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10,100", help="MB per regular file, comma-separated (10 to 1000)")
    ap.add_argument("--adversarial-mb", type=int, default=50)
    ap.add_argument("--force", action="store_true", help="regenerate files that exist")
    args = ap.parse_args()
    for size in map(int, args.sizes.split(",")):
        print(*ensure(size, force=args.force).values(), sep="\n")
    print(*ensure_adversarial(args.adversarial_mb, args.force).values(), sep="\n")


if __name__ == "__main__":
    main()
