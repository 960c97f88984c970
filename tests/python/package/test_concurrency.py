"""The core runs beside other Python code: the GIL let go while it works,
interpreters with a GIL each, and threads without one on 3.14t."""

import random
import subprocess
import sys
import textwrap
import threading

import pytest

import corvel
from support import csv_bytes, file_with, outcome


def make_file(path, seed, rows=2000):
    rng = random.Random(seed)
    table = [["id", "name", "value"]]
    for i in range(rows):
        row = [str(i), rng.choice(["Zoë", "a,b", 'q"q', "", "x\ny"]), str(rng.random())]
        # Ragged: 0 to 3 fields kept, and now and then one or two more.
        table.append((row[:rng.randrange(4)] or [""]) + ["extra"] * (rng.randrange(1, 3) if rng.random() < 0.1 else 0))
    data = csv_bytes(table)  # odd seeds in latin-1
    return file_with(path, data.replace("Zoë".encode(), "Zoë".encode("latin-1")) if seed % 2 else data)


def report_of(args):
    src, out = args
    return outcome(corvel.salvage(src, out)), open(out, "rb").read()


@pytest.mark.parametrize("call", ["corvel.salvage(fifo, out, progress=progress).rows_written",
                                  "corvel.read(fifo, progress=progress).num_rows"])
def test_gil_released_while_blocked_reading_a_fifo(tmp_path, call):
    """The call blocks inside the engine on a FIFO while this process's
    main thread writes into it: that can only finish if the engine let the
    GIL go. In a child process, so that a hang is cut by the timeout."""
    script = textwrap.dedent(f"""
        import os, sys, threading, corvel
        fifo, out = sys.argv[1], sys.argv[2]
        os.mkfifo(fifo)
        first = threading.Event()
        progress = lambda d, t: first.set()
        result = []
        t = threading.Thread(target=lambda: result.append({call}))
        t.start()
        with open(fifo, "wb", buffering=0) as w:
            w.write(b"a,b\\n" + b"1,2\\n" * 40_000)   # past the encoding sample
            assert first.wait(30), "the engine never reported"
            # The engine is now blocked in read(); this thread needs the GIL to go on.
            for _ in range(10):
                w.write(b"3,4\\n" * 10_000)
        t.join(30)
        assert not t.is_alive()
        print(*result)
    """)
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "in.fifo"), str(tmp_path / "out.csv")],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.decode().split() == [str(40_000 + 100_000)]  # "a,b" is detected as the header


def test_interpreter_pool_gives_the_reports_of_sequential_runs(tmp_path):
    from concurrent.futures import InterpreterPoolExecutor

    jobs = [(str(make_file(tmp_path / f"in{i}.csv", i)), str(tmp_path / f"out{i}.csv")) for i in range(2)]
    sequential = [report_of(j) for j in jobs]
    with InterpreterPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(corvel.salvage, *j) for j in jobs]
        reports = [f.result(timeout=120) for f in futures]
    for (want, want_bytes), got, (_, out) in zip(sequential, reports, jobs, strict=True):
        assert outcome(got) == want
        assert open(out, "rb").read() == want_bytes


@pytest.mark.skipif(getattr(sys, "_is_gil_enabled", lambda: True)(), reason="needs the free-threaded build, GIL off")
def test_eight_threads_give_the_reports_of_one(tmp_path, run_threads):
    jobs = [(str(make_file(tmp_path / f"in{i}.csv", i)), str(tmp_path / f"out{i}.csv")) for i in range(8)]
    one = [report_of(j) for j in jobs]
    results = [None] * len(jobs)
    barrier = threading.Barrier(len(jobs))

    def work(i):
        barrier.wait()
        results[i] = report_of(jobs[i])

    run_threads(len(jobs), work)
    assert results == one
    assert not sys._is_gil_enabled()
