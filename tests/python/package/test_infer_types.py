"""corvel.read(..., infer_types=True): a column takes a type only when every
non-empty cell of the whole table parses as it, and reaches each consumer as
that type; anything else keeps the column's text."""

import datetime as dt
import math
import sysconfig

import pytest

import corvel

from support import csv_bytes, file_with, outcome

UTC = dt.timezone.utc
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def need(name):
    if name == "duckdb" and FREE_THREADED:
        pytest.skip("duckdb re-enables the GIL on the free-threaded build")
    return pytest.importorskip(name, reason=f"{name} has no wheel for this interpreter")


# cells of column "c" -> Arrow type, its values, the pandas dtype, the DuckDB type.
# Which cells parse as what is the engine's tables' (test_infer.cpp); these
# check what each consumer makes of every type, and of text kept as text.
CASES = [
    (["1", "-2", "", "+3"], "int64", [1, -2, None, 3], "Int64", "BIGINT"),
    (["9223372036854775807", "-9223372036854775808", "0"], "int64",
     [2**63 - 1, -(2**63), 0], "Int64", "BIGINT"),
    (["007", "12345"], "string", None, "str", "VARCHAR"),  # zip codes keep their zeros
    (["0", "1", "1"], "int64", [0, 1, 1], "Int64", "BIGINT"),  # 0/1 are numbers
    (["true", "False", "TRUE"], "bool", [True, False, True], "boolean", "BOOLEAN"),
    (["true", "", "false"], "bool", [True, None, False], "boolean", "BOOLEAN"),
    (["1.5", "", "-inf", "1e3", ".25"], "double", [1.5, None, -math.inf, 1000.0, 0.25], "float64", "DOUBLE"),
    (["1", "2.5"], "double", [1.0, 2.5], "float64", "DOUBLE"),
    (["1.5", "NA"], "string", None, "str", "VARCHAR"),  # NA is text, never null
    (["2024-02-29", "", "0001-01-01"], "date32[day]", [dt.date(2024, 2, 29), None, dt.date(1, 1, 1)],
     "datetime64[ms]", "DATE"),
    (["2024-01-01T10:00", "2024-01-02 11:30:15.25", ""], "timestamp[us]",
     [dt.datetime(2024, 1, 1, 10), dt.datetime(2024, 1, 2, 11, 30, 15, 250000), None], "datetime64[us]",
     "TIMESTAMP"),
    (["2024-01-01", "2024-01-02 00:30"], "timestamp[us]",
     [dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 2, 0, 30)], "datetime64[us]", "TIMESTAMP"),
    (["2024-01-01T10:00Z", "2024-01-01T12:00:00.000001+02:00"], "timestamp[us, tz=UTC]",
     [dt.datetime(2024, 1, 1, 10, tzinfo=UTC), dt.datetime(2024, 1, 1, 10, 0, 0, 1, tzinfo=UTC)],
     "datetime64[us, UTC]", "TIMESTAMP WITH TIME ZONE"),
    (["2024-01-01T10:00", "2024-01-01T10:00Z"], "string", None, "str", "VARCHAR"),
    (["", ""], "string", None, "str", "VARCHAR"),
]
IDS = [f"{t}:{'|'.join(cells)}" for cells, t, *_ in CASES]


def read_column(tmp_path, cells, **options):
    """corvel.read of a two-column file, whose column "c" holds `cells`."""
    rows = [["k", "c"]] + [[str(i), c] for i, c in enumerate(cells)]
    src = file_with(tmp_path / "in.csv", csv_bytes(rows))
    return corvel.read(src, header=True, infer_types=True, **options), cells


@pytest.mark.parametrize("cells, arrow_type, values, pandas_dtype, duckdb_type", CASES, ids=IDS)
class TestConsumers:
    pytestmark = pytest.mark.thirdparty

    def test_pyarrow(self, tmp_path, cells, arrow_type, values, pandas_dtype, duckdb_type):
        need("pyarrow")
        t, cells = read_column(tmp_path, cells, batch_rows=2)  # the type holds across batches
        column = t.to_arrow().column("c")
        if arrow_type == "string":
            assert str(column.type) == "string_view"
            assert column.to_pylist() == cells
        else:
            assert str(column.type) == arrow_type
            assert column.to_pylist() == values
        assert t.to_arrow().column("k").to_pylist() == list(range(len(cells)))

    def test_polars(self, tmp_path, cells, arrow_type, values, pandas_dtype, duckdb_type):
        pl = need("polars")
        t, cells = read_column(tmp_path, cells)
        column = t.to_polars()["c"]
        expected = {"string": pl.String, "int64": pl.Int64, "bool": pl.Boolean, "double": pl.Float64,
                    "date32[day]": pl.Date, "timestamp[us]": pl.Datetime("us"),
                    "timestamp[us, tz=UTC]": pl.Datetime("us", "UTC")}[arrow_type]
        assert column.dtype == expected
        assert column.to_list() == (cells if values is None else values)

    def test_pandas(self, tmp_path, cells, arrow_type, values, pandas_dtype, duckdb_type):
        pd = need("pandas")
        need("pyarrow")
        t, cells = read_column(tmp_path, cells)
        column = t.to_pandas()["c"]
        assert str(column.dtype) == pandas_dtype
        if values is None:
            assert column.tolist() == cells
        elif arrow_type == "int64":  # exact, past 2**53 too, with <NA> for empty cells
            assert [None if v is pd.NA else v for v in column.tolist()] == values

    def test_duckdb(self, tmp_path, cells, arrow_type, values, pandas_dtype, duckdb_type):
        duckdb = need("duckdb")
        t, cells = read_column(tmp_path, cells)
        relation = duckdb.sql("select c from t")
        assert str(relation.types[0]) == duckdb_type
        got = [r[0] for r in relation.fetchall()]
        if values is None:
            assert got == cells
        elif arrow_type != "timestamp[us, tz=UTC]":  # DuckDB shows these in the session's zone
            assert got == values


def test_what_is_not_a_type_stays_as_the_source_has_it(tmp_path):
    # No consumer needed: rows(), names and counts are those of a string table.
    cells = ["1", "", "2.5", "x"]
    rows = [["a", "b", "c"]] + [[str(i), c, "2024-01-0" + str(i + 1)] for i, c in enumerate(cells)]
    src = file_with(tmp_path / "in.csv", csv_bytes(rows))
    typed = corvel.read(src, infer_types=True)
    plain = corvel.read(src)
    assert list(typed.rows()) == list(plain.rows()) == [r for r in rows[1:]]
    assert typed.column_names == plain.column_names == ["a", "b", "c"]
    assert typed.num_rows == plain.num_rows == 4
    assert outcome(typed.report) == outcome(plain.report)


@pytest.mark.thirdparty
def test_a_late_cell_decides_for_the_whole_table(tmp_path):
    pa = need("pyarrow")
    rows = [["n", "m"]] + [[str(i), str(i)] for i in range(1000)] + [["x", "1001"]]
    src = file_with(tmp_path / "in.csv", csv_bytes(rows))
    table = corvel.read(src, infer_types=True, batch_rows=7).to_arrow()
    assert table.schema == pa.schema([("n", pa.string_view()), ("m", pa.int64())])
    assert table.column("n").to_pylist()[-1] == "x"
    assert table.column("m").to_pylist() == list(range(1000)) + [1001]


@pytest.mark.thirdparty
def test_selected_columns_keep_their_types(tmp_path):
    pa = need("pyarrow")
    src = file_with(tmp_path / "in.csv", csv_bytes([["a", "b", "c"], ["1", "x", "true"], ["2", "y", "false"]]))
    t = corvel.read(src, infer_types=True, columns=["c", 0])
    assert t.to_arrow().schema == pa.schema([("c", pa.bool_()), ("a", pa.int64())])
    assert pa.table(t).to_pylist() == [{"c": True, "a": 1}, {"c": False, "a": 2}]


@pytest.mark.thirdparty
def test_large_text_beside_types(tmp_path):
    need("pandas")
    need("pyarrow")
    # to_pandas asks for large_utf8: the text column takes it, the typed one keeps its type.
    t, _ = read_column(tmp_path, ["x", "y"])
    assert [str(d) for d in t.to_pandas().dtypes] == ["Int64", "str"]


@pytest.mark.parametrize("call, value, error, text", [
    (corvel.read, "yes", TypeError, "infer_types must be True or False, not str"),
    (corvel.read, 1, TypeError, "infer_types must be True or False, not int"),
    (corvel.iter_batches, 1, TypeError, "infer_types must be True or False, not int"),
    (corvel.iter_batches, True, ValueError, "iter_batches can't take infer_types=True"),
])
def test_refusals(tmp_path, call, value, error, text):
    src = file_with(tmp_path / "in.csv", b"a\n1\n")
    with pytest.raises(error, match=text.replace("(", r"\(")):
        call(src, infer_types=value)


def test_the_core_decides_only_over_a_whole_table():
    from corvel import _core

    streamed = _core.Batches(10, None, 2)  # bounded: batches leave as they are read
    with pytest.raises(ValueError, match="only be inferred over a whole table"):
        streamed.infer_types()
    assert _core.Batches(10, None, None).infer_types() == []  # no rows, no columns


@pytest.mark.thirdparty
@pytest.mark.parametrize("suffix", [".parquet", ".jsonl"])
def test_convert_writes_the_types(tmp_path, suffix):
    import json

    from corvel.cli import main

    pa = need("pyarrow")
    src = file_with(tmp_path / "in.csv", csv_bytes([["n", "day", "zip", "x"], ["1", "2024-02-29", "007", "-inf"],
                                                        ["", "", "01", "nan"]]))
    out = tmp_path / f"out{suffix}"
    assert main(["convert", str(src), "-o", str(out), "--quiet", "--infer-types"]) == 0
    if suffix == ".jsonl":
        assert [json.loads(line) for line in out.read_text().splitlines()] == [
            {"n": 1, "day": "2024-02-29", "zip": "007", "x": "-inf"},
            {"n": None, "day": None, "zip": "01", "x": "nan"}]
        return
    import pyarrow.parquet as pq

    table = pq.read_table(out)
    assert [table.schema.types[i] for i in (0, 1, 3)] == [pa.int64(), pa.date32(), pa.float64()]
    assert str(table.schema.types[2]) in ("string", "string_view")
    assert table.column("zip").to_pylist() == ["007", "01"]
