"""Vorl: exact recursive gammatone filterbank features for audio.

    >>> import vorl
    >>> signal, rate = vorl.load("speech.wav")          # (channels, samples)
    >>> gram = vorl.gammatonegram(signal, rate)          # (frames, bands), log10
    >>> vorl.plot(gram, vorl.Gammatone(rate))

The per-frame extractor itself is `_vorl.extractor.GammatoneFilterbank`.
"""
from ._gammatone import (Cochleagram, ContinuousStream, FramedStream, Gammatone, cochleagram,
                         gammatonegram, simd_kernel)
from ._io import load
from ._plot import plot

from _vorl import __version__  # the version of pyproject.toml, compiled in
__all__ = ["Cochleagram", "ContinuousStream", "FramedStream", "Gammatone", "cochleagram",
           "gammatonegram", "load", "plot", "simd_kernel", "__version__"]
