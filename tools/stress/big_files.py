"""Files past 4 GiB and a 1 GiB field, through the installed module.

    python big_files.py [--dir /tmp] [--rows-past-4g] [--skip-4g] [--field-gib 1]

A ~4.3 GiB CSV, made of one block written over and over, goes through
salvage_file: its counts and the clean file's size must be the block's times
the number of blocks, so no offset or counter wrapped at 32 bits. With
--rows-past-4g, a second file of 2**32 + 2**20 two-byte rows (8 GiB) checks
the row counters themselves. Then a file with one 1 GiB field goes through
salvage_file and SalvageReader and must come back whole. Each run happens in
a child process whose peak RSS is reported and bounded. Exits non-zero on any
mismatch; skips the large files when the disk has less than 15 GB free.
"""

import argparse
import hashlib
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

GiB = 1 << 30
# Rows of one block: CRLF ends become LF, a stray quote is repaired, every
# 97th row is short and gets padded.
BLOCK = b"".join(
    b"%d,name %d,\"q\"\"x\",z\r\n" % (i, i) if i % 97 else b"7,x\r\n" for i in range(1, 20_001)
)
FIELD = b'ab,c""\n\xc3\xa9'  # to be enclosed, doubled and decoded


def child(op, path, out):
    import _corvel_backend as corvel

    started = time.monotonic()
    if op == "salvage":
        result = corvel.salvage_file(path, out, out + ".q").to_dict()
    else:  # read: the rows' sizes and a digest of the big field
        with corvel.open(path) as reader:
            rows = list(reader)
            result = reader.summary.to_dict()
        result["widths"] = [len(r) for r in rows]
        big = rows[1][1]
        result["field_chars"] = len(big)
        result["field_sha256"] = hashlib.sha256(big.encode()).hexdigest()
        del rows, big
    result["seconds"] = round(time.monotonic() - started, 1)
    result["peak_rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
    print(json.dumps(result))


def run_child(op, path, out):
    proc = subprocess.run([sys.executable, __file__, "--child", op, path, out], capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"FAIL: {op} {path} exited {proc.returncode}\n{proc.stderr}")
    result = json.loads(proc.stdout)
    print(f"  {op}: {result}")
    return result


def write_repeated(path, block, total):
    """Writes `block` until the file holds at least `total` bytes; returns the count."""
    count = -(-total // len(block))
    with open(path, "wb") as f:
        write_repeated_into(f, block, count)
    return count


def expect(what, got, want):
    status = "ok" if got == want else "FAIL"
    print(f"  {status}: {what}: {got}" + ("" if got == want else f" (want {want})"))
    return got == want


def check_repeated(d, name, block, total):
    """Salvages a file of `block` repeated, against the salvage of one block."""
    one, one_out = os.path.join(d, "one.csv"), os.path.join(d, "one.out")
    with open(one, "wb") as f:
        f.write(block)
    base = run_child("salvage", one, one_out)
    path, out = os.path.join(d, name), os.path.join(d, name + ".out")
    started = time.monotonic()
    n = write_repeated(path, block, total)
    size = os.path.getsize(path)
    print(f"  wrote {size / GiB:.2f} GiB ({n} blocks) in {time.monotonic() - started:.0f} s")
    got = run_child("salvage", path, out)
    ok = all(expect(k, got[k], base[k] * n) for k in ("total_rows", "salvaged_rows", "repaired_rows",
                                                        "quarantined_rows"))
    ok &= expect("inferred_columns", got["inferred_columns"], base["inferred_columns"])
    ok &= expect("clean file size", os.path.getsize(out), os.path.getsize(one_out) * n)
    # The input is held whole (and given back page by page as it's parsed).
    ok &= expect("peak RSS under 1.2x the file", got["peak_rss_mib"] < (size * 1.2 + 256e6) / 2**20, True)
    for p in (path, out, out + ".q"):
        os.remove(p)
    return ok


def check_big_field(d, size):
    path, out = os.path.join(d, "field.csv"), os.path.join(d, "field.out")
    reps = size // len(FIELD)
    with open(path, "wb") as f:
        f.write(b'id,blob\n1,"')
        write_repeated_into(f, FIELD, reps)
        f.write(b'"\n2,x\n')
    print(f"  wrote {os.path.getsize(path) / GiB:.2f} GiB with one field of {reps * len(FIELD)} bytes")
    text = FIELD.replace(b'""', b'"').decode()
    want = hashlib.sha256()
    for _ in range(reps // 1024):
        want.update(text.encode() * 1024)
    want.update(text.encode() * (reps % 1024))
    ok = True
    got = run_child("salvage", path, out)
    ok &= expect("counts", (got["total_rows"], got["salvaged_rows"], got["inferred_columns"]), (3, 3, 2))
    ok &= expect("clean file equals the input", same_file(path, out), True)
    ok &= expect("salvage_file peak RSS under 3x the field", got["peak_rss_mib"] < 3 * size >> 20, True)
    got = run_child("read", path, out)
    ok &= expect("row widths", got["widths"], [2, 2, 2])
    ok &= expect("field length", got["field_chars"], reps * len(text))
    ok &= expect("field digest", got["field_sha256"], want.hexdigest())
    ok &= expect("SalvageReader peak RSS under 4x the field", got["peak_rss_mib"] < 4 * size >> 20, True)
    for p in (path, out, out + ".q"):
        os.remove(p)
    return ok


def write_repeated_into(f, block, count):
    per_chunk = max(1, (8 << 20) // len(block))
    chunk = block * per_chunk
    for _ in range(count // per_chunk):
        f.write(chunk)
    f.write(block * (count % per_chunk))


def same_file(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while chunk := fa.read(16 << 20):
            if chunk != fb.read(len(chunk)):
                return False
    return True


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child(*sys.argv[2:5])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--rows-past-4g", action="store_true")
    parser.add_argument("--field-gib", type=float, default=1.0)
    parser.add_argument("--skip-4g", action="store_true", help="only the big field")
    args = parser.parse_args()
    free = shutil.disk_usage(args.dir).free
    print(f"python {sys.version.split()[0]}, {free / 1e9:.0f} GB free in {args.dir}")
    d = tempfile.mkdtemp(prefix="corvel-big-", dir=args.dir)
    ok = True
    try:
        if args.skip_4g:
            pass
        elif free < 15e9:
            print("SKIP: files past 4 GiB need 15 GB free")
        else:
            print("== ~4.3 GiB file")
            ok &= check_repeated(d, "big.csv", BLOCK, int(4.3 * GiB))
            if args.rows_past_4g:
                if free < 20e9:
                    print("SKIP: 2**32 rows need 20 GB free")
                else:
                    print("== 2**32 + 2**20 rows")
                    ok &= check_repeated(d, "rows.csv", b"1\n" * (1 << 20), ((1 << 32) + (1 << 20)) * 2)
        print(f"== one field of {args.field_gib} GiB")
        ok &= check_big_field(d, int(args.field_gib * GiB))
    finally:
        shutil.rmtree(d)
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
