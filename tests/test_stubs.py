"""The hand-written stubs of the compiled modules must not drift from them."""
import ast
import re
from pathlib import Path

import pytest

import _vorl.extractor
from vorl import _engine

SRC = Path(__file__).resolve().parent.parent / "src"


def stub_members(path):
    """{qualified name: [parameter names] or None} of the classes and functions of a stub."""
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


def runtime_parameters(function):
    """Parameter names from the signature line(s) pybind11 writes into the docstring."""
    lines = [l for l in function.__doc__.splitlines()
             if re.match(r"^(\d+\. )?\w+\(", l.strip()) and "*args" not in l]
    names = re.findall(r"(\w+): ", lines[0].split("->")[0])
    return [n for n in names if n != "self"]


def runtime_members(cls, prefix=""):
    found = {prefix + cls.__name__: None}
    for name, value in vars(cls).items():
        if name.startswith("_") and name not in ("__init__", "__call__"):
            continue  # dunders, and the binding library's own (`_pybind11_conduit_v1_`)
        qualified = f"{prefix}{cls.__name__}.{name}"
        if isinstance(value, type):
            found.update(runtime_members(value, f"{prefix}{cls.__name__}."))
        elif isinstance(value, property):
            found[qualified] = []
        else:
            found[qualified] = runtime_parameters(value)
    return found


def test_extractor_stub_matches_module():
    stub = stub_members(SRC / "_vorl-stubs" / "extractor.pyi")
    runtime = {}
    for cls in (_vorl.extractor.Extractor, _vorl.extractor.GammatoneFilterbank):
        runtime.update(runtime_members(cls))
    assert set(stub) == set(runtime)
    for name, params in runtime.items():
        assert stub[name] == params, name


def test_engine_stub_matches_module():
    stub = stub_members(SRC / "vorl" / "_engine.pyi")
    runtime = {n: runtime_parameters(getattr(_engine, n))
               for n in ("framed", "continuous", "whole_frames", "simd_kernel", "erb_rate",
                         "erb_rate_to_hz", "erb_space")}
    for cls in (_engine.Bank, _engine.Stream, _engine.Synthesis, _engine.Resynthesis):
        runtime.update(runtime_members(cls))
    assert set(stub) == set(runtime)
    for name, params in runtime.items():
        assert stub[name] == params, name
