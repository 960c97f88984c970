import pytest

import _corvel_backend as corvel

MODULE_DOC = (
    "High-performance, fault-tolerant corvel and reconstruction engine.\n\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)


def test_attributes():
    # The module's own version, fixed by its contract (not the distribution's).
    assert corvel.__version__ == "0.2.0"
    assert corvel.__doc__ == MODULE_DOC
    assert corvel.__all__ == ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]


def test_sniff_metadata():
    assert corvel.sniff.__text_signature__ == "(sample)"
    assert corvel.sniff.__doc__ == "Detects the most likely delimiter from a CSV string sample."
    assert corvel.sniff.__module__ == "_corvel_backend"


@pytest.mark.parametrize(
    "sample, expected",
    [
        ("", ","),
        ("a;b;c\nd;e;f\ng;h;i\n", ";"),
        ("a\tb\nc\td\n", "\t"),
        ('"name"\t"city"\n"Ada"\t"London"\n', "\t"),
        ("a;b\nc;d\n", ";"),
        ("a,b;c\nd,e;f\n", ","),  # equal scores: the earlier candidate wins
        ("\ufeffa|b|c\nd|e|f\n", "|"),
        ("x;y;z\n", ","),  # a single row decides nothing
        ('"a,b";c\n"d,e";f\n', ";"),
        ("caf\u00e9;cr\u00e8me\n\u00e0;\u00e9\n", ";"),
        ("\ud7ff\U0001f600|x\n|\n", "|"),
    ],
)
def test_sniff(sample, expected):
    assert corvel.sniff(sample) == expected


def test_sniff_keyword_and_subclass():
    class S(str):
        pass

    assert corvel.sniff(sample="a|b\nc|d\n") == "|"
    assert corvel.sniff(S("a;b\nc;d\n")) == ";"


def test_sniff_reads_only_the_beginning():
    text = "a,b\n" * 50 + "c;d;e;f;g;h;i;j;k;l\n" * 100_000
    assert corvel.sniff(text) == ","


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "sniff() missing 1 required positional argument: 'sample'"),
        (("a", "b"), {}, "sniff() takes 1 positional arguments but 2 were given"),
        (("a", "b", "c"), {}, "sniff() takes 1 positional arguments but 3 were given"),
        ((), {"x": "a"}, "sniff() got an unexpected keyword argument 'x'"),
        (("a",), {"x": "a"}, "sniff() got an unexpected keyword argument 'x'"),
        (("a",), {"sample": "b"}, "sniff() got multiple values for argument 'sample'"),
    ],
)
def test_sniff_binding_errors(raises_with_note, args, kwargs, message):
    raises_with_note(TypeError, message, None, corvel.sniff, *args, **kwargs)


@pytest.mark.parametrize(
    "value, message",
    [
        (b"a,b", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (1, "'int' object is not an instance of 'str'"),
        (["a"], "'list' object is not an instance of 'str'"),
    ],
)
def test_sniff_conversion_errors(raises_with_note, value, message):
    raises_with_note(TypeError, message, "sample", corvel.sniff, value)
    raises_with_note(TypeError, message, "sample", corvel.sniff, sample=value)


def test_sniff_qualified_type_name(raises_with_note):
    class Outer:
        class Inner:
            pass

    raises_with_note(
        TypeError,
        "'test_sniff_qualified_type_name.<locals>.Outer.Inner' object is not an instance of 'str'",
        "sample",
        corvel.sniff,
        Outer.Inner(),
    )


def test_sniff_lone_surrogate(raises_with_note):
    raises_with_note(UnicodeEncodeError, None, "sample", corvel.sniff, "a,b\ud800\nc,d\n")
