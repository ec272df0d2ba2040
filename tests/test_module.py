import subprocess
import sys

import _vorl


def test_module_attributes():
    assert _vorl.__doc__ == "\n        Vorl library \n    "
    assert _vorl.__version__ == "0.0.7"
    assert _vorl.extractor.__name__ == "_vorl.extractor"
    assert sys.modules["_vorl.extractor"] is _vorl.extractor


def test_class_names_and_scopes():
    ex = _vorl.extractor
    assert (ex.Extractor.__module__, ex.Extractor.__qualname__) == ("_vorl.extractor", "Extractor")
    assert issubclass(ex.GammatoneFilterbank, ex.Extractor)
    assert ex.GammatoneFilterbank.Filter.__qualname__ == "GammatoneFilterbank.Filter"
    assert ex.GammatoneFilterbank.Filter.__module__ == "_vorl.extractor"
    assert not hasattr(ex, "Filter")
    assert not hasattr(ex.Extractor, "compute")


# The interpreter picks the binding library at build time: pybind11 2.10 on
# 3.10, 2.13 on later ones. Their rendered signatures differ in spelling only.
MODERN_BINDINGS = sys.version_info >= (3, 11)


def test_binding_library_state_version():
    """pybind11 keeps its shared state under a versioned key: version 4 in the
    builtins, version 5 (3.12 and later) in the interpreter's state dict. A fresh
    interpreter, so that no other extension's binding library adds its own key."""
    probe = """if True:
        import builtins, ctypes, _vorl
        api = ctypes.pythonapi
        api.PyInterpreterState_Get.restype = ctypes.c_void_p
        api.PyInterpreterState_GetDict.restype = ctypes.py_object
        api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
        state = api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())
        print(*[k for k in [*vars(builtins), *state] if str(k).startswith("__pybind11_internals_")])
    """
    keys = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                          check=True).stdout.split()
    expected = 5 if sys.version_info >= (3, 12) else 4
    assert len(keys) == 1 and keys[0].startswith(f"__pybind11_internals_v{expected}_"), keys


def test_rendered_signatures():
    ex = _vorl.extractor
    floats, five = ("list[float]", "Annotated[list[float], FixedSize(5)]") if MODERN_BINDINGS \
        else ("List[float]", "List[float[5]]")
    call = ex.Extractor.__call__.__doc__
    assert f"__call__(self: _vorl.extractor.Extractor, input: {floats}) -> {floats}" in call
    assert ("__call__(self: _vorl.extractor.Extractor, input: numpy.ndarray[numpy.float64[m, n], "
            f"flags.f_contiguous]) -> {floats}") in call
    assert f"a: {five}) -> None" in ex.GammatoneFilterbank.Filter.__init__.__doc__
    assert ex.Extractor.transform.fget.__doc__.strip() == \
        "(self: _vorl.extractor.Extractor) -> Callable[[float], float]"
