"""The detection corpus's generator and the scorer's matching rules
(bench/detect/). Pure Python: the loaders' third-party packages are not needed."""

import csv
import io
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench", "detect"))

corpus = pytest.importorskip("corpus", reason="bench/detect is not in this tree")
score = pytest.importorskip("score", reason="bench/detect is not in this tree")
from loaders import Load  # noqa: E402

pytestmark = pytest.mark.skipif(bool(os.environ.get("CORVEL_MODULE_DIR")),
                                reason="bench code in pure Python: nothing native for the sanitizers")


def test_same_seed_same_bytes(tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    corpus.ensure(str(a), count=6, seed=7)
    corpus.ensure(str(b), count=6, seed=7)
    names = sorted(os.listdir(a))
    assert names == sorted(os.listdir(b)) and len(names) == 13  # 6 files, 6 truths, the stamp
    for n in names:
        assert (a / n).read_bytes() == (b / n).read_bytes(), n
    assert corpus.make_file(7, 0) != corpus.make_file(8, 0)


def test_truth_is_what_the_true_dialect_reads():
    """Files polluted in dialect or encoding alone read back, with the true
    dialect and encoding, into exactly the truth's header and records."""
    checked = set()
    for i in range(200):
        data, truth = corpus.make_file(corpus.SEED, i)
        if set(truth["families"]) - {"dialect", "encoding"}:
            continue
        d = truth["dialect"]
        kw = {"delimiter": d["delimiter"], "skipinitialspace": d["skip_initial_space"], "strict": True}
        if d["quote_char"] is None:
            kw["quoting"] = csv.QUOTE_NONE
        else:
            kw["quotechar"] = d["quote_char"]
        if d["escape_char"]:
            kw.update(escapechar=d["escape_char"], doublequote=False)
        rows = list(csv.reader(io.StringIO(data.decode(truth["encoding"]), newline=""), **kw))
        assert rows == truth["header"] + truth["records"], (i, truth["pollutions"])
        checked.update(truth["pollutions"])
    assert len(checked) >= 6  # several dialects and encodings were read


def rows(*texts):
    return [t.split("|") for t in texts]


T = rows("a|1", "b|2", "b|2", "c|3")
# (case, loaded records, record precision·recall as matched counts, shared cells)
MATCHING = [
    ("order ignored", rows("c|3", "b|2", "a|1", "b|2"), 4, 8),
    ("a duplicate counts once per copy", rows("a|1", "b|2", "c|3"), 3, 6),
    ("a header taken as a record", rows("name|n", "a|1", "b|2", "b|2", "c|3"), 4, 8),
    ("one cell wrong: no record, one cell", rows("a|1", "b|2", "b|2", "c|x"), 3, 7),
    ("shifted cells share nothing", rows("1|a", "2|b", "2|b", "3|c"), 0, 0),
    ("a row split in two pairs once", rows("a|1", "b|2", "b|2", "c", "3"), 3, 7),
]


@pytest.mark.parametrize("case,loaded,matched,cells", MATCHING, ids=[c[0] for c in MATCHING])
def test_record_and_cell_matching(case, loaded, matched, cells):
    got, loose_loaded, loose_truth = score.match_records(loaded, T, {})
    assert got == matched
    shared = sum(len(T[i]) for i in range(len(T)) if i not in loose_truth)
    shared += score.pair_cells(loaded, T, {}, loose_loaded, loose_truth)
    assert shared == cells


def truth(records, alternatives=None, header=(("k", "v"),)):
    return {"records": records, "alternatives": alternatives or {}, "header": [list(h) for h in header],
            "dialect": {"delimiter": ",", "quote_char": '"', "escape_char": None, "skip_initial_space": False}}


def test_a_damaged_row_matches_its_clean_record_or_its_salvage():
    t = truth(rows("a|1", "b|2"), {"1": [["b2", ""]]})
    for loaded in (rows("a|1", "b|2"), rows("a|1", "b2|")):
        s = score.score_file(Load([["k", "v"]], loaded), t, "k,v\na,1\nb2\n")
        assert (s["record_f1"], s["cell_f1"], s["header_right"]) == (1.0, 1.0, 1)
    s = score.score_file(Load([], rows("k|v", "a|1", "b2|x")), t, "")
    assert s["record_f1"] == pytest.approx(2 * (1 / 3) * (1 / 2) / (1 / 3 + 1 / 2))
    assert (s["header_found"], s["header_right"]) == (0, 0)


def test_a_failure_scores_zero():
    s = score.score_file(None, truth(rows("a|1")), "k,v\na,1\n")
    assert s == {"failed": 1, "record_f1": 0.0, "cell_f1": 0.0, "dialect": False, "header_found": 0,
                 "header_right": 0, "has_header": True}


TRUE = {"delimiter": ",", "quote_char": '"', "escape_char": None, "skip_initial_space": False,
        "quote_used": True}
UNQUOTED = {"quote_used": False}
# (case, the loader's dialect, the truth's, the file's text, right)
DIALECTS = [
    ("same", {}, {}, 'a,"b,c"\n', True),
    ("another delimiter", {"delimiter": ";"}, {}, "a,b\n", False),
    ("another quote", {"quote_char": "'"}, {}, "a,\"b,c\"\n", False),
    ("no quote where fields are quoted", {"quote_char": None}, {}, 'a,"b,c"\n', False),
    ("no quote where none is", {"quote_char": None}, UNQUOTED, 'a,b"c\n', True),
    ("an unused quote that never occurs", {"quote_char": "'"}, UNQUOTED, "a,b\n", True),
    ("an unused quote that occurs", {"quote_char": "'"}, UNQUOTED, "a,O'Brien\n", False),
    ("an escape with no backslash", {"escape_char": "\\"}, {}, "a,b\n", True),
    ("an escape with a backslash", {"escape_char": "\\"}, {}, 'a,"b\\"c"\n', False),
    ("blanks skipped in a comma file", {"skip_initial_space": True}, {}, "a,b\n", True),
    ("blanks kept in a comma-blank file", {}, {"skip_initial_space": True}, "a, b\n", False),
]


@pytest.mark.parametrize("case,got,true,text,right", DIALECTS, ids=[c[0] for c in DIALECTS])
def test_dialect_rules(case, got, true, text, right):
    assert score.dialect_right({**TRUE, **got}, {**TRUE, **true}, text) is right
