"""The package as its users' tools see it: the wheel, mypy and stubtest.

Marked `tools`: they run once per interpreter in `make test` and stay out of
the sanitizer pass."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytestmark = pytest.mark.tools

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))

API_SCRIPT = textwrap.dedent("""
    import io
    import corvel

    def on_progress(done: int, total: int | None) -> None:
        pass

    out = io.BytesIO()
    report: corvel.Report = corvel.salvage(
        "in.csv", out, quarantine="q.csv", audit="a.jsonl", dialect=corvel.Dialect(delimiter=";"),
        delimiter="auto", quote_char=None, escape_char=None, skip_initial_space="auto", encoding="auto",
        header=True, detect="backend", skip_blank_lines=True, fill_ragged_rows=True, merge_overflow=False,
        expected_columns=3, repair_quotes=True, output_delimiter=",", force=False, progress=on_progress,
    )
    again: corvel.Report = corvel.salvage(io.BytesIO(b"a,b"), "out.csv", dialect=report.dialect, progress=True)
    d: dict[str, object] = report.to_dict()
    width: int = report.width
    rows: int = report.rows_written + report.rows_set_aside + report.rows_skipped
    encoding: str = report.dialect.encoding
    header_row: int | None = report.dialect.header_row
    version: str = corvel.__version__
    found: corvel.Dialect = corvel.detect("in.csv", encoding="auto", sample_bytes=1 << 16, progress=on_progress)
    confidence: float = corvel.detect(io.BytesIO(b"a;b"), progress=None).confidence
""")


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)


def test_mypy_strict_on_the_package_and_a_script_using_the_whole_api(tmp_path):
    script = tmp_path / "use_api.py"
    script.write_text(API_SCRIPT)
    done = run(sys.executable, "-m", "mypy", "--strict", "--no-incremental", os.path.join(ROOT, "src", "corvel"))
    assert done.returncode == 0, done.stdout + done.stderr
    # The script is checked against the installed package, as a user's would be.
    done = run(sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(script), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubtest_on_the_core():
    done = run(sys.executable, "-m", "mypy.stubtest", "corvel._core", cwd=ROOT + "/tests")
    assert done.returncode == 0, done.stdout + done.stderr


def test_wheel_builds_installs_into_a_fresh_venv_and_imports(tmp_path):
    wheels = tmp_path / "dist"
    done = run(sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(wheels), ROOT)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    [wheel] = wheels.glob("corvel-*.whl")
    abi = "cp314t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "cp314"
    assert f"-cp314-{abi}-" in wheel.name

    shown = run(sys.executable, "-m", "auditwheel", "show", str(wheel))
    assert shown.returncode == 0, shown.stdout + shown.stderr
    assert "manylinux" in shown.stdout or "linux" in shown.stdout

    venv = tmp_path / "venv"
    assert run(sys.executable, "-m", "venv", "--without-pip", str(venv)).returncode == 0
    py = venv / "bin" / "python"
    # The test venv's pip installs into the fresh one, with no index.
    done = run(sys.executable, "-m", "pip", "--python", str(py), "install", "--no-deps", "--no-index",
               "--disable-pip-version-check", str(wheel))
    assert done.returncode == 0, done.stdout + done.stderr
    check = textwrap.dedent("""
        import io, sys, importlib.metadata as md
        import corvel, corvel._core
        assert corvel.__version__ == md.version("corvel") != "0+unknown"
        out = io.BytesIO()
        r = corvel.salvage(io.BytesIO(b"a;b\\n1;2;3\\n"), out, detect="backend")
        assert out.getvalue() == b'a,b\\n1,2;3\\n', out.getvalue()
        assert "_corvel_backend" not in sys.modules
        import _corvel_backend
        assert corvel._core.__file__.startswith(sys.prefix)
        print("ok")
    """)
    done = run(str(py), "-c", check, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stdout + done.stderr
