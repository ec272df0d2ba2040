"""Every Python snippet of the README runs as shown, beside the files it names."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile

README = Path(__file__).resolve().parent.parent / "README.md"
SNIPPETS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """speech.flac (stereo, 44.1 kHz) and a corpus/ of files at two rates."""
    root = tmp_path_factory.mktemp("readme")
    rng = np.random.default_rng(5)
    soundfile.write(root / "speech.flac", 0.2 * rng.standard_normal((3 * 44100, 2)), 44100)
    (root / "corpus" / "a").mkdir(parents=True)
    soundfile.write(root / "corpus" / "a" / "one.wav", 0.2 * rng.standard_normal(16000), 16000)
    soundfile.write(root / "corpus" / "two.flac", 0.2 * rng.standard_normal(48000), 48000)
    return root


@pytest.mark.parametrize("snippet", SNIPPETS, ids=[f"snippet{i}" for i in range(len(SNIPPETS))])
def test_snippet_runs_as_shown(folder, snippet):
    pytest.importorskip("matplotlib")
    if "corpus" in snippet:
        pytest.importorskip("dask.distributed")
    script = folder / "snippet.py"
    script.write_text(snippet)
    run = subprocess.run([sys.executable, str(script)], cwd=folder, capture_output=True,
                         text=True, timeout=300, env={**os.environ, "MPLBACKEND": "Agg"})
    assert run.returncode == 0, run.stderr[-3000:]


def test_every_snippet_is_found():
    assert len(SNIPPETS) >= 4 and any("__main__" in s for s in SNIPPETS)
