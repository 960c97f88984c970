import csv
import io
import os
import tempfile
import threading

import pytest
from hypothesis import settings
from hypothesis.configuration import set_hypothesis_home_dir

# Property tests: a quick run by default; CORVEL_HYPOTHESIS=long for a soak.
# No example database, and its Unicode tables cached outside the tree: like
# pytest's cache, nothing is written beside the tests.
set_hypothesis_home_dir(os.path.join(tempfile.gettempdir(), "corvel-hypothesis"))
settings.register_profile("default", max_examples=200, deadline=None, database=None)
settings.register_profile("long", max_examples=20_000, deadline=None, database=None)
settings.load_profile(os.environ.get("CORVEL_HYPOTHESIS", "default"))


def raises_with_note(exc_type, message, note, fn, *args, **kwargs):
    """Calls fn, expecting exc_type with `message` (unless None) and, when
    `note` names a parameter, exactly the note the binder adds for it."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])
    return info.value


@pytest.fixture(name="raises_with_note")
def raises_with_note_fixture():
    return raises_with_note


def check_salvage(src, out, quar, **options):
    """Salvages `src` into `out` and `quar` and checks what must hold for any
    input: the counts add up, SalvageReader yields the rows of the clean
    file, which csv reads back, and the quarantine file is one record per
    rejected row. Returns the summary."""
    import _corvel_backend as corvel

    s = corvel.salvage_file(str(src), str(out), str(quar), **options)
    assert s.total_rows == s.salvaged_rows + s.quarantined_rows
    assert s.repaired_rows <= s.salvaged_rows

    with corvel.SalvageReader(str(src), **options) as reader:
        assert len(reader) == s.salvaged_rows
        assert reader.summary.to_dict() == s.to_dict()
        rows = list(reader)
    assert len(rows) == s.salvaged_rows
    if s.inferred_columns:
        assert {len(r) for r in rows} <= {s.inferred_columns}

    def parse(data: bytes, **dialect):  # the files are always UTF-8
        return list(csv.reader(io.StringIO(data.decode("utf-8"), newline=""), strict=True, **dialect))

    # The engine works on bytes: a character stands for its first UTF-8 byte.
    delimiter, quote = s.detected_delimiter, chr(options.get("quote_char", '"').encode()[0])
    clean = out.read_bytes()
    if delimiter != quote and not {delimiter, quote} & {"\r", "\n"}:  # else csv can't tell them apart
        # csv reads an empty line as [], a row of one empty field.
        assert parse(clean, delimiter=delimiter, quotechar=quote) == [[] if r == [""] else r for r in rows]
    else:
        clean.decode("utf-8")

    header, *records = parse(quar.read_bytes())
    assert header == ["line", "reason", "raw_content"]
    assert len(records) == s.quarantined_rows
    for record in records:
        assert len(record) == 3 and record[0].isdecimal() and record[1].startswith("Row has")
    return s


def run_threads(count, work):
    """Runs work(k) on `count` threads at once, k = 0 .. count-1, waits for
    them, and raises the first exception any of them raised."""
    from support import GUARD, Hung

    errors = []

    def guarded(k):
        try:
            work(k)
        except BaseException as e:  # raised again here, in the test's thread
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(GUARD * 2)
    if any(t.is_alive() for t in threads):
        raise Hung("hung: a thread never finished")
    if errors:
        raise errors[0]


@pytest.fixture(name="run_threads")
def run_threads_fixture():
    return run_threads


def pytest_sessionstart(session):
    # `make asan-python-tests` names the directory the module must come from.
    want = os.environ.get("CORVEL_MODULE_DIR")
    if want:
        import _corvel_backend

        got = os.path.dirname(os.path.realpath(_corvel_backend.__file__))
        if got != os.path.realpath(want):
            raise pytest.UsageError(f"_corvel_backend comes from {got}, not {want}")
        import corvel._core

        got = os.path.dirname(os.path.dirname(os.path.realpath(corvel._core.__file__)))
        if got != os.path.realpath(want):
            raise pytest.UsageError(f"corvel._core comes from {got}, not {want}")
