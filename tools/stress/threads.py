"""Many threads making mixed calls into the module at once; meant for the
free-threaded interpreter, where they really overlap.

    python3.14t threads.py [--seconds 30] [--threads 8] [--seed 1]

`run()` is also what the test suite calls for a short round, driven by a
fixed number of calls per thread rather than by time, so that what it checks
doesn't depend on the machine's speed.

Every call is checked against the answer the same call gave single-threaded
beforehand: salvage_file and sniff on shared inputs, a reader per call, error
paths, and readers shared by several threads at once, which may refuse a
concurrent use with RuntimeError ("Already borrowed" / "Already mutably
borrowed") but must hand out every row exactly once. Exits non-zero on any
mismatch.
"""

import argparse
import os
import random
import sys
import tempfile
import threading
import time
from collections import Counter

import _corvel_backend as corvel

REFUSALS = {"Already borrowed", "Already mutably borrowed"}


def make_inputs(d, shared_rows=20_000):
    """Files of various damage, with the options to salvage each with."""
    rng = random.Random(3)
    files = {
        "clean": (b"id,name,score\n" + b"".join(b"%d,n%d,%d\n" % (i, i, i * 7) for i in range(3000)), {}),
        "ragged": (b"".join(b"a;b;c\n" if i % 5 else b"x;y\n" if i % 2 else b"p;q;r;s;t\n"
                            for i in range(4000)), {"fill_ragged_rows": False}),
        "quotes": (b"".join(b'%d|"say ""hi"" %d"|x"y|\xc3\xa9\xff\r\n' % (i, i) for i in range(2000)), {}),
        "garbage": (bytes(rng.choices(b',;"\r\n\x00a\xc3\xa9\xff', k=200_000)), {"merge_overflow": False}),
        "shared": (b"".join(b"%d,x,\"y\nz\"\n" % i for i in range(shared_rows)), {}),
    }
    out = {}
    for name, (data, options) in files.items():
        path = os.path.join(d, name + ".csv")
        with open(path, "wb") as f:
            f.write(data)
        out[name] = (path, options)
    return out


def baseline(d, inputs):
    """What each call gives single-threaded: summary, clean and quarantine bytes, rows."""
    ref = {}
    for name, (path, options) in inputs.items():
        out, quar = os.path.join(d, name + ".ref.out"), os.path.join(d, name + ".ref.q")
        s = corvel.salvage_file(path, out, quar, **options)
        with open(out, "rb") as f, open(quar, "rb") as g:
            files = f.read(), g.read()
        with corvel.SalvageReader(path, **options) as reader:
            rows = list(reader)
            assert reader.summary.to_dict() == s.to_dict()
        ref[name] = (s.to_dict(), files, rows)
    return ref


class SharedReader:
    """A reader that several threads drain together, replaced when empty."""

    def __init__(self, path, expected_rows):
        self.path, self.expected = path, sorted(map(tuple, expected_rows))
        self.lock = threading.Lock()
        self.current = self.fresh()
        self.finished = []

    def fresh(self):
        return corvel.open(self.path), []

    def step(self, rng, errors, counts):
        reader, taken = self.current
        for _ in range(rng.randrange(1, 200)):
            try:
                taken.append(tuple(next(reader)))
            except StopIteration:
                with self.lock:
                    if self.current[0] is reader:
                        self.finished.append(taken)
                        self.current = self.fresh()
                return
            except RuntimeError as e:
                counts["refused"] += 1
                if str(e) not in REFUSALS:
                    errors.append(f"shared next(): {e!r}")
            try:
                if rng.random() < 0.2:
                    len(reader)
                    reader.summary
            except RuntimeError as e:
                counts["refused"] += 1
                if str(e) not in REFUSALS:
                    errors.append(f"shared len(): {e!r}")

    def verify(self, errors):
        reader, taken = self.current
        taken.extend(map(tuple, reader))  # drain the last one alone
        for rows in self.finished + [taken]:
            if sorted(rows) != self.expected:
                c = Counter(rows)
                lost = len(set(self.expected) - set(c))
                twice = sum(1 for v in c.values() if v > 1)
                errors.append(f"shared reader: {len(rows)} rows, {lost} lost, {twice} twice")
        return len(self.finished)


def worker(k, more, d, inputs, ref, texts, shared, seed, errors, counts):
    rng = random.Random(seed * 1000 + k)
    names = [n for n in inputs if n != "shared"]
    out, quar = os.path.join(d, f"t{k}.out"), os.path.join(d, f"t{k}.q")
    done = 0
    while more(done) and len(errors) < 20:
        done += 1
        op = rng.choice(["salvage", "salvage", "sniff", "reader", "shared", "shared", "errors"])
        counts[op] += 1
        try:
            if op == "salvage":
                name = rng.choice(names)
                path, options = inputs[name]
                s = corvel.salvage_file(path, out, quar, **options)
                with open(out, "rb") as f, open(quar, "rb") as g:
                    got = s.to_dict(), (f.read(), g.read())
                if got != ref[name][:2]:
                    errors.append(f"salvage_file({name}) differs: {s}")
            elif op == "sniff":
                text, want = rng.choice(texts)
                if (got := corvel.sniff(text)) != want:
                    errors.append(f"sniff gave {got!r}, not {want!r}")
            elif op == "reader":
                name = rng.choice(names)
                path, options = inputs[name]
                with corvel.open(path, **options) as reader:
                    n = len(reader)
                    rows = [next(reader) for _ in range(n // 2)] + list(reader)
                    if (reader.summary.to_dict(), rows) != (ref[name][0], ref[name][2]):
                        errors.append(f"reader({name}) differs")
            elif op == "shared":
                shared.step(rng, errors, counts)
            else:
                try:
                    corvel.open(os.path.join(d, "missing.csv"))
                    errors.append("no error for a missing file")
                except FileNotFoundError as e:
                    if str(e) != "No such file or directory (os error 2)":
                        errors.append(f"missing file: {e!r}")
                try:
                    corvel.salvage_file(inputs["clean"][0], out, expected_columns=-1)
                    errors.append("no error for expected_columns=-1")
                except OverflowError as e:
                    if e.__notes__ != ["while processing 'expected_columns'"]:
                        errors.append(f"notes: {e.__notes__!r}")
        except Exception as e:  # anything else is a fault
            errors.append(f"{op}: {e!r}")


def run(seconds=30.0, threads=8, seed=1, log=print, calls=None, shared_rows=20_000):
    """Runs the round, for `seconds` or, when given, for `calls` calls per
    thread; returns (errors, counts)."""
    with tempfile.TemporaryDirectory(prefix="corvel-threads-") as d:
        inputs = make_inputs(d, shared_rows)
        ref = baseline(d, inputs)
        texts = [(t, corvel.sniff(t)) for t in ("a;b;c\nd;e;f\n" * 40, "a\tb\nc\td\n" * 40,
                                                 'x|"y|z"|w\n1|2|3\n' * 40, "p,q\nr,s\n" * 40,
                                                 "caf\u00e9;cr\u00e8me\n\u00e0;\u00e9\n" * 10)]
        shared = SharedReader(inputs["shared"][0], ref["shared"][2])
        errors, counts = [], Counter()
        per_thread = [Counter() for _ in range(threads)]
        deadline = time.monotonic() + seconds
        more = (lambda done: done < calls) if calls is not None else (lambda done: time.monotonic() < deadline)
        pool = [threading.Thread(target=worker, args=(k, more, d, inputs, ref, texts, shared, seed,
                                                      errors, per_thread[k])) for k in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        for c in per_thread:
            counts.update(c)
        counts["shared readers drained"] = shared.verify(errors)
    length = f"{calls} calls each" if calls is not None else f"{seconds:g} s"
    log(f"{threads} threads, {length}, GIL {'on' if sys._is_gil_enabled() else 'off'}: {dict(counts)}")
    for e in errors[:20]:
        log(f"  error: {e}")
    return errors, counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    errors, _ = run(args.seconds, args.threads, args.seed)
    print("FAIL" if errors else "PASS")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
