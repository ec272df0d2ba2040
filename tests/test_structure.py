"""The package's layout holds: no import cycles among its modules, no module
importing another's private names, and no module past a reading's length."""
import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "vorl"
MODULES = sorted(PACKAGE.rglob("*.py"))
COMPILED = {p.relative_to(PACKAGE.parent).with_suffix("").as_posix().replace("/", ".")
            for p in PACKAGE.rglob("*.pyi")}  # vorl._engine


def name_of(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports(path):
    """(module imported, names taken from it) of every import of `path`, at any depth."""
    here = name_of(path).split(".")
    package = here if path.name == "__init__.py" else here[:-1]
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package[:len(package) - node.level + 1]
            target = ".".join(base + ([node.module] if node.module else []))
            for alias in node.names:
                child = f"{target}.{alias.name}"
                if child in COMPILED or any(name_of(m) == child for m in MODULES):
                    yield child, []  # a submodule
                else:
                    yield target, [alias.name]


def test_no_module_imports_another_modules_private_names():
    taken = [(name_of(path), target, name) for path in MODULES
             for target, names in imports(path) for name in names
             if name.startswith("_") and name != "__version__"]
    assert taken == []


def test_no_import_cycles():
    graph = {name_of(path): {t for t, _ in imports(path) if t.startswith("vorl")}
             for path in MODULES}
    # A package imports its own submodules; those may import siblings through it.
    done, path = set(), []

    def visit(module):
        if module in path:
            raise AssertionError(" -> ".join(path[path.index(module):] + [module]))
        if module in done:
            return
        path.append(module)
        for target in sorted(graph.get(module, ())):
            if not (target == module.rsplit(".", 1)[0] and module.startswith(target + ".")):
                visit(target)
        path.pop()
        done.add(module)

    for module in sorted(graph):
        visit(module)


def test_every_module_reads_in_one_sitting():
    long = {name_of(p): n for p in MODULES if (n := len(p.read_text().splitlines())) > 460}
    assert long == {}
