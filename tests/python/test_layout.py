"""Cheap checks on the source tree that catch whole classes of mistakes."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = sorted(
    p for d in ("engine", "python") for p in (ROOT / d).rglob("*") if p.suffix in {".cpp", ".hpp"}
)

pytestmark = pytest.mark.skipif(not (ROOT / "engine").is_dir(), reason="source tree not present")


def test_engine_never_sees_python():
    for path in (ROOT / "engine").iterdir():
        text = path.read_text()
        assert "Python.h" not in text, path
        assert "PyObject" not in text, path


def test_sources_are_found():
    names = {p.relative_to(ROOT).as_posix() for p in SOURCES}
    assert {"python/common/binder.cpp", "python/backend/module.cpp", "engine/parser.cpp"} <= names


def test_string_literals_live_in_messages():
    # Outside the message headers, a double-quoted literal that reads like a
    # sentence is a message that escaped its one home.
    sentence = re.compile(r'"[A-Za-z\']+ [a-z]+ [a-z]+[^"]*"')
    for path in SOURCES:
        if path.name == "messages.hpp":
            continue
        for n, line in enumerate(path.read_text().splitlines(), 1):
            if line.lstrip().startswith("//"):
                continue
            assert not sentence.search(line), f"{path.name}:{n}: {line.strip()}"
