"""Properties that hold for any input bytes and any options."""

import pytest
from hypothesis import given, strategies as st

import _corvel_backend as corvel
from conftest import check_salvage

SNIFFABLE = {",", ";", "\t", "|"}

# Pieces CSV damage is made of: separators, quotes, line ends, text in and
# out of UTF-8, NUL.
PIECES = [b",", b";", b"\t", b"|", b'"', b"'", b"\r", b"\n", b"\r\n", b" ", b"a", b"bc", b"1",
          "é".encode(), "€".encode(), "😀".encode(), b"\xff", b"\xc3", b"\x80", b"\xef\xbb\xbf", b"\x00"]
data_bytes = st.one_of(
    st.lists(st.sampled_from(PIECES), max_size=80).map(b"".join),
    st.binary(max_size=120),
)
one_char = st.one_of(
    st.sampled_from([",", ";", "\t", "|", " ", '"', "'", "\r", "\n", "a", "\x00", "é", "€"]),
    st.characters(exclude_categories=["Cs"]),
)
options = st.fixed_dictionaries(
    {},
    optional={
        "delimiter": st.none() | one_char,
        "quote_char": one_char,
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "expected_columns": st.none() | st.integers(0, 6),
        "repair_quotes": st.booleans(),
    },
)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("props")
    return d / "in.csv", d / "out.csv", d / "q.csv"


@given(data=data_bytes, opts=options)
def test_clean_file_and_reader_agree(files, data, opts):
    src, out, quar = files
    src.write_bytes(data)
    s = check_salvage(src, out, quar, **opts)
    given = opts.get("delimiter")
    if given is None:
        assert s.detected_delimiter in SNIFFABLE
    elif data:  # an empty file ignores the options (test_bad_input)
        assert s.detected_delimiter == chr(given.encode()[0])
    if opts.get("expected_columns") is not None and data:
        assert s.inferred_columns == opts["expected_columns"]


# (A lone surrogate is refused: test_module's test_sniff_lone_surrogate.)
@given(st.text(alphabet=st.characters(exclude_categories=["Cs"])) | st.text(",;\t|\"' \r\nab\u00e9"))
def test_sniff_names_a_candidate(sample):
    assert corvel.sniff(sample) in SNIFFABLE
