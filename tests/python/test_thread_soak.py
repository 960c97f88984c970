"""A short round of tools/stress/threads.py: mixed calls from eight threads,
a fixed number of them, so that the outcome never depends on the machine's speed."""

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
    # A fixed amount of work: 40 calls per thread, then shared readers
    # drained until two are done. The guard only ends a hang.
    errors, counts = stress.run(threads=8, ops=40, drain=2, guard=600, log=lambda _: None)
    assert errors == []
    assert counts["guard hit"] == 0
    assert counts["shared readers drained"] >= 2
    assert all(counts[op] > 0 for op in ("salvage", "sniff", "reader", "shared", "errors"))
