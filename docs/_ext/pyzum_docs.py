"""Pages made from the code: the board's counters from their table, the module's surface from its type stub."""
import ast
import pathlib

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

REPO = pathlib.Path(__file__).resolve().parents[2]


class _Generated(SphinxDirective):
    def lines(self):
        raise NotImplementedError

    def run(self):
        node = nodes.container()
        self.state.nested_parse(StringList(self.lines(), source=type(self).__name__), self.content_offset, node)
        return node.children


class CounterTable(_Generated):
    """The board's counters as the health extension exports them (src/health/counter_table.hpp)."""

    def lines(self):
        from pyzum_zezudi_vu.health import COUNTERS
        out = [".. list-table::", "   :header-rows: 1", "   :widths: 25 10 10 55", "",
               "   * - counter", "     - kind", "     - fails the run", "     - meaning"]
        for c in COUNTERS:
            out += [f"   * - ``{c.name}``", f"     - {c.kind}", f"     - {'yes' if c.shows_damage else 'no'}",
                    f"     - {c.meaning}"]
        return out


def _signature(node):
    text = ast.unparse(node.args)
    returns = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    return f"({text}){returns}"


def _docstring(node, indent):
    """The docstring as it is, shown literally: the module's own docstrings are not written as reST."""
    doc = ast.get_docstring(node)
    if not doc:
        return []
    return ["", indent + "::", ""] + [indent + "   " + line for line in doc.splitlines()]


class StubModule(_Generated):
    """The surface of an extension module, read from its type stub."""

    required_arguments = 1

    def lines(self):
        path = REPO / self.arguments[0]
        self.env.note_dependency(str(path))
        tree = ast.parse(path.read_text())
        name = path.stem
        out = [f".. py:module:: {name}", ""] + [line[3:] for line in _docstring(tree, "   ")[1:]] + [""]
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                out += [f".. py:function:: {node.name}{_signature(node)}"] + _docstring(node, "   ") + [""]
            elif isinstance(node, ast.ClassDef):
                out += [f".. py:class:: {node.name}"] + _docstring(node, "   ") + [""]
                for member in node.body:
                    if not isinstance(member, ast.FunctionDef):
                        continue
                    decorators = {ast.unparse(d) for d in member.decorator_list}
                    if f"{member.name}.setter" in decorators:
                        continue
                    if "property" in decorators:
                        settable = any(isinstance(m, ast.FunctionDef) and f"{member.name}.setter" in
                                       {ast.unparse(d) for d in m.decorator_list} for m in node.body)
                        kind = ast.unparse(member.returns) if member.returns else ""
                        out += [f"   .. py:property:: {member.name}", f"      :type: {kind}"]
                        if not settable:
                            out += ["", "      Read only."]
                        out += _docstring(member, "      ") + [""]
                    else:
                        args = ast.unparse(member.args).removeprefix("self, ").removeprefix("self")
                        returns = f" -> {ast.unparse(member.returns)}" if member.returns else ""
                        out += [f"   .. py:method:: {member.name}({args}){returns}"]
                        out += _docstring(member, "      ") + [""]
        return out


def setup(app):
    app.add_directive("counter-table", CounterTable)
    app.add_directive("stub-module", StubModule)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
