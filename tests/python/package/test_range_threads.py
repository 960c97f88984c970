"""threads=N: a file salvaged in byte ranges on several threads gives the
bytes, tables, batches and counts of threads=1, whatever the range size;
inputs the ranges don't apply to quietly run on one thread."""

import gzip
import inspect
import io
import os
import random
import re

import pytest

import corvel
from corvel import _core, _salvage
from corvel._options import check_options

from support import bench_corpus, file_with, outcome
from test_read import MESSY

corpus = bench_corpus()

# Extra inputs where cuts land inside quotes, multi-line fields, a table's
# ends and runs of clean lines longer than a range.
TRICKY = {
    "quoted_breaks": b"id,text\n" + b"".join(b'%d,"a\nb ""c"" \r\nd"\n' % i for i in range(300)),
    "shaped_table": (b"Sales report\n\nid,name,amount\n"
                     + b"".join(b"%d,item %d,%d\n" % (i, i, i * 3) for i in range(400))
                     + b"Total,,999\n\nk,v\n1,2\n"),
    "open_to_the_end": b"a,b\n" + b"1,2\n" * 200 + b'3,"never closed\n' + b"4,5\n" * 200,
    "latin1_mixed": "n,w\n".encode() + b"".join(
        ("%d,Zo\u00eb\n" % i).encode("latin-1" if i % 3 else "utf-8") for i in range(500)),
}
INPUTS = {**MESSY, **TRICKY}


@pytest.fixture
def ranges_of(monkeypatch):
    """Sets the range size, so that small files are split into many ranges."""
    def set_size(n):
        monkeypatch.setattr(_salvage, "_RANGE_BYTES", n)
    return set_size


@pytest.fixture
def split_calls(monkeypatch):
    """The `threads` the engine is called with, run after run."""
    calls = []
    real = _core.salvage

    def spy(*args, **kwargs):
        calls.append(kwargs.get("threads"))
        return real(*args, **kwargs)
    monkeypatch.setattr(_core, "salvage", spy)
    return calls


def salvage_files(tmp_path, src, tag, **options):
    out, q, a = (tmp_path / f"{tag}.{ext}" for ext in ("csv", "q.csv", "jsonl"))
    report = corvel.salvage(src, out, quarantine=q, audit=a, **options)
    return out.read_bytes(), q.read_bytes(), a.read_bytes(), outcome(report)


def bench_bytes(kind, size=150_000):
    return b"".join(corpus.rows(random.Random(kind), corpus.KINDS[kind], size))


def data_of(name, size=150_000):
    """An input by name; "bench:kind" is that kind of the benchmark corpus."""
    return bench_bytes(name[6:], size) if name.startswith("bench:") else INPUTS[name]


# Whatever the options, each input salvaged in ranges gives threads=1's bytes.
OPTIONED = ("bench:stray_quotes", b'\n9, "a\\"b",c\n\n1\n')


@pytest.mark.parametrize("name, range_bytes, options", [
    *((name, n, {}) for name in sorted(INPUTS) for n in (7, 64, 1000)),
    *((f"bench:{kind}", 4096, {}) for kind in sorted(corpus.KINDS)),
    *(("options", 500, o) for o in ({"header": False}, {"fill_ragged_rows": False, "merge_overflow": False},
                                     {"quote_char": None, "skip_blank_lines": False},
                                     {"escape_char": "\\", "skip_initial_space": True},
                                     {"output_delimiter": None, "delimiter": ","})),
])
def test_files_are_byte_identical(tmp_path, ranges_of, split_calls, name, range_bytes, options):
    data = data_of(OPTIONED[0], 60_000) + OPTIONED[1] if name == "options" else data_of(name)
    src = file_with(tmp_path / "in.csv", data)
    ranges_of(range_bytes)
    one = salvage_files(tmp_path, src, "one", **options)
    assert salvage_files(tmp_path, src, "three", threads=3, **options) == one
    assert salvage_files(tmp_path, src, "all", threads=0, **options) == one
    assert split_calls[1] == (3 if src.stat().st_size >= 2 * range_bytes else 1)


def table_of(src, way, **options):
    if way == "read":
        t = corvel.read(src, batch_rows=97, **options)
        return t.column_names, list(t.rows()), outcome(t.report), t.quarantine
    with corvel.iter_batches(src, batch_rows=500, **options) as reader:
        batches = [b.to_pylist() for b in reader]
    # Ranges are cut into batches of their own: the rows are the same, in
    # batches no longer than asked for.
    assert all(0 < len(b) <= 500 for b in batches)
    return [row for b in batches for row in b], outcome(reader.report)


@pytest.mark.parametrize("name, way", [
    *((name, "read") for name in ("shaped_table", "quoted_breaks", "latin1_mixed", "bench:multiline",
                                  "bench:stray_quotes")),
    ("bench:multiline", "iter_batches"),
])
def test_tables_and_batches_are_equal(tmp_path, ranges_of, split_calls, name, way):
    if way == "iter_batches":
        pytest.importorskip("pyarrow", reason="pyarrow has no wheel for this interpreter")
    src = file_with(tmp_path / "in.csv", data_of(name, 60_000))
    ranges_of(50)
    assert table_of(src, way, threads=2) == table_of(src, way)
    assert split_calls == [2, 1]


@pytest.mark.parametrize("source, output, split", [
    ("path", "path", True),
    ("path", "file object", False),       # written through Python
    ("gzip", "path", False),              # compressed
    ("file object", "path", False),       # not a descriptor
    ("utf-16", "path", False),            # transcoded
    ("small", "path", False),             # under two ranges
])
def test_inputs_ranges_dont_apply_to_run_on_one_thread(tmp_path, ranges_of, split_calls, source, output, split):
    data = INPUTS["quoted_breaks"]
    ranges_of(100)
    src = tmp_path / "in.csv"
    src.write_bytes({"gzip": gzip.compress(data), "utf-16": data.decode().encode("utf-16"),
                     "small": data[:150]}.get(source, data))
    want_out = tmp_path / "want.csv"
    corvel.salvage(src, want_out)
    arg = io.BytesIO(src.read_bytes()) if source == "file object" else src
    out = tmp_path / "out.csv" if output == "path" else io.BytesIO()
    corvel.salvage(arg, out, threads=4)
    assert (out.read_bytes() if output == "path" else out.getvalue()) == want_out.read_bytes()
    assert split_calls[-1] == (4 if split else 1)


@pytest.mark.parametrize("value, error, message", [
    (-1, ValueError, "threads must be 0 (one per core) or more, not -1"),
    (True, TypeError, "threads must be an int, not bool"),
    (2.0, TypeError, "threads must be an int, not float"),
    ("2", TypeError, "threads must be an int, not str"),
    (None, TypeError, "threads must be an int, not NoneType"),
])
@pytest.mark.parametrize("call", ["salvage", "read", "iter_batches"])
def test_bad_threads_are_refused(tmp_path, call, value, error, message):
    src = file_with(tmp_path / "in.csv", b"a,b\n1,2\n")
    args = (src, tmp_path / "out.csv") if call == "salvage" else (src,)
    with pytest.raises(error) as info:
        getattr(corvel, call)(*args, threads=value)
    assert str(info.value) == message
    assert not (tmp_path / "out.csv").exists()


def test_progress_reaches_the_end(tmp_path, ranges_of):
    src = file_with(tmp_path / "in.csv", INPUTS["quoted_breaks"])
    ranges_of(100)
    seen = []
    report = corvel.salvage(src, tmp_path / "out.csv", threads=2, progress=lambda done, total: seen.append(total))
    assert report.bytes_read == len(INPUTS["quoted_breaks"])
    assert seen and set(seen) == {len(INPUTS["quoted_breaks"])}


@pytest.mark.parametrize("command", ["salvage", "check"])
def test_cli_takes_threads(tmp_path, ranges_of, split_calls, command):
    from corvel import cli

    src = file_with(tmp_path / "in.csv", INPUTS["shaped_table"])
    ranges_of(100)
    out = tmp_path / "out.csv"
    args = [command, str(src), "--threads", "2", "--quiet", "--no-progress"]
    status = cli.main([*args, "-o", str(out)] if command == "salvage" else args)
    assert split_calls == [2]
    if command == "salvage":
        assert status == 0
        corvel.salvage(src, tmp_path / "want.csv")
        assert out.read_bytes() == (tmp_path / "want.csv").read_bytes()


class Stop(Exception):
    pass


def test_a_failing_progress_callback_stops_the_run_and_writes_nothing(tmp_path, ranges_of):
    src = file_with(tmp_path / "in.csv", INPUTS["quoted_breaks"])
    ranges_of(100)

    def fail(done, total):
        raise Stop(done)
    with pytest.raises(Stop):
        corvel.salvage(src, tmp_path / "out.csv", quarantine=tmp_path / "q.csv", threads=2, progress=fail)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


def test_callers_on_several_threads_each_get_the_whole_output(tmp_path, ranges_of):
    from concurrent.futures import ThreadPoolExecutor

    src = file_with(tmp_path / "in.csv", bench_bytes("multiline", 40_000))
    ranges_of(1000)
    want = salvage_files(tmp_path, src, "want")
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda i: salvage_files(tmp_path, src, f"t{i}", threads=1 + i % 3), range(8)))
    assert got == [want] * 8


# ---- Ranges planned once and salvaged each on its own (corvel.dask's blocks)

def planned_ranges(src, tmp_path, range_bytes, **options):
    """The clean bytes, quarantine, audit and summed counts of `src`
    salvaged range by range through the core, each range into files of its
    own, joined in order (one quarantine header)."""
    checked = check_options(**{**SALVAGE_DEFAULTS, **options})
    with _salvage.prepare(src, checked) as prepared:
        engine = _salvage.engine_options(prepared, checked)
        states = _core.plan_ranges(prepared.reader, prepared.sample, str(src), str(tmp_path / "model"), **engine,
                                   total=prepared.src.size, range_bytes=range_bytes)
        assert not (tmp_path / "model").exists()
        clean, quarantine, audit, counts = b"", b"", b"", []
        for k, state in enumerate(states):
            out, q, a = (tmp_path / f"range-{k}.{ext}" for ext in ("csv", "q.csv", "jsonl"))
            counts.append(_core.salvage(prepared.reader, b"", str(src), str(out), quarantine=str(q), audit=str(a),
                                        **engine, resume=state))
            clean += out.read_bytes()
            quarantine += q.read_bytes() if k == 0 else q.read_bytes().split(b"\n", 1)[1]
            audit += a.read_bytes()
        summed = {key: sum(c[key] for c in counts) for key in counts[0]}
        summed["width"], summed["delimiter"] = counts[0]["width"], counts[0]["delimiter"]
        report = _salvage._report(summed, prepared.plan, prepared.encoding, 0.0)
    return clean, quarantine, audit, outcome(report), len(states)


SALVAGE_DEFAULTS = {name: p.default for name, p in inspect.signature(corvel.salvage).parameters.items()
                    if p.default is not inspect.Parameter.empty and name not in ("quarantine", "audit", "threads")}


@pytest.mark.parametrize("name, range_bytes", [
    *((name, n) for name in sorted(INPUTS) for n in (7, 1000)),
    *((f"bench:{kind}", 4096) for kind in ("multiline", "stray_quotes", "wide")),
])
def test_planned_ranges_joined_are_the_whole_file(tmp_path, name, range_bytes):
    src = file_with(tmp_path / "in.csv", data_of(name, 60_000))
    *joined, ranges = planned_ranges(src, tmp_path, range_bytes)
    assert tuple(joined) == salvage_files(tmp_path, src, "whole")
    assert ranges > 1 or src.stat().st_size < 2 * range_bytes


NOT_PLANNED = "resume is not a state that plan_ranges() gave for this file with these options"


@pytest.mark.parametrize("call, error, message", [
    (lambda src, fo: _core.plan_ranges(fo, b"", None, "o.csv", False, False), TypeError,
     "plan_ranges() needs reader to be a descriptor of a regular file"),
    (lambda src, fo: _core.plan_ranges(src.fileno(), b"", None, "o.csv", False, False), TypeError,
     "plan_ranges() needs total, the size of the file"),
    (lambda src, fo: _core.salvage(fo, b"", None, "o.csv", False, False, resume=b"x"), TypeError,
     "resume needs reader to be a descriptor of a regular file"),
    (lambda src, fo: _core.salvage(src.fileno(), b"", None, "o.csv", False, False, resume="x"), TypeError,
     "resume must be None or bytes, not str"),
    (lambda src, fo: _core.salvage(src.fileno(), b"", None, "o.csv", False, False, resume=b"\0" * 200), ValueError,
     NOT_PLANNED),
])
def test_planned_ranges_refusals(tmp_path, call, error, message):
    path = file_with(tmp_path / "in.csv", b"a,b\n1,2\n")
    with open(path, "rb") as src:
        with pytest.raises(error, match=re.escape(message)):
            call(src, io.BytesIO(b"a,b\n"))
    assert not (tmp_path / "o.csv").exists()


@pytest.mark.parametrize("spoil, truncate, error, message", [
    (lambda s: s[:-1], None, ValueError, NOT_PLANNED),
    (lambda s: s[: len(s) // 2], None, ValueError, NOT_PLANNED),
    (lambda s: s + b"\0", None, ValueError, NOT_PLANNED),
    (lambda s: b"", None, ValueError, NOT_PLANNED),
    # A sound state of a file that has changed since: the input's fault.
    (lambda s: s, 3000, OSError, "the input changed since its byte ranges were planned"),
])
def test_spoiled_range_states_are_refused(tmp_path, spoil, truncate, error, message):
    path = file_with(tmp_path / "in.csv", data_of("quoted_breaks", 20_000))
    checked = check_options(**SALVAGE_DEFAULTS)
    with _salvage.prepare(path, checked) as prepared:
        engine = _salvage.engine_options(prepared, checked)
        states = _core.plan_ranges(prepared.reader, prepared.sample, str(path), str(tmp_path / "model"), **engine,
                                   total=prepared.src.size, range_bytes=1000)
        if truncate is not None:
            os.truncate(path, truncate)
        with pytest.raises(error, match=re.escape(message)):
            _core.salvage(prepared.reader, b"", str(path), str(tmp_path / "o.csv"), **engine,
                          resume=spoil(states[len(states) // 2]))
    assert not (tmp_path / "o.csv").exists()
