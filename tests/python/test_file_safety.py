"""salvage_file and the reader lose nothing silently: a quarantine file may
not overwrite the input or the clean file, a failed rewrite of the input
leaves it whole, running out of memory leaves an existing output as it was,
and a row whose list could not be built is handed out again."""

import os
import shutil
import subprocess
import sys

import pytest

import _corvel_backend as corvel

INPUT = b"a,b,c\n1,2\n3,4,5,6\n"
IS_INPUT = "quarantine_path names the same file as input_path"
IS_OUTPUT = "quarantine_path names the same file as output_path"
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def spell(tmp_path, how, name):
    """Another path to the file `name` in tmp_path."""
    if how == "same":
        return str(tmp_path / name)
    if how == "dotted":
        return str(tmp_path / "sub" / ".." / name)
    link = tmp_path / f"{how}-{name}"
    if how == "symlink":
        link.symlink_to(tmp_path / name)
    elif how == "hardlink" and (tmp_path / name).exists():
        os.link(tmp_path / name, link)
    return str(link)


@pytest.mark.parametrize("how, names, message", [
    (how, names, message)
    for names, message in [("input", IS_INPUT), ("output", IS_OUTPUT), ("new output", IS_OUTPUT)]
    for how in ["same", "dotted", "symlink", "hardlink"]
    if (how, names) != ("hardlink", "new output")  # a hard link needs a file
])
def test_quarantine_path_naming_another_target_is_refused(tmp_path, how, names, message):
    (tmp_path / "sub").mkdir()
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_bytes(INPUT)
    if names == "output":
        out.write_bytes(b"old\n")
    quarantine = spell(tmp_path, how, src.name if names == "input" else out.name)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(ValueError) as info:
        corvel.salvage_file(str(src), str(out), quarantine, fill_ragged_rows=False)
    assert str(info.value) == message and info.value.args == (message,)
    assert src.read_bytes() == INPUT
    assert sorted(os.listdir(tmp_path)) == before
    if names == "output":
        assert out.read_bytes() == b"old\n"


def test_quarantine_beside_its_targets_is_written(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(INPUT)
    s = corvel.salvage_file(str(src), str(tmp_path / "out.csv"), str(tmp_path / "q.csv"),
                            fill_ragged_rows=False, merge_overflow=False)
    assert (s.salvaged_rows, s.quarantined_rows) == (1, 2)
    assert (tmp_path / "out.csv").read_bytes() == b"a,b,c\n"
    assert (tmp_path / "q.csv").read_bytes() == (b'line,reason,raw_content\n'
                                                 b'3,"Row has too few columns (expected 3)","1,2"\n'
                                                 b'4,"Row has extra columns (expected 3)","3,4,5,6"\n')


def test_rewriting_the_input_in_place_keeps_its_mode_and_leaves_hard_links_alone(tmp_path):
    src = tmp_path / "d.csv"
    src.write_bytes(INPUT)
    os.chmod(src, 0o640)
    os.link(src, tmp_path / "link.csv")
    s = corvel.salvage_file(str(src), str(src))
    assert s.repaired_rows == 2
    assert src.read_bytes() == b"a,b,c\n1,2,\n3,4,\"5,6\"\n"
    assert os.stat(src).st_mode & 0o7777 == 0o640
    # The new content is a new file: the other name keeps the old one.
    assert (tmp_path / "link.csv").read_bytes() == INPUT
    assert sorted(os.listdir(tmp_path)) == ["d.csv", "link.csv"]


MOUNT_AND_SALVAGE = """
set -e
mount -t tmpfs -o size=1m tmpfs "$1"
printf 'a,b,c,d,e,f,g,h\\n' > "$1/d.csv"
head -c 600000 /dev/zero | tr '\\0' '\\n' >> "$1/d.csv"
cp "$1/d.csv" "$1/../before.csv"
"$2" -c "$3" "$1/d.csv"
ls -a "$1"
cmp "$1/d.csv" "$1/../before.csv" && echo unchanged
"""

SALVAGE_IN_PLACE = """
import sys, _corvel_backend as corvel
try:
    corvel.salvage_file(sys.argv[1], sys.argv[1])
    print("returned")
except OSError as e:
    print(e)
"""


def test_full_disk_while_rewriting_the_input_leaves_it_whole(tmp_path):
    # Every blank line is padded to seven commas: the clean file cannot fit
    # on a 1 MiB file system beside the input.
    if not shutil.which("unshare"):
        pytest.skip("no unshare(1) to mount a small tmpfs")
    probe = subprocess.run(["unshare", "-rm", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"mounting a tmpfs is not allowed here: {probe.stderr.decode().strip()}")
    mnt = tmp_path / "m"
    mnt.mkdir()
    run = subprocess.run(["unshare", "-rm", "sh", "-c", MOUNT_AND_SALVAGE, "sh", str(mnt), sys.executable,
                          SALVAGE_IN_PLACE],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n") == ["No space left on device (os error 28)", ".", "..", "d.csv", "unchanged", ""]


# The child lowers its address-space limit to what it uses now plus
# BUDGET, then salvages; the old output file must survive a MemoryError.
MEMORY_CHILD = """
import resource, sys, _corvel_backend as corvel
vm = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (vm + int(sys.argv[3]), resource.RLIM_INFINITY))
try:
    s = corvel.salvage_file(sys.argv[1], sys.argv[2], fill_ragged_rows=False)
    print("returned", s.salvaged_rows, s.quarantined_rows)
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif(UNDER_ASAN, reason="ASan reserves more address space than any limit allows")
def test_rejected_rows_are_not_held_after_the_output_is_created(tmp_path):
    # Four million rejected rows once cost about 130 MB of bookkeeping, grown
    # after the output had been truncated: a MemoryError then left a partial
    # file in place of the old one. Counted only, they cost nothing.
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_bytes(b"a,b\n" + b"\n" * 4_000_000)
    out.write_bytes(b"precious\n")
    run = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(src), str(out), str(64 << 20)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    if run.stdout == "MemoryError\n":
        assert out.read_bytes() == b"precious\n"
    else:
        assert run.stdout == "returned 1 4000000\n"
        assert out.read_bytes() == b"a,b\n"


def test_row_is_not_lost_when_its_list_cannot_be_built(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\nc,d\n")
    reader = corvel.SalvageReader(str(src))

    def next_without_memory():
        testcapi.set_nomemory(0)
        try:
            return next(reader)
        finally:
            testcapi.remove_mem_hooks()

    with pytest.raises(MemoryError):
        next_without_memory()
    assert list(reader) == [["a", "b"], ["c", "d"]]
