"""The same features, bit for bit, on every interpreter, NumPy and binding library.

The inputs are made from integers and exact divisions only, so they are the
same bits everywhere; the digest of the features is fixed below. CI runs this
file on every supported interpreter.
"""
import hashlib
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vorl
from _vorl.extractor import Extractor, GammatoneFilterbank

HERE = Path(__file__).resolve().parent
# The 16 kHz part takes the default top band, 0.45 of the rate (7200 Hz).
DIGEST = "f999698d7907a224ccc4f2f846e33caf1304bf806474d3b362000db60d5ed405"


def signal(n, step, period):
    return ((np.arange(n, dtype=np.int64) * step + 13) % period - period // 2) / 1024.0


def features():
    stereo = np.stack([signal(6000, 7919, 2003), signal(6000, 104729, 1999)])
    frame = list(stereo[0, :1024])

    class Scaled(Extractor):
        def compute(self, input, output):
            for i in range(len(output)):
                output[i] = input[i] * (i + 1)

    parts = [
        vorl.gammatonegram(stereo, 44100),
        vorl.gammatonegram(stereo, 16000, frame_length=400, hop_length=160, num_bands=40,
                           temporal_integration=0.01, channel=1, log=False, threads=2),
        GammatoneFilterbank()(frame),
        GammatoneFilterbank(num_samples=1024, temporal_integration=0.003)(
            np.asfortranarray(stereo[:, 2000:3024])),
        Scaled(num_samples=8, num_features=3, transform=lambda v: v / 3)(frame[:8]),
    ]
    return b"".join(np.ascontiguousarray(p, dtype="<f8").tobytes() for p in parts)


def test_features_digest():
    assert hashlib.sha256(features()).hexdigest() == DIGEST


DIGEST_OF_ALL = """
import hashlib, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import vorl
from test_reproducible import features, signal
x = signal(20000, 7919, 2003)
c = vorl.Cochleagram(16000, num_bands=24)
parts = [features(), c(x), c.envelopes(x[:3000]), c.analytic(x[:3000]).view(np.float64),
         vorl.resynthesize(x, 16000, num_bands=24)]
print(vorl.simd_kernel(), hashlib.sha256(b"".join(np.ascontiguousarray(p).tobytes()
                                                   for p in parts)).hexdigest())
"""


@pytest.mark.parametrize("kernel", ["avx512f", "avx2", "sse2", "generic", "avx512f/k1",
                                    "avx2/k2", "sse2/k2", "avx512f/k1f2", "avx2/k1f2",
                                    "generic/k1f2"])
def test_every_instruction_set_gives_the_same_bits(kernel):
    """VORL_KERNEL forces the kernels of one instruction set, or one variant of the
    filters' kernel: features, per-sample outputs and synthesis are the same bits
    with each."""
    def run(env):
        return subprocess.run([sys.executable, "-c", DIGEST_OF_ALL, str(HERE)],
                              capture_output=True, text=True, env=env)

    forced = run(dict(os.environ, VORL_KERNEL=kernel))
    if "does not support" in forced.stderr or "not one of" in forced.stderr:
        pytest.skip(f"{kernel}: not on this machine")
    assert forced.returncode == 0, forced.stderr
    chosen = run({k: v for k, v in os.environ.items() if k != "VORL_KERNEL"})
    assert forced.stdout.split()[0] == kernel.split("/")[0]
    assert forced.stdout.split()[1] == chosen.stdout.split()[1]


def test_an_unknown_kernel_is_named_in_the_error():
    result = subprocess.run([sys.executable, "-c", "import vorl, numpy as np; "
                             "vorl.cochleagram(np.zeros(100), 16000)"],
                            capture_output=True, text=True,
                            env=dict(os.environ, VORL_KERNEL="avx9000"))
    assert result.returncode != 0
    assert "VORL_KERNEL=avx9000: not one of" in result.stderr
    result = subprocess.run([sys.executable, "-c", "import vorl, numpy as np; "
                             "vorl.cochleagram(np.zeros(100), 16000)"],
                            capture_output=True, text=True,
                            env=dict(os.environ, VORL_KERNEL="sse2/k7"))
    assert "no variant k7 of sse2, only sse2/k2" in result.stderr
