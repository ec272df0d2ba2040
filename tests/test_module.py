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
