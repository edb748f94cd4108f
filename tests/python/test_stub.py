"""The type stub installed next to the module describes the module as it is at run time."""
import ast
import pathlib
import re

import pytest

import _pyzum_zezudi_vu as m

STUB = pathlib.Path(m.__file__).with_name("_pyzum_zezudi_vu.pyi")
# What pybind11 adds to every class it creates; not part of this module's surface.
BINDING_INTERNALS = {"__doc__", "__module__", "__dict__", "__weakref__", "_pybind11_conduit_v1_"}


@pytest.fixture(scope="module")
def stub():
    assert STUB.is_file(), f"no stub next to {m.__file__}"
    return ast.parse(STUB.read_text())


def stub_kinds(body):
    kinds = {}
    for node in body:
        if isinstance(node, ast.ClassDef):
            kinds[node.name] = "class"
        elif isinstance(node, ast.FunctionDef):
            decorators = {ast.unparse(d) for d in node.decorator_list}
            if "property" in decorators:
                kinds[node.name] = "read-only property"
            elif f"{node.name}.setter" in decorators:
                kinds[node.name] = "property"
            else:
                kinds[node.name] = "function"
    return kinds


def runtime_kind(value):
    if isinstance(value, type):
        return "class"
    if isinstance(value, property):
        return "read-only property" if value.fset is None else "property"
    if callable(value):
        return "function"
    return type(value).__name__


def stub_class(stub, name):
    return next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == name)


def runtime_parameters(function):
    """Names and defaults from pybind11's signature line, without self and the positional-only marker."""
    line = function.__doc__.splitlines()[0]
    inner = line[line.index("(") + 1 : line.rindex(") ->")]
    parts, depth, current = [], 0, ""
    for ch in inner:
        depth += ch in "[(" and 1 or ch in "])" and -1 or 0
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    parts.append(current.strip())
    result = []
    for part in parts[1:]:
        if part == "/":
            continue
        name = re.match(r"\w+", part).group(0)
        default = part.split(" = ", 1)[1] if " = " in part else None
        result.append((name, default))
    return result


def stub_parameters(function):
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(positional, defaults)][1:]


class TestStubMatchesModule:
    def test_module_names_and_kinds(self, stub):
        runtime = {n: runtime_kind(v) for n, v in vars(m).items() if not n.startswith("__")}
        assert stub_kinds(stub.body) == runtime

    def test_class_names_and_kinds(self, stub):
        runtime = {n: runtime_kind(v) for n, v in vars(m.PCB_ROQ).items() if n not in BINDING_INTERNALS}
        assert stub_kinds(stub_class(stub, "PCB_ROQ").body) == runtime

    def test_members_are_listed_in_registration_order(self, stub):
        runtime = [n for n in vars(m.PCB_ROQ) if n not in BINDING_INTERNALS]
        listed = list(dict.fromkeys(n.name for n in stub_class(stub, "PCB_ROQ").body if isinstance(n, ast.FunctionDef)))
        assert listed == runtime

    @pytest.mark.parametrize("name", ["__init__", "_get_raw_data", "start", "stop", "serial_number", "__repr__",
                                      "opened", "flush"])
    def test_method_parameters(self, stub, name):
        function = next(n for n in stub_class(stub, "PCB_ROQ").body if isinstance(n, ast.FunctionDef) and n.name == name)
        assert stub_parameters(function) == runtime_parameters(getattr(m.PCB_ROQ, name))

    def test_unnamed_argument_is_positional_only(self, stub):
        function = next(n for n in stub_class(stub, "PCB_ROQ").body if getattr(n, "name", "") == "_get_raw_data")
        assert [a.arg for a in function.args.posonlyargs] == ["self", "arg0"]

    def test_docstrings(self, stub):
        assert ast.get_docstring(stub, clean=False) == m.__doc__
        assert ast.get_docstring(stub_class(stub, "PCB_ROQ"), clean=False) == m.PCB_ROQ.__doc__
