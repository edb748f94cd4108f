"""The companion's type stubs name what its modules define, with the same parameters."""
import ast
import importlib
import inspect
import pathlib

import pytest

import pyzum_zezudi_vu

PACKAGE = pathlib.Path(pyzum_zezudi_vu.__file__).parent
STUBS = sorted(PACKAGE.glob("*.pyi"))


def parameters(node):
    a = node.args
    if a.vararg or a.kwarg:
        return None  # the stub sums them up; nothing to compare name by name
    return [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs]


def real_parameters(function):
    found = inspect.signature(inspect.unwrap(function)).parameters.values()
    if any(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in found):
        return None
    return [p.name for p in found]


def stubbed(body):
    """Public names of a stub's body: {name: node} (a re-export `import X as X` maps to None)."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = None
        elif isinstance(node, ast.ImportFrom):
            names.update({a.asname: None for a in node.names if a.asname == a.name})
    return {k: v for k, v in names.items() if not k.startswith("_")}


@pytest.mark.parametrize("stub", STUBS, ids=lambda p: p.stem)
def test_a_stub_matches_its_module(stub):
    name = "pyzum_zezudi_vu" + ("" if stub.stem == "__init__" else f".{stub.stem}")
    module = importlib.import_module(name)
    names = stubbed(ast.parse(stub.read_text()).body)
    defined = {n for n, v in vars(module).items() if not n.startswith("_") and (inspect.isfunction(v)
               or inspect.isclass(v)) and v.__module__ == module.__name__}
    assert defined <= set(names), f"defined but not stubbed: {defined - set(names)}"
    for name, node in names.items():
        assert hasattr(module, name), f"stubbed but not defined: {name}"
        real = getattr(module, name)
        if isinstance(node, ast.FunctionDef) and None not in (parameters(node), real_parameters(real)):
            assert parameters(node) == real_parameters(real), name
        elif isinstance(node, ast.ClassDef):
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and not member.decorator_list:
                    expected, found = parameters(member), real_parameters(getattr(real, member.name))
                    if None not in (expected, found):
                        assert expected == found, f"{name}.{member.name}"
