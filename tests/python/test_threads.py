import subprocess
import sys
import sysconfig
import threading

import pytest

import _corvel_backend as corvel

free_threaded = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter"
)


@free_threaded
def test_import_keeps_gil_disabled():
    code = "import sys, _corvel_backend; print(sys._is_gil_enabled())"
    out = subprocess.run(
        [sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, check=True
    )
    assert out.stdout.strip() == "False"
    assert out.stderr == ""


def test_concurrent_sniff(run_threads):
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert not sys._is_gil_enabled(), "something re-enabled the GIL; the threads below would not overlap"
    samples = {
        "a;b;c\nd;e;f\n" * 30: ";",
        "a\tb\nc\td\n" * 30: "\t",
        'x|"y|z"|w\n1|2|3\n' * 30: "|",
        "p,q\nr,s\n" * 30: ",",
    }
    items = list(samples.items())
    errors = []
    barrier = threading.Barrier(8)

    def work(k):
        barrier.wait()
        for i in range(300):
            text, want = items[(k + i) % len(items)]
            got = corvel.sniff(text)
            if got != want:
                errors.append((text[:10], got, want))

    run_threads(8, work)
    assert errors == []
