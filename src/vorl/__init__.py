"""Vorl: exact recursive gammatone filterbank features for audio.

    >>> import vorl
    >>> signal, rate = vorl.load("speech.wav")          # (channels, samples)
    >>> gram = vorl.gammatonegram(signal, rate)          # (frames, bands), log10
    >>> vorl.plot(gram, vorl.Gammatone(rate))

The per-frame extractor itself is `_vorl.extractor.GammatoneFilterbank`.
"""
from ._gammatone import Gammatone, gammatonegram
from ._io import load
from ._plot import plot

__version__ = "0.0.7"
__all__ = ["Gammatone", "gammatonegram", "load", "plot", "__version__"]
