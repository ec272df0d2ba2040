"""Vorl: exact recursive gammatone filterbank features for audio.

    >>> import vorl
    >>> signal, rate = vorl.load("speech.wav")          # (channels, samples)
    >>> gram = vorl.gammatonegram(signal, rate)          # (frames, bands), log10
    >>> vorl.plot(gram, vorl.Gammatone(rate))

The per-frame extractor itself is `_vorl.extractor.GammatoneFilterbank`.
"""
from _vorl import __version__  # the version of pyproject.toml, compiled in

from ._cepstra import cepstra, delta
from ._config import DEFAULT_FLOOR
from ._example import example
from ._features import Cochleagram, Gammatone, cochleagram, gammatonegram, gfcc, simd_kernel
from ._io import load
from ._plot import plot, plot_responses
from ._resynthesis import resynthesize
from ._scale import erb_rate, erb_rate_to_hz, erb_space
from ._streams import ContinuousStream, FramedStream
from ._synthesis import Synthesis, SynthesisStream
from ._validate import MAX_SAMPLE

__all__ = ["DEFAULT_FLOOR", "MAX_SAMPLE", "Cochleagram", "ContinuousStream", "FramedStream",
           "Gammatone", "cepstra", "cochleagram", "delta", "erb_rate", "erb_rate_to_hz",
           "erb_space", "example", "gammatonegram", "gfcc", "load", "plot",
           "plot_responses", "resynthesize", "simd_kernel", "Synthesis",
           "SynthesisStream", "__version__"]
