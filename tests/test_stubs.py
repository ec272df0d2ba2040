"""The hand-written stubs of the compiled modules must not drift from them.

Two tools check them: mypy's stubtest (every public name, of the right kind),
and pybind11-stubgen, whose stubs, generated from the modules, must declare the
same classes, functions and parameter names.
"""
import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
MODULES = {"vorl._engine": SRC / "vorl" / "_engine.pyi",
           "_vorl.extractor": SRC / "_vorl-stubs" / "extractor.pyi"}


def declared(path):
    """{qualified name: [parameter names] or None for a class} of a stub file."""
    found = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                found[prefix + node.name] = None
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                found[prefix + node.name] = [a.arg for a in node.args.args if a.arg != "self"]

    visit(ast.parse(path.read_text()).body, "")
    return found


def run(*args, cwd):
    """A tool, run on the modules this test imports (the installed build, or a tree
    with the built modules beside the sources)."""
    import vorl

    where = str(Path(vorl.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([where, os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, env=env)


def test_stubtest_finds_the_stubs_complete(tmp_path):
    pytest.importorskip("mypy.stubtest")
    result = run("mypy.stubtest", "vorl._engine", "_vorl", "--allowlist",
                 str(HERE / "stubtest-allowlist.txt"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module", sorted(MODULES))
def test_stubs_declare_what_pybind11_stubgen_finds(tmp_path, module):
    pytest.importorskip("pybind11_stubgen")
    result = run("pybind11_stubgen", module, "-o", str(tmp_path), "--ignore-all-errors",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    generated = declared(tmp_path.joinpath(*module.split(".")).with_suffix(".pyi"))
    written = declared(MODULES[module])
    # Ignore what the binding library adds to every class.
    generated = {k: v for k, v in generated.items()
                 if not k.rsplit(".", 1)[-1].startswith(("_pybind11", "__getstate__",
                                                         "__setstate__"))}
    assert sorted(written) == sorted(generated)
    for name, params in generated.items():
        assert written[name] == params, name
