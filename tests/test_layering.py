"""The modules of src/corvex form layers: none imports itself through others.

The imports are read from the source with ast, so that an import inside a function counts as
much as one at the top of a module; imports under ``if TYPE_CHECKING:`` serve type checkers only
and do not count. ``from package import name`` imports the module ``package.name`` when there is
one (a ``.py`` file, a package, or the compiled extension's stub), else the package itself.
"""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"


def module_files(root: Path) -> dict[str, Path]:
    """Dotted module name -> file, for every ``.py`` file under ``root``'s packages."""
    found = {}
    for path in sorted(root.rglob("*.py")):
        parts = list(path.relative_to(root).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def _is_type_checking(node: ast.If) -> bool:
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def _is_module(root: Path, dotted: str, modules: dict[str, Path]) -> bool:
    if dotted in modules:
        return True
    folder, _, name = dotted.rpartition(".")
    where = root.joinpath(*folder.split("."))
    return (where / f"{name}.pyi").is_file() or any(where.glob(f"{name}.*.so"))


def imported_modules(root: Path, name: str, modules: dict[str, Path]) -> set[str]:
    """The modules of ``modules`` that module ``name`` imports anywhere but under TYPE_CHECKING."""
    path = modules[name]
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()

    def visit(node: ast.AST) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.If) and _is_type_checking(child):
                for stmt in child.orelse:
                    visit_statement(stmt)
            else:
                visit_statement(child)

    def visit_statement(node: ast.AST) -> None:
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                source = ".".join([*base, *([node.module] if node.module else [])])
            else:
                source = node.module or ""
            for alias in node.names:
                dotted = f"{source}.{alias.name}"
                found.add(dotted if _is_module(root, dotted, modules) else source)
        else:
            visit(node)

    visit(ast.parse(path.read_text(encoding="utf-8"), str(path)))
    return {module for module in found if module in modules and module != name}


def import_graph(root: Path) -> dict[str, set[str]]:
    modules = module_files(root)
    return {name: imported_modules(root, name, modules) for name in modules}


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """One import path that comes back to its start, for each group of modules that import
    each other (the strongly connected components of more than one module)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    groups: list[set[str]] = []

    def connect(node: str) -> None:  # Tarjan's algorithm
        index[node] = low[node] = len(index)
        stack.append(node)
        for other in sorted(graph[node]):
            if other not in index:
                connect(other)
                low[node] = min(low[node], low[other])
            elif other in stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            group = set()
            while True:
                member = stack.pop()
                group.add(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(group)

    for node in sorted(graph):
        if node not in index:
            connect(node)
    return [_path_around(graph, group) for group in groups]


def _path_around(graph: dict[str, set[str]], group: set[str]) -> list[str]:
    """A shortest import path from the group's first module back to itself."""
    start = min(group)
    paths = {start: [start]}
    queue = [start]
    while queue:
        node = queue.pop(0)
        for other in sorted(graph[node] & group):
            if other == start:
                return [*paths[node], start]
            if other not in paths:
                paths[other] = [*paths[node], other]
                queue.append(other)
    raise AssertionError(f"no path around {sorted(group)}")


def test_no_module_imports_itself_through_others():
    found = cycles(import_graph(SRC))
    assert found == [], "import cycles:\n" + "\n".join(" -> ".join(path) for path in found)


def test_only_the_demo_uses_the_test_tooling_at_run_time():
    graph = import_graph(SRC)
    users = {
        name
        for name, imported in graph.items()
        if not name.startswith("corvex.testing")
        and any(m == "corvex.testing" or m.startswith("corvex.testing.") for m in imported)
    }
    assert users == {"corvex.cli.demo"}


@pytest.mark.parametrize(
    ("files", "expected"),
    [
        # at the top of both modules
        ({"a.py": "import pkg.b", "b.py": "from pkg import a"}, [["pkg.a", "pkg.b", "pkg.a"]]),
        # inside a function, through a third module, and relative
        (
            {
                "a.py": "def f():\n    from pkg.b import x\n",
                "b.py": "from . import c\nx = 1",
                "c.py": "class C:\n    def m(self):\n        import pkg.a\n",
            },
            [["pkg.a", "pkg.b", "pkg.c", "pkg.a"]],
        ),
        # the package's __init__ and a module that asks it for a name
        (
            {"__init__.py": "def g():\n    from pkg.a import f\n", "a.py": "from pkg import g"},
            [["pkg", "pkg.a", "pkg"]],
        ),
        # for type checkers only, and a name of the package that is no module: no cycle
        (
            {
                "__init__.py": "VALUE = 1",
                "a.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import pkg.b\n",
                "b.py": "import pkg.a\nfrom pkg import VALUE",
            },
            [],
        ),
    ],
)
def test_the_cycle_finder(tmp_path, files, expected):
    (tmp_path / "pkg").mkdir()
    files = {"__init__.py": "", **files}
    for name, text in files.items():
        (tmp_path / "pkg" / name).write_text(text)
    assert cycles(import_graph(tmp_path)) == expected
