import gc
import threading
import sysconfig

import pytest

import _corvel_backend as corvel

SIGNATURE = ('(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, merge_overflow=True, '
             "expected_columns=None, repair_quotes=True)")


@pytest.fixture
def csv_file(tmp_path):
    def make(data: bytes) -> str:
        path = tmp_path / f"f{len(list(tmp_path.iterdir()))}.csv"
        path.write_bytes(data)
        return str(path)

    return make


def test_metadata():
    R = corvel.SalvageReader
    assert R.__text_signature__ == SIGNATURE
    assert R.__doc__ == "In-memory streaming reader iterating over salvaged rows."
    assert corvel.open.__text_signature__ == SIGNATURE
    assert corvel.open.__doc__ == "Convenience function to open and stream a salvaged CSV file."
    assert R.__enter__.__doc__ is None and R.__enter__.__text_signature__ == "($self)"
    assert R.__exit__.__text_signature__ == "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"
    with pytest.raises(TypeError):
        type("Sub", (R,), {})


@pytest.mark.parametrize(
    "data, options, rows, counts",
    [
        (b"", {}, [], (0, 0, 0, 0, ",", 0)),
        (b"a,b,c\n1,2,3\n4,5,6\n", {}, [["a", "b", "c"], ["1", "2", "3"], ["4", "5", "6"]], (3, 3, 0, 0, ",", 3)),
        (b"a,b,c\n1,2\n4,5,6\n", {"fill_ragged_rows": False}, [["a", "b", "c"], ["4", "5", "6"]],
         (3, 2, 0, 1, ",", 3)),
        (b"a;b\nc;d;e\n\n", {}, [["a", "b"], ["c", "d;e"], ["", ""]], (3, 3, 2, 0, ";", 2)),
        (b'x,"q ""y"" z",caf\xc3\xa9\n\xff,\xe2\x82\xac,"a\nb"\n', {},
         [["x", 'q "y" z', "caf\u00e9"], ["\ufffd", "\u20ac", "a\nb"]], (2, 2, 0, 0, ",", 3)),
        (b"a|b\n", {"delimiter": "|", "expected_columns": 0, "repair_quotes": False}, [["a", "b"]],
         (1, 1, 0, 0, "|", 0)),
    ],
)
@pytest.mark.parametrize("factory", [corvel.SalvageReader, corvel.open])
def test_rows_and_summary(csv_file, factory, data, options, rows, counts):
    reader = factory(csv_file(data), **options)
    assert type(reader) is corvel.SalvageReader
    assert len(reader) == len(rows)
    assert tuple(reader.summary.to_dict().values()) == counts
    assert list(reader) == rows
    assert list(reader) == [] and len(reader) == len(rows)  # no rewind, length unchanged
    with pytest.raises(StopIteration):
        next(reader)
    with pytest.raises(StopIteration):
        next(reader)


def test_context_manager(csv_file):
    reader = corvel.open(csv_file(b"a,b\nc,d\n"))
    with reader as r:
        assert r is reader
        assert next(r) == ["a", "b"]
    with pytest.raises(KeyError):
        with reader:
            raise KeyError("inside")
    assert reader.__exit__(ValueError, ValueError("x"), None) is False
    assert list(reader) == [["c", "d"]]  # still usable after the blocks
    assert iter(reader) is reader


def test_summary_is_a_fresh_copy(csv_file):
    reader = corvel.SalvageReader(csv_file(b"a,b\n"))
    assert reader.summary is not reader.summary
    assert reader.summary.to_dict() == reader.summary.to_dict()
    with pytest.raises(AttributeError):
        reader.summary = None


@pytest.mark.parametrize(
    "path, exc, message",
    [
        ("/nonexistent/x.csv", FileNotFoundError, "No such file or directory (os error 2)"),
        ("/", IsADirectoryError, "Is a directory (os error 21)"),
        ("/etc/hostname/x", NotADirectoryError, "Not a directory (os error 20)"),
        ("a\0b", OSError, "file name contained an unexpected NUL byte"),
    ],
)
@pytest.mark.parametrize("factory", [corvel.SalvageReader, corvel.open])
def test_file_errors(factory, path, exc, message):
    with pytest.raises(OSError) as info:
        factory(path)
    e = info.value
    assert type(e) is exc
    assert e.args == (message,) and e.errno is None


@pytest.mark.parametrize(
    "factory, name", [(corvel.SalvageReader, "SalvageReader.__new__()"), (corvel.open, "open()")]
)
def test_binding_errors(raises_with_note, factory, name):
    raises_with_note(TypeError, f"{name} missing 1 required positional argument: 'file_path'", None, factory)
    raises_with_note(TypeError, f"{name} takes from 1 to 7 positional arguments but 8 were given", None,
                     factory, *"abcdefgh")
    raises_with_note(TypeError, f"{name} got an unexpected keyword argument 'path'", None, factory, path="x")
    raises_with_note(TypeError, "'int' object is not an instance of 'bool'", "merge_overflow",
                     factory, "x", merge_overflow=0)


def test_exit_binding(raises_with_note, tmp_path):
    p = tmp_path / "a.csv"
    p.write_bytes(b"a\n")
    r = corvel.open(str(p))
    assert r.__exit__() is False and r.__exit__(1, 2, _exc_tb=3) is False
    raises_with_note(TypeError, "SalvageReader.__exit__() takes from 0 to 3 positional arguments but 4 were given",
                     None, r.__exit__, 1, 2, 3, 4)


def _rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def test_no_leaks(csv_file):
    path = csv_file(b"id,name,note\n" + b"1,caf\xc3\xa9,x\n2,b\n3,c,d,e\n" * 200)

    def cycle():
        for _ in range(300):
            for row in corvel.open(path):
                pass
            corvel.SalvageReader(path).summary.to_dict()
            for bad in ({"expected_columns": -1}, {"delimiter": 1}, {"nope": 1}):
                try:
                    corvel.open(path, **bad)
                except (TypeError, OverflowError):
                    pass
            try:
                corvel.open(path + ".missing")
            except OSError:
                pass

    cycle()
    gc.collect()
    before = _rss_kib()
    for _ in range(5):
        cycle()
    gc.collect()
    assert _rss_kib() - before < 2048


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_shared_reader_across_threads(csv_file, run_threads):
    n = 20_000
    reader = corvel.open(csv_file(b"".join(b"%d,x\n" % i for i in range(n))))
    results = [[] for _ in range(8)]
    refusals = [0] * 8
    barrier = threading.Barrier(8)

    errors = []

    def work(k):
        barrier.wait()
        while True:
            try:
                row = next(reader)
            except StopIteration:
                return
            except RuntimeError as e:
                refusals[k] += 1
                if str(e) != "Already borrowed":
                    errors.append(e)
                continue
            results[k].append(int(row[0]))
            try:
                len(reader)  # a shared use, refused while another thread advances
            except RuntimeError as e:
                if str(e) != "Already mutably borrowed":
                    errors.append(e)

    run_threads(8, work)
    assert errors == []
    got = sorted(i for r in results for i in r)
    assert got == list(range(n))  # every row once: none lost, none twice
