"""The type stub installed beside the module agrees with the module itself.

Both are derived from the same parameter tables: the stub by a generator at
build time, the signatures at compile time. This checks the generator's
output against what the interpreter reports."""

import ast
import inspect
import pathlib

import pytest

import _corvel_backend as corvel

STUB = pathlib.Path(corvel.__file__).with_name("_corvel_backend.pyi")


@pytest.fixture(scope="module")
def stub():
    return ast.parse(STUB.read_text(), filename=str(STUB))


def stub_def(tree, path):
    """The function or class at a dotted path, e.g. "SalvageReader.__exit__"."""
    body = tree.body
    node = None
    for part in path.split("."):
        node = next(n for n in body if isinstance(n, (ast.FunctionDef, ast.ClassDef)) and n.name == part)
        body = node.body
    return node


def stub_params(fn):
    """(name, default) pairs of a stub function, without self or cls."""
    args = fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + list(fn.args.defaults)
    pairs = [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d)) for a, d in zip(args, defaults)]
    return [p for p in pairs if p[0] not in ("self", "cls")]


def runtime_params(obj):
    return [(p.name, p.default) for p in inspect.signature(obj).parameters.values() if p.name != "self"]


@pytest.mark.parametrize(
    "path, obj",
    [
        ("salvage_file", corvel.salvage_file),
        ("sniff", corvel.sniff),
        ("open", corvel.open),
        ("SalvageReader.__new__", corvel.SalvageReader),
        ("SalvageReader.__exit__", corvel.SalvageReader.__exit__),
    ],
)
def test_parameter_lists_match(stub, path, obj):
    assert stub_params(stub_def(stub, path)) == runtime_params(obj)


def test_every_public_name_is_in_the_stub(stub):
    for name in corvel.__all__:
        stub_def(stub, name)


def test_docstrings_match(stub):
    for path, obj in [("salvage_file", corvel.salvage_file), ("open", corvel.open), ("sniff", corvel.sniff),
                      ("SalvageSummary", corvel.SalvageSummary), ("SalvageReader", corvel.SalvageReader)]:
        assert ast.get_docstring(stub_def(stub, path)) == obj.__doc__.split("\n")[0]


def test_summary_properties_match(stub, tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a;b\nc;d\n")
    summary = corvel.salvage_file(str(src), str(tmp_path / "out.csv"))
    cls = stub_def(stub, "SalvageSummary")
    properties = [(f.name, ast.unparse(f.returns)) for f in cls.body
                  if isinstance(f, ast.FunctionDef) and any(ast.unparse(d) == "property" for d in f.decorator_list)]
    assert properties == [(k, type(v).__name__) for k, v in summary.to_dict().items()]
