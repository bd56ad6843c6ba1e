"""The package's modules import one another one way only: the graph of
every import statement (those inside functions too, so that a lazy import
cannot hide a circle) has no cycle. Imports for type checkers alone (under
`if TYPE_CHECKING:`) never run and are left out."""
import ast
import os

# The package's sources (the build folder may hold copies of removed files).
PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python", "tqfslide")


def modules():
    """{dotted name: path} of every module of the package; native modules
    (built from NAME.cpp) have no path."""
    found = {}
    for directory, folders, files in os.walk(PACKAGE):
        folders[:] = [f for f in folders if f != "__pycache__" and not f.startswith(".")]
        for file in files:
            stem, suffix = os.path.splitext(file)
            if suffix in (".py", ".cpp"):
                relative = os.path.relpath(os.path.join(directory, stem), os.path.dirname(PACKAGE))
                name = "tqfslide" + relative[len(os.path.basename(PACKAGE)):].replace(os.sep, ".")
                name = name[: -len(".__init__")] if name.endswith(".__init__") else name
                found[name] = os.path.join(directory, file) if suffix == ".py" else None
    return found


def _type_checking_only(tree):
    """The nodes inside `if TYPE_CHECKING:` blocks."""
    inside = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and ast.unparse(node.test) in ("TYPE_CHECKING", "typing.TYPE_CHECKING"):
            for statement in node.body:
                inside.update(ast.walk(statement))
    return inside


def imports(name, path, known):
    """The package modules that the module `name` imports anywhere in it."""
    is_package = path.endswith("__init__.py")
    here = name if is_package else name.rpartition(".")[0]
    targets = set()
    tree = ast.parse(open(path).read(), path)
    skipped = _type_checking_only(tree)
    for node in [node for node in ast.walk(tree) if node not in skipped]:
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = here.rsplit(".", node.level - 1)[0] if node.level > 1 else here
                base = f"{base}.{node.module}" if node.module else base
            else:
                base = node.module
            # "from . import x" imports the module x, "from . import y" the
            # package (for its name y).
            for alias in node.names:
                targets.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base)
    return {target for target in targets if target in known and target != name}


def graph():
    known = modules()
    return {name: imports(name, path, known) if path else set() for name, path in known.items()}


def cycle(edges):
    """One import cycle as a list of modules, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for target in sorted(edges[node]):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(edges):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def test_the_graph_sees_imports_of_every_form():
    edges = graph()
    assert "tqfslide._slide_pool" in edges["tqfslide.dask_array"]  # from ._slide_pool import ...
    assert "tqfslide.zarr_store" in edges["tqfslide._slide"]       # inside a method
    assert "tqfslide._errors" in edges["tqfslide.viewer.library"]   # from .._errors import ...
    assert cycle({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}) == ["a", "b", "c", "a"]


def test_no_import_cycle():
    assert cycle(graph()) is None


def test_the_errors_and_the_pool_stand_alone():
    edges = graph()
    assert edges["tqfslide._errors"] == set()
    assert edges["tqfslide._slide_pool"] == {"tqfslide._errors"}
