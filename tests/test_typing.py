"""The package's type hints and the stubs of the compiled modules work for a type checker."""
import os
import subprocess
import sys
from pathlib import Path
import textwrap

import pytest

pytest.importorskip("mypy")

GOOD = """
    import numpy as np
    import vorl
    from _vorl.extractor import GammatoneFilterbank

    gram: np.ndarray = vorl.gammatonegram(np.zeros(2048), 16000, num_bands=8)
    fb = GammatoneFilterbank(num_samples=4)
    features: list[float] = fb([1.0, 2.0, 3.0, 4.0])
    cf: float = fb.filters[0].cf
    rate: int = vorl.Gammatone(16000).sample_rate
    coch: np.ndarray = vorl.cochleagram(np.zeros(2048), 16000, num_bands=8, dtype="float32")
    ceps: np.ndarray = vorl.delta(vorl.gfcc(np.zeros(4096), 16000), width=5)
"""
BAD = """
    import vorl
    from _vorl.extractor import GammatoneFilterbank

    vorl.gammatonegram([0.0], 16000, num_bands="eight")
    GammatoneFilterbank().filters[0].coscf
"""


def mypy(tmp_path, source):
    path = tmp_path / "snippet.py"
    path.write_text(textwrap.dedent(source))
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict-optional",
                           str(path)], capture_output=True, text=True, cwd=tmp_path)


def test_types_check(tmp_path):
    good = mypy(tmp_path, GOOD)
    assert good.returncode == 0, good.stdout
    bad = mypy(tmp_path, BAD)
    assert bad.returncode == 1
    assert 'incompatible type "str"' in bad.stdout and '"coscf"' in bad.stdout


def test_the_package_type_checks(tmp_path):
    """Every module of the package, against the stubs of the compiled ones."""
    src = Path(__file__).resolve().parent.parent / "src"
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "-p", "vorl",
                             "--ignore-missing-imports"], capture_output=True, text=True,
                            cwd=tmp_path, env={**os.environ, "MYPYPATH": str(src),
                                               "PYTHONPATH": str(src)})
    assert result.returncode == 0, result.stdout
