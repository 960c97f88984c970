"""A Table read by pyarrow, polars, pandas and DuckDB equals, cell for cell,
the rows of corvel.salvage's clean file, on the bench kinds and messy files."""

import random
import sysconfig

import pytest

import corvel

from support import bench_corpus, file_with
from test_read import MESSY, clean_rows

pytestmark = pytest.mark.thirdparty


corpus = bench_corpus()

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def need(name):
    if name == "duckdb" and FREE_THREADED:
        # Its module turns the GIL back on for the whole process, which the
        # free-threading tests that run after this one would then miss.
        pytest.skip("duckdb re-enables the GIL on the free-threaded build")
    return pytest.importorskip(name, reason=f"{name} has no wheel for this interpreter")


def arrow_rows(table):
    return [list(r) for r in zip(*(c.to_pylist() for c in table.columns))] if table.num_columns else []


def through(consumer, t):
    """The table's rows as the consumer sees them, as lists of str."""
    if consumer == "pyarrow":
        need("pyarrow")
        return arrow_rows(t.to_arrow())
    if consumer == "pyarrow_large":
        pa = need("pyarrow")
        reader = pa.RecordBatchReader.from_stream(t, schema=pa.schema([(n, pa.large_utf8()) for n in t.column_names]))
        table = reader.read_all()
        assert all(f.type == pa.large_utf8() for f in table.schema)
        return arrow_rows(table)
    if consumer == "polars":
        need("polars")
        return [list(r) for r in t.to_polars().rows()]
    if consumer == "pandas":
        need("pandas")
        need("pyarrow")
        return [list(r) for r in t.to_pandas().itertuples(index=False)]
    duckdb = need("duckdb")
    return [list(r) for r in duckdb.sql("select * from t").fetchall()]


CONSUMERS = ["pyarrow", "pyarrow_large", "polars", "pandas", "duckdb"]


def bench_file(tmp_path, kind):
    return file_with(tmp_path / f"{kind}.csv", b"".join(corpus.rows(random.Random(kind), corpus.KINDS[kind], 300_000)))


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("kind", sorted(corpus.KINDS))
def test_bench_kinds_equal_the_clean_file(tmp_path, kind, consumer):
    src = bench_file(tmp_path, kind)
    _, want = clean_rows(src, tmp_path)
    t = corvel.read(src, batch_rows=1000)
    assert through(consumer, t) == want


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("name", sorted(MESSY))
def test_messy_files_equal_the_clean_file(tmp_path, name, consumer):
    src = file_with(tmp_path / "in.csv", MESSY[name])
    header, want = clean_rows(src, tmp_path, header=True)
    t = corvel.read(src, header=True)
    assert through(consumer, t) == want
    if consumer == "polars" and header is not None:
        assert t.to_polars().columns == t.column_names


def test_views_share_the_text_and_outlive_the_table(tmp_path):
    pa = need("pyarrow")
    data = b"k,v\n" + b"".join(b"%d,a value longer than twelve bytes %d\n" % (i, i) for i in range(1000))
    t = corvel.read(file_with(tmp_path / "in.csv", data), header=True, columns=["v"])
    table = t.to_arrow()
    assert table.schema.field("v").type == pa.string_view()
    del t
    assert table.column("v")[999].as_py() == "a value longer than twelve bytes 999"


def test_iter_batches_into_parquet(tmp_path):
    pa = need("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    src = bench_file(tmp_path, "ragged")
    _, want = clean_rows(src, tmp_path, header=False)
    out = tmp_path / "out.parquet"
    with corvel.iter_batches(src, batch_rows=500, columns=[0, "column_3"], header=False) as batches:
        first = next(batches)
        with pq.ParquetWriter(out, first.schema) as w:
            w.write_batch(first)
            sizes = [first.num_rows]
            for b in batches:
                sizes.append(b.num_rows)
                w.write_batch(b)
    assert max(sizes) <= 500
    assert batches.report is not None and batches.report.rows_written == len(want)
    got = pq.read_table(out).cast(pa.schema([("column_1", pa.string()), ("column_3", pa.string())]))
    assert arrow_rows(got) == [[r[0], r[2]] for r in want]


def test_iter_batches_raises_the_salvage_error(tmp_path):
    need("pyarrow")
    with pytest.raises(FileNotFoundError):
        list(corvel.iter_batches(tmp_path / "missing.csv"))


def test_threads_convert_one_table(tmp_path, run_threads):
    need("pyarrow")
    t = corvel.read(bench_file(tmp_path, "multiline"), batch_rows=256)
    want = t.to_arrow()

    def work(_):
        for _ in range(5):
            assert t.to_arrow().equals(want)

    run_threads(8, work)
