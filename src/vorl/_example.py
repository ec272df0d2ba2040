"""A built-in signal: a few seconds of speech-like audio, made by code.

Voiced segments are sums of the harmonics of a moving pitch, each harmonic
weighted by the vowel's formant resonances at its frequency (formants glide
from vowel to vowel); fricatives are white noise band-limited to their band;
pauses are silence. Every value comes from the formulas and a fixed seed, so
the signal is the same on every machine and every call.
"""
from __future__ import annotations

from typing import List, Tuple

import numpy as np
import numpy.typing as npt

# Formant frequencies (Hz) of the vowels, after Peterson and Barney's averages.
_VOWELS = {"a": (730.0, 1090.0, 2440.0), "i": (270.0, 2290.0, 3010.0),
           "u": (300.0, 870.0, 2240.0), "e": (530.0, 1840.0, 2480.0)}
_BANDWIDTHS = (90.0, 110.0, 170.0)  # Hz, of the three formants
# (kind, seconds, what): a vowel's start and end vowel and pitch (Hz), a
# fricative's band (Hz), or a pause.
_SCRIPT = [
    ("pause", 0.15, None),
    ("vowel", 0.45, ("a", "a", 120.0, 150.0)),
    ("fricative", 0.18, (4000.0, 7000.0)),
    ("vowel", 0.40, ("i", "e", 150.0, 125.0)),
    ("pause", 0.20, None),
    ("vowel", 0.35, ("u", "u", 110.0, 130.0)),
    ("fricative", 0.15, (2000.0, 5000.0)),
    ("vowel", 0.55, ("a", "i", 140.0, 100.0)),
    ("pause", 0.17, None),
]
_RAMP = 0.02  # seconds of raised-cosine onset and offset of each segment


def example(sample_rate: int = 16000) -> Tuple[npt.NDArray[np.float64], int]:
    """A few seconds of speech-like audio, the same on every call and machine.

    Voiced vowels with a moving pitch and gliding formants, fricative noise and
    pauses (2.6 s), made by code: for trying Vorl, and for every example in its
    documentation, without a file.

    Parameters
    ----------
    sample_rate : int
        Samples per second, from 8000 to 192000.

    Returns
    -------
    signal : ndarray
        float64, shape (1, samples), peak 0.5: one channel, as `vorl.load`
        gives a file.
    sample_rate : int
        The rate of `signal`.
    """
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, (int, np.integer)):
        raise TypeError(f"sample_rate must be an integer, not {type(sample_rate).__name__}")
    if not 8000 <= sample_rate <= 192000:
        raise ValueError(f"sample_rate must be from 8000 to 192000, got {sample_rate}")
    rate = int(sample_rate)
    rng = np.random.default_rng(20261209)
    parts: List[npt.NDArray[np.float64]] = []
    for kind, seconds, what in _SCRIPT:
        n = int(round(seconds * rate))
        if kind == "vowel":
            part = _vowel(n, rate, *what)  # type: ignore[misc]
        elif kind == "fricative":
            part = 0.25 * _noise(n, rate, *what, rng)  # type: ignore[misc, call-arg]
        else:
            part = np.zeros(n)
        parts.append(part * _envelope(n, rate))
    signal = np.concatenate(parts)
    signal *= 0.5 / np.max(np.abs(signal))
    return signal[np.newaxis, :], rate


def _vowel(n: int, rate: int, start: str, end: str, f0_start: float,
           f0_end: float) -> npt.NDArray[np.float64]:
    """Harmonics of a pitch gliding from f0_start to f0_end, weighted by formants
    gliding from vowel `start` to vowel `end`, with a slow vibrato."""
    t = np.arange(n) / rate
    along = t / max(t[-1], 1e-9) if n else t
    f0 = (f0_start + (f0_end - f0_start) * along) * (1 + 0.01 * np.sin(2 * np.pi * 5.5 * t))
    phase = 2 * np.pi * np.cumsum(f0) / rate
    formants = [a + (b - a) * along for a, b in zip(_VOWELS[start], _VOWELS[end])]
    out = np.zeros(n)
    for k in range(1, int(0.45 * rate / min(f0_start, f0_end)) + 1):
        f = k * f0
        gain = np.zeros(n)
        for centre, bandwidth in zip(formants, _BANDWIDTHS):
            # A resonance's magnitude at f, with the glottal source's -12 dB/octave.
            gain += 1 / np.sqrt((1 - (f / centre) ** 2) ** 2 + (f * bandwidth / centre ** 2) ** 2)
        gain /= k ** 2
        out += np.where(f < 0.45 * rate, gain, 0.0) * np.sin(k * phase)
    return out / max(np.max(np.abs(out)), 1e-300)


def _noise(n: int, rate: int, low: float, high: float,
           rng: np.random.Generator) -> npt.NDArray[np.float64]:
    """White noise with nothing outside low..high Hz, peak 1; at low rates the
    band is moved down to fit below 0.45 times the rate."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    freqs = np.fft.rfftfreq(n, 1 / rate)
    spectrum[(freqs < min(low, 0.3 * rate)) | (freqs > min(high, 0.45 * rate))] = 0
    noise = np.fft.irfft(spectrum, n)
    return noise / max(np.max(np.abs(noise)), 1e-300)


def _envelope(n: int, rate: int) -> npt.NDArray[np.float64]:
    """1, with raised-cosine ramps of `_RAMP` seconds at both ends."""
    ramp = min(int(_RAMP * rate), n // 2)
    envelope = np.ones(n)
    if ramp:
        rise = 0.5 - 0.5 * np.cos(np.pi * np.arange(ramp) / ramp)
        envelope[:ramp], envelope[n - ramp:] = rise, rise[::-1]
    return envelope


def demo_signal(sample_rate: int = 44100, seconds: float = 3.0) -> np.ndarray:
    """A harmonic tone gliding from 150 Hz to 600 Hz, with a noise burst in the
    middle of it, as (1, samples) float64."""
    t = np.arange(int(seconds * sample_rate)) / sample_rate
    f0 = 150.0 * 4.0 ** (t / seconds)  # exponential glide over two octaves
    phase = 2 * np.pi * np.cumsum(f0) / sample_rate
    tone = sum(np.sin(k * phase) / k for k in range(1, 9)) * 0.2
    burst = np.zeros_like(t)
    inside = (t > seconds * 0.45) & (t < seconds * 0.55)
    burst[inside] = np.random.default_rng(7).standard_normal(inside.sum()) * 0.3
    return (tone + burst)[np.newaxis, :]
