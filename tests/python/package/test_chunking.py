"""However a file object hands the bytes over, the salvage is the same."""

import random

from hypothesis import given
from hypothesis import strategies as st

from corvel import _core
from corvel._encoding import single_byte_table
from support import Trickle

PIECES = [b"a", b"bb", b",", b";", b'"', b'""', b"\n", b"\r\n", b"\r", b" ", "é".encode(), b"\xe9", b"\xff", b"\t"]


@given(st.lists(st.sampled_from(PIECES), max_size=300), st.integers(0, 2**32), st.booleans(), st.booleans())
def test_dribbled_input_gives_the_output_of_one_read(tmp_path_factory, pieces, seed, strict, legacy):
    """The core is fed a few bytes a read, against the whole file from a
    descriptor: rows cut anywhere, even inside a character or a CR LF."""
    data = b"h1,h2,h3\n" + b"".join(pieces)
    d = tmp_path_factory.mktemp("c")
    (d / "in.csv").write_bytes(data)
    options = {"header": False, "skip_initial_space": False, "fill_ragged_rows": not strict,
               "merge_overflow": not strict, "legacy": single_byte_table("cp1252") if legacy else None}
    with open(d / "in.csv", "rb") as f:  # its descriptor
        whole = _core.salvage(f.fileno(), b"", None, str(d / "a.csv"), quarantine=str(d / "qa.csv"),
                              audit=str(d / "aa.jsonl"), **options)
    rng = random.Random(seed)  # a few bytes a read, as pipes and sockets give them
    cut = _core.salvage(Trickle(data, lambda n: rng.randint(1, 9)), b"", None, str(d / "b.csv"), quarantine=str(d / "qb.csv"),
                        audit=str(d / "ab.jsonl"), **options)
    assert cut == whole
    for a, b in (("a.csv", "b.csv"), ("qa.csv", "qb.csv"), ("aa.jsonl", "ab.jsonl")):
        assert (d / a).read_bytes() == (d / b).read_bytes()
