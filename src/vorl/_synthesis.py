"""Back from the bands: resynthesis of a signal from its complex band outputs.

The road: bands -> mask -> synthesis. `Cochleagram.analytic` gives each band's
complex output z_k; a `Synthesis` delays band k by d_k samples, weights it by a
mask, multiplies it by one complex factor c_k and sums the real parts:

    y[t] = sum_k Re(c_k * w_k[t - d_k] * z_k[t - d_k]).

Its delays and factors come from `_design`, once per configuration and delay.
"""
from __future__ import annotations

import math
from typing import Any, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from . import _engine
from ._config import Config, continuous_twin, frame_centres
from ._design import checked_design, impulse_responses, response_length
from ._validate import MAX_BAND_VALUE, check_values, positive_int, thread_count

Array = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

_MAX_DELAY = 1.0  # seconds: the design's window and a stream's memory grow with the delay


def weights_of_frames(mask: Array, config: Config, start: int, stop: int) -> Array:
    """Per-sample weights of samples start..stop-1 from a frame mask: linear
    interpolation between frame centres j*hop_length + frame_length/2, held
    before the first and after the last. Equal neighbours give exactly their value."""
    centres = frame_centres(config, mask.shape[0])
    t = np.arange(start, stop, dtype=np.float64)
    weights = np.empty((stop - start, mask.shape[1]))
    for k in range(mask.shape[1]):
        weights[:, k] = np.interp(t, centres, mask[:, k])
    return weights


def checked_mask(mask: npt.ArrayLike, bands: int) -> Array:
    values = np.asarray(mask)
    if values.dtype == object or not (np.issubdtype(values.dtype, np.floating)
                                      or np.issubdtype(values.dtype, np.integer)
                                      or values.dtype == bool):
        raise TypeError(f"mask must hold real numbers, not {values.dtype}")
    values = np.asarray(values, dtype=np.float64)
    if values.ndim != 2 or values.shape[1] != bands:
        raise ValueError(f"mask of shape {values.shape} must be (frames, {bands}) or "
                         f"(samples, {bands}): one column per band")
    if not np.all(np.abs(values) <= MAX_BAND_VALUE) or np.any(values < 0):
        raise ValueError(f"mask values must be finite, at most {MAX_BAND_VALUE:g}, and "
                         "not negative")
    return values


class Synthesis:
    """Puts a configuration's complex bands back together (see `Cochleagram.synthesis`).

    Band k is delayed by ``band_delays[k]`` samples, weighted by the mask,
    multiplied by ``gains[k] * exp(1j * phases[k])``, and the real parts of all
    bands are summed in band order. The design aligns the peaks of the bands'
    impulse-response envelopes at ``delay_samples`` and fits the complex
    factors by least squares so that analysis then synthesis is as close as it
    can be to a pure delay of ``delay_samples`` over the bank's range.

    Parameters
    ----------
    config : Gammatone or Cochleagram
        The bands (centre frequencies, bandwidths, sample rate); its channel
        setting gives the shape of the bands it takes.
    delay : float or None
        The overall delay in seconds; None: the smallest that aligns every band.

    Attributes
    ----------
    delay_samples : int
        The overall delay of the output, in samples.
    band_delays : ndarray
        Each band's delay, in samples.
    gains, phases : ndarray
        Each band's complex factor, as magnitude and angle in radians.
    """

    def __init__(self, config: Config, delay: Optional[float] = 0.004) -> None:
        if delay is not None:
            if isinstance(delay, bool) or not isinstance(delay, (int, float, np.integer,
                                                                 np.floating)):
                raise TypeError(f"delay must be a number of seconds or None, not "
                                f"{type(delay).__name__}")
            if not (math.isfinite(delay) and delay >= 0):
                raise ValueError(f"delay must be finite and not negative seconds, got {delay}")
            if delay > _MAX_DELAY:
                raise ValueError(f"delay must be at most {_MAX_DELAY:g} second, got {delay:g}: "
                                 "the bands need a few milliseconds (delay=None: the least "
                                 "that aligns them)")
            delay = float(delay)
        self.config = continuous_twin(config)
        self.delay = delay
        self._design = checked_design(self.config, delay)
        factors = np.array(self._design.factors)
        self.delay_samples = self._design.delay_samples
        # Read-only: the native synthesis takes the design, not these copies of it.
        self.band_delays = _read_only(np.array(self._design.band_delays))
        self.gains = _read_only(np.abs(factors))
        self.phases = _read_only(np.angle(factors))

    def __repr__(self) -> str:
        return f"Synthesis({self.config!r}, delay={self.delay!r})"

    def response(self, n: Optional[int] = None) -> Tuple[Array, ComplexArray]:
        """The overall frequency response of analysis then this synthesis.

        Parameters
        ----------
        n : int, optional
            Length of the FFT of the overall impulse response; default the
            least power of two that holds it whole.

        Returns
        -------
        frequencies : ndarray
            Hz, ``n // 2 + 1`` of them from 0 to the Nyquist frequency.
        response : ndarray
            complex128: the output's spectrum for a unit impulse in, a pure
            delay of ``delay_samples`` where the design is exact.
        """
        length = response_length(self.config)
        needed = length + int(self.band_delays.max())
        size = 1 << max(needed - 1, 1).bit_length() if n is None else \
            positive_int("n", n, 1 << 30)
        h = impulse_responses(self.config, length)
        overall = np.zeros(max(size, needed))
        for k, (d, c) in enumerate(zip(self._design.band_delays, self._design.factors)):
            overall[d:d + length] += c.real * h[:, k].real - c.imag * h[:, k].imag
        if size < len(overall):  # a shorter FFT sees the response wrapped round
            overall = np.pad(overall, (0, -len(overall) % size)).reshape(-1, size).sum(axis=0)
        return (np.fft.rfftfreq(size, 1 / self.config.sample_rate),
                np.fft.rfft(overall[:size]))

    def _native_design(self) -> Tuple[List[float], List[float], List[int]]:
        """The factors' real and imaginary parts and the delays, as the native side takes them."""
        factors = self._design.factors
        return ([c.real for c in factors], [c.imag for c in factors],
                list(self._design.band_delays))

    def _native(self, threads: Optional[int]) -> Any:
        return _engine.Synthesis(*self._native_design(), thread_count(threads))

    def _bands(self, z: npt.ArrayLike, check_finite: bool) -> ComplexArray:
        bands = np.asarray(z)
        if not np.iscomplexobj(bands):
            raise TypeError(f"bands must be complex, as config.analytic(signal) gives them, "
                            f"not {bands.dtype}")
        want = 3 if self.config.channel is None else 2
        if bands.ndim != want or bands.shape[-1] != self.config.num_bands:
            shape = ("(channels, samples, " if want == 3 else "(samples, ") + \
                f"{self.config.num_bands})"
            raise ValueError(f"bands of shape {bands.shape} must be {shape}, as this "
                             "configuration's analytic() gives them")
        if want == 3 and bands.shape[0] == 0:
            raise ValueError("bands have no channels")
        if check_finite:
            check_values("bands", bands)
        return bands

    def __call__(self, z: npt.ArrayLike, mask: Optional[npt.ArrayLike] = None,
                 threads: Optional[int] = None, *, check_finite: bool = True) -> Array:
        """The causal output of the bands `z`, delayed by `delay_samples`.

        Parameters
        ----------
        z : array_like
            Complex bands, (samples, bands) or (channels, samples, bands) as
            the configuration's `analytic` gives them; never modified.
        mask : array_like, optional
            Non-negative weights: (frames, bands), one row per frame as the
            configuration's rows come (interpolated linearly between frame
            centres, held before the first and after the last), or (samples,
            bands). An all-ones mask gives the same bits as none.
        threads : int, optional
            Worker threads sharing the output samples; default every core.
        check_finite : bool
            Raise ValueError at the first band value that is NaN, infinite or
            too large (beyond 1e150); False synthesises them as they are.

        Returns
        -------
        ndarray
            float64, (samples,) or (channels, samples).
        """
        bands = self._bands(z, check_finite)
        samples = bands.shape[-2]
        weights = None if mask is None else self._weights(
            checked_mask(mask, self.config.num_bands), samples, 0, samples)
        return self._native(threads).push(_pairs(bands), weights)

    def _weights(self, values: Array, samples: int, start: int, stop: int) -> Array:
        """Weights of samples start..stop-1 of a signal of `samples` samples, from a
        checked mask."""
        frames = self.config.num_frames(samples)
        if values.shape[0] == samples:
            rows = np.minimum(np.arange(start, stop), samples - 1)  # the last row held
            return np.ascontiguousarray(values[rows])
        if values.shape[0] == frames and frames > 0:
            return weights_of_frames(values, self.config, start, stop)
        raise ValueError(f"mask has {values.shape[0]} rows: give one per frame ({frames}) "
                         f"or one per sample ({samples})")

    def stream(self, threads: Optional[int] = 1) -> "SynthesisStream":
        """A synthesis fed in chunks.

        Parameters
        ----------
        threads : int, optional
            Worker threads sharing each chunk's output samples.

        Returns
        -------
        SynthesisStream
            Its pushes, joined, give one call's bits.
        """
        return SynthesisStream(self, threads)


class SynthesisStream:
    """A `Synthesis` fed complex bands in chunks: the concatenation of what `push`
    returns equals one call on the concatenated chunks, bit for bit. Its memory
    is the longest band delay.

    A push that fails or is interrupted (Ctrl-C) leaves the stream as it was,
    so the same chunk can be pushed again. One push runs at a time: a push from
    another thread meanwhile raises RuntimeError.

    Parameters
    ----------
    synthesis : Synthesis
        The design.
    threads : int, optional
        Worker threads sharing each chunk's output samples.
    """

    def __init__(self, synthesis: Synthesis, threads: Optional[int] = 1) -> None:
        self.synthesis = synthesis
        self._native = synthesis._native(threads)

    def push(self, z_chunk: npt.ArrayLike, mask_chunk: Optional[npt.ArrayLike] = None, *,
             check_finite: bool = True) -> Array:
        """The output samples of the next chunk of bands.

        Parameters
        ----------
        z_chunk : array_like
            The next samples of the complex bands, shaped as for the call.
        mask_chunk : array_like, optional
            Non-negative weights of these samples, (samples, bands).
        check_finite : bool
            Raise ValueError at the first band value that is NaN, infinite or
            too large; the stream is then as it was.

        Returns
        -------
        ndarray
            As many output samples as `z_chunk` has, (samples,) or (channels, samples).
        """
        bands = self.synthesis._bands(z_chunk, check_finite)
        weights = None
        if mask_chunk is not None:
            weights = checked_mask(mask_chunk, self.synthesis.config.num_bands)
            if weights.shape[0] != bands.shape[-2]:
                raise ValueError(f"mask_chunk has {weights.shape[0]} rows for "
                                 f"{bands.shape[-2]} samples: give one per sample")
            weights = np.ascontiguousarray(weights)
        return self._native.push(_pairs(bands), weights)


def _read_only(values: np.ndarray) -> np.ndarray:
    values.flags.writeable = False
    return values


def _pairs(plane: ComplexArray) -> Array:
    """(samples, bands) complex as (samples, 2 bands) float64 (re, im) pairs, C order."""
    return np.ascontiguousarray(plane, dtype=np.complex128).view(np.float64)


def native_design(synthesis: Synthesis) -> Tuple[List[float], List[float], List[int]]:
    """A synthesis's factors and delays as the native side takes them."""
    return synthesis._native_design()


def weights_of(synthesis: Synthesis, values: Array, samples: int, start: int,
               stop: int) -> Array:
    """Per-sample weights of samples start..stop-1 from a checked mask (see `Synthesis`)."""
    return synthesis._weights(values, samples, start, stop)
