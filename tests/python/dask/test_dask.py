"""corvel.dask on a real local cluster: many messy files salvaged in parallel
equal each file salvaged alone, also when a worker dies mid-run."""

import concurrent.futures
import os
import random
import re
import shutil
import signal
import time

import pytest

dask = pytest.importorskip("dask", reason="corvel[dask] is not installed for this interpreter")
pytest.importorskip("dask.dataframe", reason="corvel[dask] is not installed for this interpreter")
distributed = pytest.importorskip("distributed", reason="corvel[dask] is not installed for this interpreter")
pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow is not installed for this interpreter")

import corvel  # noqa: E402
import corvel.dask  # noqa: E402
from support import outcome, read_back, wait_until  # noqa: E402

pytestmark = pytest.mark.dask

# A guard against a hang only: every wait below ends on an event long before.
GUARD = 180
# Two worker processes of one thread, all on the loopback.
CLUSTER = dict(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
               dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0")

def messy_rows(rng: random.Random, n: int) -> list[str]:
    kinds = [
        lambda i: f"{i},name {i},plain,{i * 3}",
        lambda i: f"{i},short {i}",                                 # padded
        lambda i: f"{i},long,a,b,c,{i}",                            # merged
        lambda i: f'{i},"say "hi" now",x,{i}',                      # stray quotes
        lambda i: f'{i},"two\nlines, and a comma",y,{i}',           # a quoted line break
        lambda i: "",                                               # blank
        lambda i: f'{i},"never closed,z,{i}',                        # an open quote
        lambda i: f"{i},caf\u00e9,\u00fcml\u00e4ut,{i}",
    ]
    weights = [60, 8, 8, 6, 6, 4, 1, 7]
    return [rng.choices(kinds, weights)[0](i) for i in range(n)]


@pytest.fixture(scope="module")
def lake(tmp_path_factory):
    """20 messy files of a few hundred rows each."""
    root = tmp_path_factory.mktemp("lake")
    rng = random.Random(20)
    for k in range(20):
        rows = ["id,name,note,amount", *messy_rows(rng, rng.randrange(50, 400))]
        if k % 7 == 3:
            rows.insert(0, "Exported by a tool nobody remembers")
        ending = "\r\n" if k % 3 == 0 else "\n"
        (root / f"part-{k:02d}.csv").write_bytes(ending.join(rows).encode() + ending.encode() * (k % 2))
    return root


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(**CLUSTER) as c:
        yield c


@pytest.fixture
def client(cluster):
    with distributed.Client(cluster) as c:
        yield c


def alone(path, dialect, tmp, **options):
    """A file salvaged on its own: the report, the header, the rows, the quarantine bytes."""
    out, quar = tmp / (path.name + ".clean"), tmp / (path.name + ".quar")
    report = corvel.salvage(path, out, quarantine=quar, dialect=dialect, **options)
    rows = read_back(out)
    header = rows.pop(0) if report.header_written else None
    return report, header, rows, quar.read_bytes()


def check_lake(lake, out, quarantine, report, tmp, **options):
    files = sorted(lake.glob("*.csv"))
    dialect = corvel.detect(files[0])
    assert report.dialect == dialect
    assert list(report.files) == [str(f) for f in files]
    expected = {}
    for f in files:
        mine, header, rows, quar = alone(f, dialect, tmp, **options)
        expected[f] = mine
        table = pq.read_table(out / (f.name + ".parquet"))
        # A header's names as corvel.read makes them (empty or taken names renamed).
        assert table.column_names == corvel.read(f, dialect=dialect, **options).column_names, f
        if header is not None and all(header) and len(set(header)) == len(header):
            assert table.column_names == header, f
        assert [list(r.values()) for r in table.to_pylist()] == rows, f
        assert (quarantine / (f.name + ".quarantine.csv")).read_bytes() == quar, f
        assert outcome(report.files[str(f)]) == outcome(mine), f
    for name in ("rows_read", "rows_written", "rows_repaired", "padded", "merged", "quote_repaired",
                 "rows_set_aside", "preamble", "rows_skipped", "bytes_read"):
        assert getattr(report, name) == sum(getattr(r, name) for r in expected.values()), name
    # The lake is messy enough to exercise every fate.
    assert report.padded and report.quote_repaired and report.rows_skipped
    assert report.merged if options.get("merge_overflow", True) else report.too_many_columns
    assert sorted(p.name for p in out.iterdir()) == sorted(f.name + ".parquet" for f in files)


@pytest.mark.parametrize("options", [{}, {"merge_overflow": False, "header": True}])
def test_salvage_to_parquet_equals_each_file_alone(lake, client, tmp_path, options):
    out, quarantine = tmp_path / "out", tmp_path / "quarantine"
    report = corvel.dask.salvage_to_parquet(str(lake / "*.csv"), out, quarantine_dir=quarantine, **options)
    assert isinstance(report, corvel.Report)
    check_lake(lake, out, quarantine, report, tmp_path, **options)


class WaitOnce:
    """A progress callback: the first salvage to call it, on any worker,
    says which process it is in and waits for a marker file."""

    def __init__(self, where: str) -> None:
        self.where = where

    def __call__(self, done, total):
        try:
            fd = os.open(os.path.join(self.where, "claimed"), os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return
        os.close(fd)
        with open(os.path.join(self.where, "pid.tmp"), "w") as f:
            f.write(str(os.getpid()))
        os.rename(os.path.join(self.where, "pid.tmp"), os.path.join(self.where, "waiting"))
        deadline = time.monotonic() + GUARD
        while not os.path.exists(os.path.join(self.where, "go")) and time.monotonic() < deadline:
            time.sleep(0.02)


def test_a_worker_killed_mid_run_loses_and_doubles_nothing(lake, big, tmp_path):
    """With a file in blocks among the files: the blocks done on the killed
    worker are run again too."""
    events = tmp_path / "events"
    events.mkdir()
    mixed = tmp_path / "mixed"
    shutil.copytree(lake, mixed)
    shutil.copy(big, mixed / "zz-big.csv")
    lake = mixed
    out, quarantine = tmp_path / "out", tmp_path / "quarantine"
    with distributed.LocalCluster(**CLUSTER) as cluster, distributed.Client(cluster) as client:
        workers = set(client.run(os.getpid).values())
        pool = concurrent.futures.ThreadPoolExecutor(1)
        run = pool.submit(corvel.dask.salvage_to_parquet, str(lake / "*.csv"), out,
                          quarantine_dir=quarantine, progress=WaitOnce(str(events)), blocksize=256 << 10)
        wait_until((events / "waiting").exists, "a salvage to wait on its marker", guard=GUARD)
        victim = int((events / "waiting").read_text())
        # Only ever one of this test's own workers.
        assert victim in workers
        os.kill(victim, signal.SIGKILL)
        (events / "go").touch()
        report = run.result(timeout=GUARD)
        pool.shutdown()
    check_lake(lake, out, quarantine, report, tmp_path)
    # Nothing half-written is left behind by the salvage that was killed.
    assert not [p for p in [*out.iterdir(), *quarantine.iterdir()] if ".corvel-" in p.name]


def test_read_is_each_file_read_alone(lake, client):
    files = sorted(lake.glob("*.csv"))
    dialect = corvel.detect(files[0])
    frame = corvel.dask.read(str(lake / "*.csv"))
    assert frame.npartitions == len(files)
    got = frame.compute()
    want = [corvel.read(f, dialect=dialect).to_pandas() for f in files]
    # The first file's names for all: a file with a preamble took its first line as the header.
    assert list(got.columns) == list(want[0].columns)
    assert got.astype(str).values.tolist() == [r for w in want for r in w.astype(str).values.tolist()]


def test_read_refuses_a_file_of_another_width(lake, client, tmp_path):
    (tmp_path / "a.csv").write_bytes(b"x,y\n1,2\n")
    (tmp_path / "b.csv").write_bytes(b"p,q,r\n1,2,3\n")
    # The first file's width is part of its dialect: only without a width check can another differ.
    frame = corvel.dask.read([tmp_path / "a.csv", tmp_path / "b.csv"], expected_columns=0)
    with pytest.raises(ValueError, match="b.csv has 3 columns where the first file has 2"):
        frame.compute()


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda lake: corvel.dask.read(str(lake / "*.nothing")), FileNotFoundError, "no file matches"),
    (lambda lake: corvel.dask.read(str(lake / "*.csv"), quarantine="q.csv"), TypeError,
     "read() got an unexpected keyword argument 'quarantine'"),
    (lambda lake: corvel.dask.read([lake / "part-00.csv", 3]), TypeError, "must hold paths"),
    (lambda lake: corvel.dask.read([]), ValueError, "names no file"),
    (lambda lake: corvel.dask.read(str(lake / "*.csv"), blocksize=True), TypeError, "blocksize must be"),
    (lambda lake: corvel.dask.read(str(lake / "*.csv"), blocksize=0), ValueError, "blocksize must be at least 1"),
    (lambda lake: corvel.dask.salvage_to_parquet(str(lake / "*.csv"), lake / "o", blocksize=-5), ValueError,
     "blocksize must be at least 1"),
    (lambda lake: corvel.dask.salvage_to_parquet([lake / "part-00.csv", lake / "part-00.csv"], lake / "o"),
     ValueError, "would both be written"),
    (lambda lake: corvel.dask.salvage_to_parquet(str(lake / "*.csv"), lake / "o", audit="a.jsonl"),
     TypeError, "unexpected keyword argument 'audit'"),
])
def test_bad_arguments(lake, call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call(lake)


# ---- One file in byte ranges, each a partition

def ragged_file(rng: random.Random, n: int, *, ends: bool) -> bytes:
    """A messy table; with `ends`, a title above it, a footer of totals, and
    a later table after a blank line."""
    rows = ["id,name,note,amount", *messy_rows(rng, n)]
    if ends:
        rows = ["Quarterly export", "", *rows, "Total,,,12345", "", "k,v", "1,2", "3,4"]
    return ("\n".join(rows) + "\n").encode()


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A few MB of messy rows, split below into blocks of a few hundred KB."""
    path = tmp_path_factory.mktemp("big") / "big.csv"
    path.write_bytes(ragged_file(random.Random(3), 60000, ends=True))
    return path


@pytest.mark.parametrize(("blocksize", "options"), [
    (997, {}),
    (4096, {"merge_overflow": False, "header": True}),
    (50_000, {"columns": ["amount", "id"]}),
    (1 << 30, {}),  # one block: the file whole
])
@pytest.mark.parametrize("ends", [False, True])
def test_a_file_in_blocks_is_the_file_whole(tmp_path, blocksize, options, ends):
    path = tmp_path / "f.csv"
    path.write_bytes(ragged_file(random.Random(blocksize), 3000, ends=ends))
    dialect = corvel.detect(path)
    with dask.config.set(scheduler="sync"):
        frame = corvel.dask.read(path, blocksize=blocksize, **options)
        assert (frame.npartitions > 1) == (path.stat().st_size >= 2 * blocksize)
        want = corvel.read(path, dialect=dialect, **options).to_pandas()
        got = frame.compute()
        assert list(got.columns) == list(want.columns)
        assert got.astype(str).values.tolist() == want.astype(str).values.tolist()
        reports = {}
        for name, block in (("split", blocksize), ("whole", None)):
            reports[name] = corvel.dask.salvage_to_parquet(path, tmp_path / name, quarantine_dir=tmp_path / name,
                                                           blocksize=block, **options)
    split, whole = (tmp_path / n for n in ("split", "whole"))
    assert outcome(reports["split"]) == outcome(reports["whole"])
    assert outcome(reports["split"].files[str(path)]) == outcome(reports["whole"].files[str(path)])
    assert pq.read_table(split / "f.csv.parquet").equals(pq.read_table(whole / "f.csv.parquet"))
    assert (split / "f.csv.quarantine.csv").read_bytes() == (whole / "f.csv.quarantine.csv").read_bytes()
    assert sorted(p.name for p in split.iterdir()) == ["f.csv.parquet", "f.csv.quarantine.csv"]
    if "columns" not in options:
        assert outcome(reports["whole"].files[str(path)]) == outcome(alone(path, dialect, tmp_path, **options)[0])


def test_a_file_changed_since_its_plan_fails_its_partitions(tmp_path):
    path = tmp_path / "f.csv"
    path.write_bytes(ragged_file(random.Random(2), 2000, ends=False))
    with dask.config.set(scheduler="sync"):
        frame = corvel.dask.read(path, blocksize=4096)
        with open(path, "ab") as f:
            f.write(b"1,2,3,4\n")
        with pytest.raises(OSError, match="the input changed since its byte ranges were planned"):
            frame.compute()


def test_files_too_small_or_compressed_stay_whole(tmp_path):
    import gzip

    data = ragged_file(random.Random(1), 500, ends=False)
    (tmp_path / "a.csv").write_bytes(data)
    (tmp_path / "b.csv").write_bytes(gzip.compress(data))
    (tmp_path / "c.csv").write_bytes(data[:1000])
    with dask.config.set(scheduler="sync"):
        frame = corvel.dask.read(str(tmp_path / "*.csv"), blocksize=1000)
        assert frame.npartitions > 3
        parts = frame.map_partitions(len).compute().tolist()
    whole = [len(corvel.read(tmp_path / n)) for n in ("a.csv", "b.csv", "c.csv")]
    assert sum(parts[:-2]) == whole[0] and parts[-2:] == whole[1:]


def test_salvage_to_parquet_splits_a_large_file_on_a_cluster(lake, big, client, tmp_path):
    """The lake and one file of a few MB in blocks: the result is each file
    salvaged alone."""
    mixed = tmp_path / "mixed"
    shutil.copytree(lake, mixed)
    shutil.copy(big, mixed / "zz-big.csv")
    out, quarantine = tmp_path / "out", tmp_path / "quarantine"
    blocksize = 256 << 10
    report = corvel.dask.salvage_to_parquet(str(mixed / "*.csv"), out, quarantine_dir=quarantine,
                                            blocksize=blocksize)
    parts = list((out / "zz-big.csv.parquet").iterdir())
    assert len(parts) > 4
    check_lake(mixed, out, quarantine, report, tmp_path)


@pytest.mark.large
def test_a_200_mb_file_in_blocks_on_the_cluster_is_the_file_whole(client, tmp_path):
    """200 MB of messy rows under a title, and a later table, in 16 MiB blocks
    on the two workers: the Parquet table, the quarantine and the report are
    those of the file as one task, and of the file salvaged alone."""
    path = tmp_path / "big.csv"
    # No blank lines: after one, a row of another shape would end the table.
    block = ("\n".join(r for r in messy_rows(random.Random(200), 40000) if r) + "\n").encode()
    with open(path, "wb") as f:
        f.write(b"Quarterly export\n\nid,name,note,amount\n")
        while f.tell() < 200_000_000:
            f.write(block)
        f.write(b"\nk,v\n1,2\n")
    dialect = corvel.detect(path)
    reports = {}
    for name, blocksize in (("split", 16 << 20), ("whole", None)):
        reports[name] = corvel.dask.salvage_to_parquet(path, tmp_path / name, quarantine_dir=tmp_path / name,
                                                       dialect=dialect, blocksize=blocksize)
    split, whole = (tmp_path / n for n in ("split", "whole"))
    assert len(list((split / "big.csv.parquet").iterdir())) > 10
    assert pq.read_table(split / "big.csv.parquet").equals(pq.read_table(whole / "big.csv.parquet"))
    quarantined = (split / "big.csv.quarantine.csv").read_bytes()
    assert quarantined == (whole / "big.csv.quarantine.csv").read_bytes()
    alone = corvel.salvage(path, tmp_path / "alone.csv", quarantine=tmp_path / "alone.q.csv", dialect=dialect)
    assert outcome(reports["split"]) == outcome(reports["whole"])
    assert outcome(reports["split"].files[str(path)]) == outcome(alone)
    assert quarantined == (tmp_path / "alone.q.csv").read_bytes()
    assert alone.rows_written > 6_000_000 and alone.padded and alone.merged and alone.quote_repaired
