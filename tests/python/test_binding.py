"""The argument binder, through a test-only module with signatures of every kind."""

import importlib.util
import os
import pathlib

import pytest


def load_probe():
    directory = os.environ.get("CORVEL_PROBE_DIR")
    if not directory:
        pytest.skip("CORVEL_PROBE_DIR is not set (make test sets it)")
    (path,) = pathlib.Path(directory).glob("_corvel_probe*.so")
    spec = importlib.util.spec_from_file_location("_corvel_probe", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def probe():
    return load_probe()


def test_defaults(probe):
    assert probe.kinds("t") == ("t", None, True, None, None, '"')


def test_values_positional_and_keyword(probe):
    obj = object()
    want = ("\u00e9", "o", False, 2**64 - 1, obj, "'")
    assert probe.kinds("\u00e9", "o", False, 2**64 - 1, obj, "'") == want
    assert probe.kinds(quote="'", obj=obj, count=2**64 - 1, flag=False, opt_text="o", text="\u00e9") == want
    assert probe.kinds("t", None, True, None, None) == ("t", None, True, None, None, '"')


class Index:
    def __index__(self):
        return 7


class NumpyBool:
    """Stands in for a NumPy boolean scalar: recognised by module and name."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if self.value is None:
            raise ValueError("ambiguous")
        return self.value


NumpyBool.__module__ = "numpy"
NumpyBool.__name__ = NumpyBool.__qualname__ = "bool_"
NumpyBoolNoTruth = type("bool", (), {"__module__": "numpy"})


def test_count_and_flag_conversions(probe):
    assert probe.kinds("t", count=Index())[3] == 7
    assert probe.kinds("t", count=True)[3] == 1
    assert probe.kinds("t", flag=NumpyBool(False))[2] is False
    assert probe.kinds("t", flag=NumpyBool(True))[2] is True


@pytest.mark.parametrize(
    "kwargs, exc, message, note",
    [
        ({"text": None}, TypeError, "'None' is not an instance of 'str'", "text"),
        ({"text": b"x"}, TypeError, "'bytes' object is not an instance of 'str'", "text"),
        ({"opt_text": 3}, TypeError, "'int' object is not an instance of 'str'", "opt_text"),
        ({"quote": None}, TypeError, "'None' is not an instance of 'str'", "quote"),
        ({"flag": 1}, TypeError, "'int' object is not an instance of 'bool'", "flag"),
        ({"flag": 0}, TypeError, "'int' object is not an instance of 'bool'", "flag"),
        ({"flag": None}, TypeError, "'NoneType' object is not an instance of 'bool'", "flag"),
        ({"flag": "yes"}, TypeError, "'str' object is not an instance of 'bool'", "flag"),
        (
            {"flag": NumpyBoolNoTruth()},
            TypeError,
            "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion",
            "flag",
        ),
        ({"flag": NumpyBool(None)}, ValueError, "ambiguous", "flag"),
        ({"count": -1}, OverflowError, None, "count"),
        ({"count": 2**64}, OverflowError, None, "count"),
        ({"count": "3"}, TypeError, None, "count"),
        ({"count": 1.5}, TypeError, None, "count"),
        ({"text": "\ud800"}, UnicodeEncodeError, None, "text"),
    ],
)
def test_conversion_errors(raises_with_note, probe, kwargs, exc, message, note):
    kwargs.setdefault("text", "t")
    raises_with_note(exc, message, note, probe.kinds, **kwargs)


def test_first_failure_wins(raises_with_note, probe):
    raises_with_note(TypeError, "'int' object is not an instance of 'bool'", "flag", probe.kinds, "t", flag=1, count="x")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "kinds() missing 1 required positional argument: 'text'"),
        (("a",) * 7, {}, "kinds() takes from 1 to 6 positional arguments but 7 were given"),
        (("a", "b"), {"text": "c"}, "kinds() got multiple values for argument 'text'"),
        (("a",), {"nope": 1}, "kinds() got an unexpected keyword argument 'nope'"),
        ((), {"nope": 1}, "kinds() got an unexpected keyword argument 'nope'"),
    ],
)
def test_kinds_binding(raises_with_note, probe, args, kwargs, message):
    raises_with_note(TypeError, message, None, probe.kinds, *args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Probe.three() missing 3 required positional arguments: 'first', 'second', and 'third'"),
        ((1,), {}, "Probe.three() missing 2 required positional arguments: 'second' and 'third'"),
        ((), {"second": 2}, "Probe.three() missing 2 required positional arguments: 'first' and 'third'"),
        ((1, 2), {}, "Probe.three() missing 1 required positional argument: 'third'"),
        ((1, 2, 3, 4), {}, "Probe.three() takes 3 positional arguments but 4 were given"),
        ((1, 2, 3), {"first": 1}, "Probe.three() got multiple values for argument 'first'"),
        ((1, 2, 3), {"fourth": 1}, "Probe.three() got an unexpected keyword argument 'fourth'"),
    ],
)
def test_three_binding(raises_with_note, probe, args, kwargs, message):
    raises_with_note(TypeError, message, None, probe.three, *args, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "none() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "none() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "none() got an unexpected keyword argument 'x'"),
    ],
)
def test_none_binding(raises_with_note, probe, args, kwargs, message):
    assert probe.none() is None
    raises_with_note(TypeError, message, None, probe.none, *args, **kwargs)


def test_three_keywords(probe):
    assert probe.three(third=3, first=1, second=2) == (1, 2, 3)
