"""The package's folders import one way: each only from those below it, and none in a cycle."""

import ast
import pathlib

import vexo

PACKAGE = pathlib.Path(vexo.__file__).parent
# From the top down; the modules at the package's top (faces, config) may be imported by any.
LAYERS = ["cli", "integrations", "explore", "recording", "store", "trace", "values", "common"]
TOP = {"__init__", "__main__", "config", "db", "serialize", "plugins", "git", "version"}
TOP |= {"middleware", "pytest_plugin", "profiler"}


def module_names():
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE).with_suffix("").parts
        yield ".".join(("vexo", *parts)).removesuffix(".__init__"), path


def imported(path, modules):
    """The package's modules that the file imports, at its top or inside functions (the compiled
    modules, `from vexo import _vexo`, are none of them)."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("vexo"):
            for alias in node.names:
                name = f"{node.module}.{alias.name}"
                if name in modules or not alias.name.startswith("_"):
                    found.add(name if name in modules else node.module)
        elif isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names if alias.name.startswith("vexo"))
    return found & modules


def layer(name):
    parts = name.split(".")
    return parts[1] if len(parts) > 1 and parts[1] in LAYERS else None


def test_only_faces_sit_at_the_top_and_folders_import_downwards():
    names = dict(module_names())
    assert {name.split(".")[1] for name in names if name.count(".") == 1} - set(LAYERS) <= TOP
    graph = {name: imported(path, set(names)) - {name} for name, path in names.items()}
    upward = [
        (name, target)
        for name, targets in graph.items()
        for target in targets
        if layer(name) and layer(target) and LAYERS.index(layer(target)) < LAYERS.index(layer(name))
    ]
    assert upward == []
    visiting, done = set(), set()

    def visit(name, path):
        assert name not in visiting, f"import cycle: {' -> '.join((*path, name))}"
        if name in done:
            return
        visiting.add(name)
        for target in sorted(graph[name]):
            visit(target, (*path, name))
        visiting.discard(name)
        done.add(name)

    for name in sorted(graph):
        visit(name, ())
