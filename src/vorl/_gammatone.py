"""Gammatone features of whole signals."""
from __future__ import annotations

import math
import operator
import os
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterator, Optional

import numpy as np
import numpy.typing as npt

from . import _batch

if TYPE_CHECKING:
    from _vorl.extractor import GammatoneFilterbank

_INT32_MAX = 2**31 - 1


def _positive_int(name: str, value: object, limit: int = 2**62) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 < number <= limit:
        raise ValueError(f"{name} must be a positive integer, got {number}")
    return number


def _finite(name: str, value: object) -> float:
    number = float(value)  # type: ignore[arg-type]
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number}")
    return number


@dataclass(frozen=True)
class Gammatone:
    """Configuration of a gammatonegram: an immutable, picklable value.

    Calling it on a signal returns the features of every whole frame, one row
    per frame and one column per band (band centre frequencies ascending).
    Each row equals, bit for bit, the native extractor of `filterbank()`
    applied to that frame.

    Parameters
    ----------
    sample_rate : samples per second (a whole number).
    frame_length, hop_length : frame size and frame step, in samples.
    num_bands : number of gammatone filters, evenly spaced on the ERB-rate scale.
    low_Hz, high_Hz : centre frequencies of the lowest and highest band.
    temporal_integration : time constant, in seconds, of the leaky integration of
        each band's envelope; 0 turns it off.
    channel : channel to analyse; a negative value averages all channels.
    log : return log10 of the band levels (True) or the levels themselves.
    """

    sample_rate: int
    frame_length: int = 1024
    hop_length: int = 512
    num_bands: int = 64
    low_Hz: float = 50.0
    high_Hz: float = 8000.0
    temporal_integration: float = 0.0
    channel: int = -1
    log: bool = True

    def __post_init__(self) -> None:
        rate = self.sample_rate
        if isinstance(rate, bool) or not isinstance(rate, (int, float, np.integer, np.floating)):
            raise TypeError(f"sample_rate must be a number, not {type(rate).__name__}")
        if not (math.isfinite(rate) and rate > 0):
            raise ValueError(f"sample_rate must be finite and positive, got {rate}")
        if rate != int(rate) or rate > _INT32_MAX:
            raise ValueError(f"sample_rate must be a whole number of samples per second "
                             f"up to {_INT32_MAX}, got {rate}")
        fields = {
            "sample_rate": int(rate),
            "frame_length": _positive_int("frame_length", self.frame_length),
            "hop_length": _positive_int("hop_length", self.hop_length),
            "num_bands": _positive_int("num_bands", self.num_bands, 2**20),
            "low_Hz": _finite("low_Hz", self.low_Hz),
            "high_Hz": _finite("high_Hz", self.high_Hz),
            "temporal_integration": _finite("temporal_integration", self.temporal_integration),
            "channel": operator.index(self.channel),
            "log": bool(self.log),
        }
        if not 0 <= fields["low_Hz"] < fields["high_Hz"]:
            raise ValueError(f"need 0 <= low_Hz < high_Hz, got low_Hz={fields['low_Hz']} "
                             f"and high_Hz={fields['high_Hz']}")
        if fields["temporal_integration"] < 0:
            raise ValueError("temporal_integration must not be negative, "
                             f"got {fields['temporal_integration']}")
        if not -_INT32_MAX <= fields["channel"] <= _INT32_MAX:
            raise ValueError(f"channel out of range: {fields['channel']}")
        nyquist = fields["sample_rate"] / 2
        if fields["high_Hz"] > nyquist:
            warnings.warn(f"high_Hz={fields['high_Hz']:g} lies above the Nyquist frequency "
                          f"{nyquist:g} Hz; the bands above it alias", stacklevel=3)
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    def filterbank(self) -> GammatoneFilterbank:
        """The native per-frame extractor with this configuration."""
        from _vorl.extractor import GammatoneFilterbank

        options = {} if self.log else {"transform": _identity}
        return GammatoneFilterbank(
            num_samples=self.frame_length, num_features=self.num_bands,
            sample_rate=self.sample_rate, on_channel=self.channel, low_Hz=self.low_Hz,
            high_Hz=self.high_Hz, temporal_integration=self.temporal_integration, **options)

    @property
    def center_frequencies(self) -> npt.NDArray[np.float64]:
        """Centre frequency of each band, in Hz, ascending."""
        return np.array([f.cf for f in self.filterbank().filters])

    def num_frames(self, num_samples: int) -> int:
        """Number of whole frames in a signal of `num_samples` samples."""
        if num_samples < self.frame_length:
            return 0
        return 1 + (num_samples - self.frame_length) // self.hop_length

    def __call__(self, signal: npt.ArrayLike, threads: Optional[int] = None
                 ) -> npt.NDArray[np.float64]:
        """Features of every whole frame of `signal`: shape (frames, num_bands)."""
        return self._run(self._prepare(signal), threads)

    def blocks(self, signal: npt.ArrayLike, frames_per_block: int,
               threads: Optional[int] = None) -> Iterator[npt.NDArray[np.float64]]:
        """The rows of `self(signal)` in blocks of up to `frames_per_block` frames."""
        frames_per_block = _positive_int("frames_per_block", frames_per_block)
        data = self._prepare(signal)
        total = self.num_frames(data.shape[1])
        for first in range(0, total, frames_per_block):
            count = min(frames_per_block, total - first)
            start = first * self.hop_length
            stop = start + (count - 1) * self.hop_length + self.frame_length
            yield self._run(data[:, start:stop], threads)

    def _prepare(self, signal: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """The signal as a (channels, samples) column-major float64 array, checked."""
        data = np.asarray(signal)
        if not np.issubdtype(data.dtype, np.floating):
            raise TypeError(f"signal must hold floating-point samples, not {data.dtype}; "
                            "scale integer PCM to floats first")
        if data.ndim == 1:
            data = data[np.newaxis, :]
        elif data.ndim != 2:
            raise ValueError(f"signal must be 1-D (samples) or 2-D (channels, samples), "
                             f"got {data.ndim} dimensions")
        channels, samples = data.shape
        if self.channel >= channels:
            raise ValueError(f"channel {self.channel} does not exist: the signal has "
                             f"{channels} channel(s)")
        if channels == 0:
            raise ValueError("signal has no channels")
        if samples < self.frame_length:
            raise ValueError(f"signal of {samples} samples is shorter than one frame "
                             f"({self.frame_length} samples)")
        return np.asfortranarray(data, dtype=np.float64)

    def _run(self, data: npt.NDArray[np.float64], threads: Optional[int]
             ) -> npt.NDArray[np.float64]:
        threads = _default_threads() if threads is None else _positive_int("threads", threads, 4096)
        return _batch.gammatonegram(
            data, self.frame_length, self.hop_length, self.num_bands, self.sample_rate,
            self.low_Hz, self.high_Hz, self.temporal_integration, self.channel, self.log, threads)


def gammatonegram(signal: npt.ArrayLike, sample_rate: float, *, frame_length: int = 1024,
                  hop_length: int = 512, num_bands: int = 64, low_Hz: float = 50.0,
                  high_Hz: float = 8000.0, temporal_integration: float = 0.0, channel: int = -1,
                  log: bool = True, threads: Optional[int] = None) -> npt.NDArray[np.float64]:
    """Gammatone features of every whole frame of `signal`, shape (frames, num_bands).

    `signal` is 1-D (samples) or 2-D (channels, samples), of any floating dtype
    and memory layout; it is not modified. Frames start at 0, hop_length,
    2*hop_length, ...; only whole frames are analysed. `threads` worker threads
    share the frames (default: every core this process may use). See `Gammatone`
    for the other parameters.
    """
    config = Gammatone(sample_rate, frame_length, hop_length, num_bands, low_Hz, high_Hz,
                       temporal_integration, channel, log)
    return config(signal, threads)


def _identity(x: float) -> float:
    return x


def _default_threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1
