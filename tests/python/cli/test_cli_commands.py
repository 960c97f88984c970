"""The `corvel` command in a subprocess: exit codes, what goes to stdout and
stderr, piping, and the JSON report against corvel.salvage's."""

import errno
import importlib.util
import json
import os
import shlex
import subprocess
import sys

import pytest

import corvel
from cli_helpers import MESSY, SCRIPT, run
from support import PLAIN, file_with, listing, outcome


@pytest.mark.parametrize("name", MESSY)
def test_salvage_and_check_do_what_the_package_does(tmp_path, name):
    data, status = MESSY[name]
    path = file_with(tmp_path / f"{name}.csv", data)
    want = corvel.salvage(path, tmp_path / "want.csv", quarantine=tmp_path / "want-q.csv")
    done = run("salvage", path, "-o", tmp_path / "out.csv", "-q", tmp_path / "q.csv", "--json")
    assert done.returncode == 0, done.stderr.decode()
    assert done.stderr == b""
    # With the CSV in a file, the JSON report is standard output's one line.
    assert done.stdout.count(b"\n") == 1
    assert outcome(json.loads(done.stdout)) == outcome(want)
    assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "want.csv").read_bytes()
    assert (tmp_path / "q.csv").read_bytes() == (tmp_path / "want-q.csv").read_bytes()
    # check's exit status follows the rows' fates.
    done = run("check", path, "--json")
    assert done.returncode == status, done.stderr.decode()
    assert outcome(json.loads(done.stdout)) == outcome(want)
    # With the CSV on standard output, the JSON report goes to standard error.
    done = run("salvage", path, "--json")
    assert done.returncode == 0 and done.stdout == (tmp_path / "want.csv").read_bytes()
    assert outcome(json.loads(done.stderr)) == outcome(want)


# The short row is padded, set aside, or with two columns merged or set aside.
@pytest.mark.parametrize(("extra", "status"), [([], 1), (["--no-fill-ragged-rows"], 2), (["--expected-columns", "2"], 1),
                                               (["--expected-columns", "2", "--no-merge-overflow"], 2)])
def test_check_options_change_the_fates(tmp_path, extra, status):
    path = file_with(tmp_path / "in.csv", MESSY["short-row"][0])
    done = run("check", path, *extra)
    assert done.returncode == status
    verdict = {1: "rows would be repaired", 2: "rows would be set aside"}[status]
    assert done.stderr.decode().endswith(f"\n  verdict: {verdict} (exit {status})\n")
    assert run("check", path, "--quiet", *extra).stderr == b""


def test_summary_on_stderr_and_quiet_silences_it(tmp_path):
    path = file_with(tmp_path / "in.csv", MESSY["short-row"][0])
    q, audit = tmp_path / "q.csv", tmp_path / "audit.jsonl"
    done = run("salvage", path, "-o", tmp_path / "out.csv", "-q", q, "--audit", audit)
    assert done.returncode == 0 and done.stdout == b""
    text = done.stderr.decode()
    want = corvel.salvage(path, os.devnull)
    assert text.startswith(f"corvel: {want.rows_written} rows written, 1 repaired, 0 set aside, ")
    assert "1 padded" in text and f"quarantine: {q}" in text and f"audit: {audit}" in text
    assert "delimiter ','" in text and "4 columns" in text
    quiet = run("salvage", path, "-o", tmp_path / "out2.csv", "--quiet")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, b"", b"")
    assert (tmp_path / "out2.csv").read_bytes() == (tmp_path / "out.csv").read_bytes()


@pytest.mark.parametrize("name", ["gzip", "zstd", "utf-16-bom", "excel-bom-semicolon-crlf"])
def test_a_shell_pipeline_through_the_console_script(tmp_path, name):
    """cat f.csv.gz | corvel salvage - > clean.csv"""
    path = file_with(tmp_path / "in.csv.gz", MESSY[name][0])
    want = corvel.salvage(path, tmp_path / "want.csv")
    out = tmp_path / "clean.csv"
    line = f"cat {shlex.quote(str(path))} | {shlex.quote(str(SCRIPT))} salvage - > {shlex.quote(str(out))}"
    done = subprocess.run(line, shell=True, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    assert out.read_bytes() == (tmp_path / "want.csv").read_bytes()
    assert f"{want.rows_written} rows written".encode() in done.stderr


def test_a_reader_that_leaves_early_ends_the_run_quietly(tmp_path):
    path = file_with(tmp_path / "big.csv", b"a,b\n" + b"1,2\n" * 1_000_000)
    # `head` leaves after its first line; corvel's next writes meet a closed pipe.
    line = f"{shlex.join(map(str, [sys.executable, '-m', 'corvel', 'salvage', path]))} | head -n 1"
    done = subprocess.run(["bash", "-c", f"set -o pipefail; {line}"], capture_output=True, timeout=120)
    assert done.stdout == b"a,b\n"
    assert b"Traceback" not in done.stderr and b"Exception ignored" not in done.stderr, done.stderr.decode()


def test_the_options_reach_the_salvage(tmp_path):
    path = file_with(tmp_path / "in.csv", b"a|b|c\n1|2\n3|4|5|6\n")
    out = tmp_path / "out.csv"
    done = run("salvage", path, "-o", out, "--delimiter", "|", "--output-delimiter", ";",
               "--no-fill-ragged-rows", "--merge-overflow", "--header", "true", "--quiet")
    assert done.returncode == 0, done.stderr.decode()
    assert out.read_bytes() == b"a;b;c\n3;4;5|6\n"


def test_a_dialect_file_from_an_earlier_report(tmp_path):
    path = file_with(tmp_path / "in.csv", b"a;b\n1;2\n")
    report = json.loads(run("check", path, "--json").stdout)
    dialect = file_with(tmp_path / "dialect.json", json.dumps(report["dialect"]).encode())
    done = run("salvage", path, "--dialect", dialect, "--quiet")
    assert done.stdout == b"a,b\n1,2\n"


# (arguments, exit status, the one line on stderr); {tmp} is the test's directory.
ERRORS = [
    (["salvage", "{tmp}/missing.csv"], 3, "corvel: {tmp}/missing.csv: " + os.strerror(errno.ENOENT)),
    (["salvage", "{tmp}/in.csv", "-o", "{tmp}/no/out.csv"], 3, "corvel: {tmp}/no/out.csv: " + os.strerror(errno.ENOENT)),
    (["salvage", "{tmp}/in.csv", "-q", "{tmp}/no/q.csv"], 3, "corvel: {tmp}/no/q.csv: " + os.strerror(errno.ENOENT)),
    (["check", "{tmp}"], 3, "corvel: {tmp}: " + os.strerror(errno.EISDIR)),
    (["salvage", "{tmp}/in.csv", "--delimiter", "ab"], 4,
     "corvel: --delimiter must be a single character, not 2 characters ('ab')"),
    (["check", "{tmp}/in.csv", "--expected-columns", "-1"], 4, "corvel: --expected-columns can't be negative (-1)"),
    (["check", "{tmp}/in.csv", "--encoding", "no-such-codec"], 4,
     "corvel: --encoding 'no-such-codec' is not a codec Python knows"),
    (["check", "{tmp}/in.csv", "--dialect", "{tmp}/in.csv"], 4, None),
    # The command names its own option, not the package's force=True.
    (["check", "{tmp}/binary.dat"], 5, "corvel: {tmp}/binary.dat does not look like CSV text: 25% of its first 16384 "
     "bytes are NUL bytes, which text never has. Pass --force to salvage it anyway."),
    (["convert", "{tmp}/in.csv", "-o", "{tmp}/out.xlsx"], 4,
     "corvel: {tmp}/out.xlsx: can't tell the format from the suffix; use .parquet, .arrow or .jsonl, or give --format"),
]


@pytest.mark.parametrize(("argv", "status", "line"), ERRORS)
def test_errors_are_one_line_with_a_documented_status(tmp_path, argv, status, line):
    (tmp_path / "in.csv").write_bytes(PLAIN)
    (tmp_path / "binary.dat").write_bytes(b"\0\1\2\3" * 4096)
    done = run(*(a.format(tmp=tmp_path) for a in argv))
    err = done.stderr.decode()
    assert done.returncode == status, err
    assert err.count("\n") == 1 and err.startswith("corvel: "), err
    if line is not None:
        assert err == line.format(tmp=tmp_path) + "\n"
    assert listing(tmp_path) == ["binary.dat", "in.csv"]


def test_force_salvages_binary_input(tmp_path):
    path = file_with(tmp_path / "binary.dat", b"\0\1\2\3" * 4096)
    assert run("check", path, "--force", "--quiet").returncode in (0, 1, 2)


@pytest.mark.parametrize("argv", [[], ["salvage"], ["nonsense", "x"], ["check", "x", "--no-such-option"],
                                  ["check", "x", "--header", "maybe"]])
def test_usage_errors(argv):
    done = run(*argv)
    assert done.returncode == 4
    assert b"usage: corvel" in done.stderr and b"Traceback" not in done.stderr


def test_debug_shows_the_traceback(tmp_path):
    # Without --debug, the same error is one line (ERRORS above).
    loud = run("salvage", tmp_path / "missing.csv", "--debug")
    assert loud.returncode != 0 and b"Traceback" in loud.stderr and b"FileNotFoundError" in loud.stderr


@pytest.mark.parametrize("command", ["salvage", "check", "detect", "convert"])
def test_each_subcommand_has_help_with_an_example(command):
    done = run(command, "--help")
    text = done.stdout.decode()
    assert done.returncode == 0 and text.startswith(f"usage: corvel {command}") and "exit status:" in text
    assert f"\n  corvel {command} " in text.split("examples:")[1]


def test_version_and_the_console_script():
    done = run("--version", command=[str(SCRIPT)])
    assert (done.returncode, done.stdout.decode()) == (0, f"corvel {corvel.__version__}\n")


def test_convert_without_pyarrow_names_the_extra(tmp_path):
    path = file_with(tmp_path / "in.csv", PLAIN)
    # As on a machine without pyarrow: importing it fails.
    code = "import sys; sys.modules['pyarrow'] = None; from corvel.cli import main; sys.exit(main())"
    done = run("convert", path, "-o", tmp_path / "out.parquet", command=[sys.executable, "-c", code])
    err = done.stderr.decode()
    assert done.returncode == 7 and err.count("\n") == 1 and "pip install corvel[arrow]" in err
    assert listing(tmp_path) == ["in.csv"]


needs_arrow = pytest.mark.skipif(importlib.util.find_spec("pyarrow") is None, reason="needs pyarrow")


@pytest.mark.parametrize("name", ["excel-bom-semicolon-crlf", "latin-1", "gzip"])
@pytest.mark.parametrize("via", ["path", "stdin"])
def test_detect_prints_what_corvel_detect_finds(tmp_path, name, via):
    path = file_with(tmp_path / "in.csv", MESSY[name][0])
    want = corvel.detect(path).to_dict()
    done = run("detect", "-", "--json", stdin=path.read_bytes()) if via == "stdin" else run("detect", path, "--json")
    assert done.returncode == 0, done.stderr.decode()
    assert json.loads(done.stdout) == want
    text = run("detect", path).stdout.decode()
    assert f"delimiter:  {want['delimiter']!r}" in text and f"encoding:   {want['encoding']}" in text


@needs_arrow
@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".jsonl"])
@pytest.mark.parametrize("name", ["short-row", "gzip", "latin-1"])
def test_convert_writes_the_salvaged_rows(tmp_path, suffix, name):
    import pyarrow as pa
    import pyarrow.ipc
    import pyarrow.parquet as pq

    path = file_with(tmp_path / "in.csv", MESSY[name][0])
    want = corvel.salvage(path, os.devnull)
    out = tmp_path / f"out{suffix}"
    done = run("convert", path, "-o", out, "--quiet")
    assert done.returncode == 0, done.stderr.decode()
    rows = {".parquet": lambda: pq.read_table(out).num_rows,
            ".arrow": lambda: pa.ipc.open_file(pa.memory_map(str(out))).read_all().num_rows,
            ".jsonl": lambda: len([json.loads(line) for line in out.read_text().splitlines()])}[suffix]()
    assert rows == want.rows_written
    assert listing(tmp_path) == sorted(["in.csv", out.name])


@needs_arrow
def test_a_failed_convert_leaves_the_target_as_it_was(tmp_path):
    path = file_with(tmp_path / "binary.dat", b"\0\1\2\3" * 4096)
    out = file_with(tmp_path / "out.parquet", b"old")
    done = run("convert", path, "-o", out)
    assert done.returncode == 5, done.stderr.decode()
    assert out.read_bytes() == b"old" and listing(tmp_path) == ["binary.dat", "out.parquet"]
