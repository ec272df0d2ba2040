"""The same features, bit for bit, on every interpreter, NumPy and binding library.

The inputs are made from integers and exact divisions only, so they are the
same bits everywhere; the digest of the features is fixed below. CI runs this
file on every supported interpreter.
"""
import hashlib

import numpy as np

import vorl
from _vorl.extractor import Extractor, GammatoneFilterbank

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
