"""A short round of tools/stress/threads.py: mixed calls from eight threads."""

import importlib.util
import pathlib
import sys
import sysconfig

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "stress" / "threads.py"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
@pytest.mark.skipif(not SCRIPT.is_file(), reason="source tree not present")
def test_mixed_calls_from_eight_threads():
    assert not sys._is_gil_enabled()
    spec = importlib.util.spec_from_file_location("corvel_thread_stress", SCRIPT)
    stress = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(stress)
    # A fixed amount of work: 100 calls a thread, about 2/7 of them taking
    # 1 to 199 rows each from readers of 2,000 rows that the threads share,
    # so several are drained however fast the machine is.
    errors, counts = stress.run(threads=8, calls=100, shared_rows=2000, log=lambda _: None)
    assert errors == []
    assert counts["shared readers drained"] > 0
    assert all(counts[op] > 0 for op in ("salvage", "sniff", "reader", "shared", "errors"))
