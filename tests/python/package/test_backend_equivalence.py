"""corvel.salvage in its backend mode writes the backend's clean bytes.

Checked in a child process: the package never imports the backend, and this
test process runs the package."""

import json
import os
import random
import subprocess
import sys
import textwrap

from support import bench_corpus, file_with

SAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "..", "samples", "broken.csv")

CASES = {
    "plain": b"a,b,c\n1,2,3\n4,5,6\n",
    "ragged": b"a,b,c\n1,2\n3,4,5,6,7\n\n8,9,10\n",
    "semicolons-crlf": b"x;y\r\n1;2\r\n3;4;5\r\n",
    "tabs-cr": b"x\ty\r1\t2\r3\r",
    "pipes-bom": b"\xef\xbb\xbfp|q|r\n1|2|3\n",
    "stray-quotes": b'id,text\n1,"say "hi" now"\n2,"ok"\n3,a"b\n',
    "multi-line": b'id,text\n1,"two\nlines"\n2,"three\r\nlines\rhere"\n',
    "unclosed": b'id,text\n1,"never closed\n2,x\n',
    "invalid-utf8": b"n,v\nZo\xeb,1\n\xff\xfe,2\n",
    "no-final-break": b"a,b\n1,2",
    "blank-lines": b"a,b\n\n\n1,2\n   \n3,4\n",
}


def random_case(seed):
    """A damaged table: mostly three fields a row, with stray quotes, quoted
    breaks, blank lines and ragged rows."""
    rng = random.Random(seed)
    fields = [b"a", b"bb", b"", b" x ", "é".encode(), b'"q"', b'"a""b"', b'"x\ny"', b'a"b', b'"open', b"\xff"]
    rows = [b"h1,h2,h3"]
    for _ in range(rng.randrange(1, 60)):
        n = rng.choice([3, 3, 3, 3, 2, 4, 1, 5])
        rows.append(b",".join(rng.choice(fields) for _ in range(n)))
        if rng.random() < 0.05:
            rows.append(b"")
    return rng.choice([b"\n", b"\r\n", b"\r"]).join(rows) + rng.choice([b"", b"\n"])


SCRIPT = textwrap.dedent("""
    import json, sys
    import _corvel_backend as backend
    import corvel
    out = {}
    for name, path in json.loads(sys.argv[1]).items():
        summary = backend.salvage_file(path, path + ".backend")
        corvel.salvage(path, path + ".corvel", detect="backend", header=False, skip_blank_lines=False,
                       output_delimiter=None, encoding="utf-8", force=True)
        a, b = open(path + ".backend", "rb").read(), open(path + ".corvel", "rb").read()
        out[name] = [summary.inferred_columns, a == b or [a[:300].decode("utf-8", "replace"), b[:300].decode("utf-8", "replace")]]
    print(json.dumps(out))
""")


def bench_kinds():
    """A small file of each kind the speed bench makes."""
    corpus = bench_corpus()
    return {f"bench-{kind}": b"".join(corpus.rows(random.Random(kind), corpus.KINDS[kind], 100_000))
            for kind in sorted(corpus.KINDS)}


def test_same_clean_bytes_as_the_backend(tmp_path):
    inputs = {**CASES, **bench_kinds(), **{f"random-{s}": random_case(s) for s in range(40)},
              "samples/broken.csv": open(SAMPLES, "rb").read()}
    paths = {name: str(file_with(tmp_path / f"case{i}.csv", data)) for i, (name, data) in enumerate(inputs.items())}
    done = subprocess.run([sys.executable, "-c", SCRIPT, json.dumps(paths)], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    results = json.loads(done.stdout)
    # One-column tables are left out: corvel writes a row of one empty field as "".
    wide = {k: same for k, (width, same) in results.items() if width >= 2}
    assert len(wide) >= len(CASES) + 10
    assert {k: v for k, v in wide.items() if v is not True} == {}
