"""Back from the bands: resynthesis of a signal from its complex band outputs.

The road: bands -> mask -> synthesis. `Cochleagram.analytic` gives each band's
complex output z_k; a `Synthesis` delays band k by d_k samples, weights it by a
mask, multiplies it by one complex factor c_k and sums the real parts:

    y[t] = sum_k Re(c_k * w_k[t - d_k] * z_k[t - d_k]).

The design (`_design`, once per configuration and delay) aligns the peaks of the
bands' impulse-response envelopes at a common delay D and fits the factors by
least squares, so that the response of analysis then synthesis is as close as
it can be to a pure delay of D samples over the bank's range, while outside
that range it stays below a bound: it rolls off as the outer bands do instead
of amplifying what lies beyond them (hum, rumble, DC). A design whose
fit misses that delay by more than `_REFUSED_ERROR_DB` is refused, and one whose
magnitude strays more than `_WARNED_DB` from flat is warned about.
"""
from __future__ import annotations

import functools
import math
import warnings
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from . import _engine
from ._gammatone import Cochleagram, _Config, _positive_int, _threads
from ._scale import erb_rate, erb_rate_to_hz

Array = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

_RIDGE = 1e-9  # relative Tikhonov weight of the fit: keeps factors of near-silent bands small
# The fitted range starts 1.5 ERB above the lowest centre frequency and ends one
# below the highest: a short delay cannot align the slowest (lowest) bands, and
# the fit needs room below its range to roll off without ringing inside it.
_FIT_MARGINS = (1.5, 1.0)
_EDGE_WEIGHT = 3.0  # extra weight on the fit's lowest ERB, decaying e-fold per ERB above it
# The bound on the overall magnitude outside the fitted range (`_bound_dB`):
# _OUTSIDE_DB down to half the lowest centre frequency, _SUBSONIC_DB from
# _SUBSONIC_HZ down to DC, and a straight ramp on a log-frequency scale between.
_OUTSIDE_DB = 0.9
_SUBSONIC_HZ, _SUBSONIC_DB = 6.0, -16.0
# The bound is met by a penalty on each bin's distance to it, minimised by
# majorise-minimise steps (one factorisation, Nesterov's momentum): a fixed
# number of steps, so that the design does not depend on a convergence test.
_PENALTY, _STEPS = 10.0, 200
_CHUNK = 1 << 15  # samples per chunk of `resynthesize` (its weights, if any, are made per chunk)
_MAX_DELAY = 1.0  # seconds: the design's window and a stream's memory grow with the delay
# Over the fitted range, the RMS of (response - pure delay): at -6 dB the error
# is half the signal, and the design reconstructs nothing worth the name.
_REFUSED_ERROR_DB = -6.0
_WARNED_DB = 1.0  # in-band magnitude further from 0 dB than this is warned about
_MAX_BAND_VALUE = 1e150  # as MAX_SAMPLE: squares and products stay finite




@dataclass(frozen=True)
class _Design:
    delay_samples: int
    band_delays: Tuple[int, ...]
    factors: Tuple[complex, ...]
    error_db: float  # RMS of (overall response - pure delay) over the fitted range, dB
    in_band_db: Tuple[float, float]  # the overall magnitude's extremes there, dB
    peaks: Tuple[int, ...]  # samples to the peak of each band's response envelope


def _impulse_responses(config: _Config, length: int) -> ComplexArray:
    """The bands' analytic impulse responses, (length, bands)."""
    bank = Cochleagram(**{**config._arguments(), "channel": -1, "dtype": np.float64,
                          "temporal_integration": 0.0})
    impulse = np.zeros(length)
    impulse[0] = 1.0
    return bank.analytic(impulse, threads=1)


def _response_length(config: _Config) -> int:
    """Samples that hold the slowest band's impulse response: 40 time constants of
    its envelope, b = 2 pi bandwidth_factor ERB(cf)."""
    low = float(np.min(config.center_frequencies))
    erb = 24.7 * (0.00437 * low + 1)
    seconds = 40 / (2 * math.pi * config.bandwidth_factor * erb)
    return max(1024, int(2 ** math.ceil(math.log2(seconds * config.sample_rate))))


def fitted_range(config: _Config) -> Tuple[float, float]:
    """The frequencies, in Hz, over which the overall response is fitted to a pure
    delay: from 1.5 ERB above the lowest centre frequency to one ERB below the
    highest (at most the Nyquist frequency). Beyond them the response is held
    below a bound and rolls off with the outer bands."""
    cfs = config.center_frequencies
    low, high = (float(f) for f in erb_rate_to_hz(erb_rate([cfs[0], cfs[-1]])
                                                   + [_FIT_MARGINS[0], -_FIT_MARGINS[1]]))
    if not low < high:  # a narrow bank: its centres themselves
        low, high = float(cfs[0]), float(cfs[-1])
    return low, min(high, config.sample_rate / 2)


def _bounded_fit(inside: Array, outside: Array, target: ComplexArray, weight: Array,
                 bound: Array) -> Array:
    """The real vector x minimising sum(weight * |inside @ x - target|^2) (plus a
    ridge) with |outside @ x| <= bound, each row a frequency bin.

    The bound is a penalty on each outside bin's distance to the disc of radius
    `bound`; each step minimises the fit plus that distance to where the disc
    takes the current response (a majoriser of the penalty), with Nesterov's
    momentum. Only the bins near their bound take part in the steps; the
    others are checked afterwards and taken in if they come to exceed it."""
    a = np.vstack([inside.real, inside.imag]) * np.sqrt(np.concatenate([weight, weight]))[:, None]
    normal = a.T @ a
    normal += _RIDGE * np.trace(normal) / len(normal) * np.eye(len(normal))
    rhs = a.T @ (np.concatenate([target.real, target.imag])
                 * np.sqrt(np.concatenate([weight, weight])))
    x = np.linalg.solve(normal, rhs)
    scale = _PENALTY * np.trace(normal) / max(float(np.sum(np.abs(outside) ** 2)), 1e-300)
    near = np.abs(outside @ x) > 0.25 * bound
    for _ in range(3):  # rarely more than once: a bin left out that came to exceed
        rows = np.concatenate([outside[near].real, outside[near].imag])  # re; im
        limit, count = bound[near], int(near.sum())
        if not count:
            break
        step_of = np.linalg.inv(normal + scale * (rows.T @ rows))
        y, momentum = x.copy(), 1.0
        for _ in range(_STEPS):
            parts = rows @ y
            response = parts[:count] + 1j * parts[count:]
            size = np.abs(response)
            held = np.where(size > limit, limit * response / np.maximum(size, 1e-300), response)
            new = step_of @ (rhs + scale * (rows.T @ np.concatenate([held.real, held.imag])))
            following = (1 + math.sqrt(1 + 4 * momentum * momentum)) / 2
            y = new + (momentum - 1) / following * (new - x)
            x, momentum = new, following
        exceeding = np.abs(outside @ x) > bound * 10 ** (0.1 / 20)
        if not (exceeding & ~near).any():
            break
        near |= exceeding
    return x


def _bound_dB(freqs: Array, lowest: float) -> Array:
    """The bound on the overall magnitude outside the fitted range, in dB:
    `_SUBSONIC_DB` up to `_SUBSONIC_HZ`, `_OUTSIDE_DB` from half the lowest
    centre frequency up, and a ramp straight on a log-frequency scale between."""
    top = max(lowest / 2, 2 * _SUBSONIC_HZ)
    along = np.log(np.clip(freqs, _SUBSONIC_HZ, top) / _SUBSONIC_HZ) / math.log(top / _SUBSONIC_HZ)
    return _SUBSONIC_DB + (_OUTSIDE_DB - _SUBSONIC_DB) * along


@functools.lru_cache(maxsize=32)
def _design(config: _Config, delay: Optional[float]) -> _Design:
    """Delays and complex factors; see the module's docstring and the definitions."""
    rate = config.sample_rate
    length = _response_length(config)
    h = _impulse_responses(config, length)
    peaks = np.argmax(np.abs(h), axis=0)
    total = int(peaks.max()) if delay is None else int(round(delay * rate))
    delays = np.maximum(total - peaks, 0)
    # Every delayed response, real and imaginary parts, and the target, over a
    # window long enough that nothing wraps round: y = sum_k a_k Re g_k - b_k Im g_k.
    size = 2 * int(2 ** math.ceil(math.log2(length + int(delays.max()) + total + 1)))
    bands = h.shape[1]
    columns = np.zeros((size, 2 * bands))
    for k in range(bands):
        d = int(delays[k])
        columns[d:d + length, k] = h[:, k].real
        columns[d:d + length, bands + k] = -h[:, k].imag
    spectra = np.fft.rfft(columns, axis=0)
    freqs = np.fft.rfftfreq(size, 1 / rate)
    low, high = fitted_range(config)
    inside = (freqs >= low) & (freqs <= high)
    delayed = np.exp(-2j * np.pi * freqs * total / rate)
    # Each ERB of the range weighs the same, however many bins it holds, and its
    # lowest ERB more, where the bands that the delay leaves unaligned meet it.
    above = erb_rate(freqs[inside]) - erb_rate(low)
    weight = (1 + _EDGE_WEIGHT * np.exp(-above)) / (24.7 * (0.00437 * freqs[inside] + 1))
    bound = 10 ** (_bound_dB(freqs[~inside], float(config.center_frequencies[0])) / 20)
    solution = _bounded_fit(spectra[inside], spectra[~inside], delayed[inside], weight, bound)
    factors = solution[:bands] + 1j * solution[bands:]
    # How close the fitted design comes to the pure delay, over the same range.
    response = spectra[inside] @ solution
    error = math.sqrt(float(np.mean(np.abs(response - delayed[inside]) ** 2)))
    magnitude = 20 * np.log10(np.maximum(np.abs(response), 1e-300))
    return _Design(total, tuple(int(d) for d in delays), tuple(complex(c) for c in factors),
                   20 * math.log10(max(error, 1e-300)),
                   (float(magnitude.min()), float(magnitude.max())),
                   tuple(int(p) for p in peaks))


def _checked_design(config: _Config, delay: Optional[float]) -> _Design:
    """The design, refused (ValueError) where it cannot reconstruct the signal and
    warned about (UserWarning) where its magnitude is far from flat, each naming
    the cause and the remedy."""
    rate = config.sample_rate
    cfs = config.center_frequencies
    if config.num_bands < 2:
        raise ValueError("a synthesis needs at least two bands to cover the frequencies "
                         "between them; this configuration has one")
    if cfs[0] >= rate / 2:
        raise ValueError(f"every band lies at or above the Nyquist frequency ({rate / 2:g} Hz) "
                         "of this sample rate: there is nothing to put back together")
    low, high = fitted_range(config)
    if not low < high:
        raise ValueError(f"the bands cover no frequencies below the Nyquist frequency "
                         f"({rate / 2:g} Hz): there is nothing to put back together")
    design = _design(config, delay)
    causes = []
    spacing = float(np.max(np.diff(erb_rate(cfs))))
    if spacing > 0.75:
        causes.append(f"its bands are up to {spacing:.2g} ERB apart (bands at most about 0.5 "
                      "ERB apart, more bands or a narrower range, cover the frequencies "
                      "between them)")
    late = np.array(design.peaks) > design.delay_samples
    if late.any():
        causes.append(f"its delay of {design.delay_samples / rate * 1e3:.3g} ms leaves "
                      f"{int(late.sum())} of its {config.num_bands} bands, up to "
                      f"{float(cfs[late].max()):.0f} Hz, unaligned (their responses peak "
                      f"later, up to {max(design.peaks) / rate * 1e3:.3g} ms; a longer "
                      "delay, or delay=None, aligns them)")
    because = "; ".join(causes) or "its bands cannot be aligned at this delay"
    if design.error_db > _REFUSED_ERROR_DB:
        raise ValueError(f"this design cannot reconstruct a signal: its response misses a "
                         f"pure delay by {design.error_db:.1f} dB over "
                         f"{low:.0f}-{high:.0f} Hz, because {because}")
    lo, hi = design.in_band_db
    if max(-lo, hi) > _WARNED_DB:
        warnings.warn(f"this synthesis is not flat: its response ranges over {lo:+.1f} to "
                      f"{hi:+.1f} dB over {low:.0f}-{high:.0f} Hz, because {because}",
                      UserWarning, stacklevel=4)
    return design


def _weights_of_frames(mask: Array, config: _Config, start: int, stop: int) -> Array:
    """Per-sample weights of samples start..stop-1 from a frame mask: linear
    interpolation between frame centres j*hop_length + frame_length/2, held
    before the first and after the last. Equal neighbours give exactly their value."""
    centres = config._frame_centres(mask.shape[0])
    t = np.arange(start, stop, dtype=np.float64)
    weights = np.empty((stop - start, mask.shape[1]))
    for k in range(mask.shape[1]):
        weights[:, k] = np.interp(t, centres, mask[:, k])
    return weights


def _checked_mask(mask: npt.ArrayLike, bands: int) -> Array:
    values = np.asarray(mask)
    if values.dtype == object or not (np.issubdtype(values.dtype, np.floating)
                                      or np.issubdtype(values.dtype, np.integer)
                                      or values.dtype == bool):
        raise TypeError(f"mask must hold real numbers, not {values.dtype}")
    values = np.asarray(values, dtype=np.float64)
    if values.ndim != 2 or values.shape[1] != bands:
        raise ValueError(f"mask of shape {values.shape} must be (frames, {bands}) or "
                         f"(samples, {bands}): one column per band")
    if not np.all(np.abs(values) <= _MAX_BAND_VALUE) or np.any(values < 0):
        raise ValueError(f"mask values must be finite, at most {_MAX_BAND_VALUE:g}, and "
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

    def __init__(self, config: _Config, delay: Optional[float] = 0.004) -> None:
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
        self.config = Cochleagram(**config._arguments())
        self.delay = delay
        self._design = _checked_design(self.config, delay)
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
        length = _response_length(self.config)
        needed = length + int(self.band_delays.max())
        size = 1 << max(needed - 1, 1).bit_length() if n is None else \
            _positive_int("n", n, 1 << 30)
        h = _impulse_responses(self.config, length)
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
        return _engine.Synthesis(*self._native_design(), _threads(threads))

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
            _check_finite_values("bands", bands)
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
            _checked_mask(mask, self.config.num_bands), samples, 0, samples)
        return self._native(threads).push(_pairs(bands), weights)

    def _weights(self, values: Array, samples: int, start: int, stop: int) -> Array:
        """Weights of samples start..stop-1 of a signal of `samples` samples, from a
        checked mask."""
        frames = self.config.num_frames(samples)
        if values.shape[0] == samples:
            rows = np.minimum(np.arange(start, stop), samples - 1)  # the last row held
            return np.ascontiguousarray(values[rows])
        if values.shape[0] == frames and frames > 0:
            return _weights_of_frames(values, self.config, start, stop)
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
            weights = _checked_mask(mask_chunk, self.synthesis.config.num_bands)
            if weights.shape[0] != bands.shape[-2]:
                raise ValueError(f"mask_chunk has {weights.shape[0]} rows for "
                                 f"{bands.shape[-2]} samples: give one per sample")
            weights = np.ascontiguousarray(weights)
        return self._native.push(_pairs(bands), weights)


def _read_only(values: np.ndarray) -> np.ndarray:
    values.flags.writeable = False
    return values


def _check_finite_values(name: str, values: np.ndarray) -> None:
    """Raises ValueError naming the first value (in C order) that is NaN, infinite
    or beyond `_MAX_BAND_VALUE` in magnitude; checked in blocks of bounded size."""
    flat = values.reshape(-1) if values.flags.c_contiguous else values.ravel()
    step = 1 << 16
    for start in range(0, flat.size, step):
        bad = ~(np.abs(flat[start:start + step]) <= _MAX_BAND_VALUE)  # NaN compares False
        if bad.any():
            at = start + int(np.argmax(bad))
            where = np.unravel_index(at, values.shape)
            raise ValueError(f"{name} hold {flat[at]} at {tuple(int(i) for i in where)}: "
                             f"only finite values up to {_MAX_BAND_VALUE:g} are synthesised; "
                             "pass check_finite=False to synthesise them as they are")


def _pairs(plane: ComplexArray) -> Array:
    """(samples, bands) complex as (samples, 2 bands) float64 (re, im) pairs, C order."""
    return np.ascontiguousarray(plane, dtype=np.complex128).view(np.float64)


def resynthesize(signal: npt.ArrayLike, sample_rate: float, *,
                 mask: Optional[npt.ArrayLike] = None, delay: Optional[float] = 0.004,
                 threads: Optional[int] = None, check_finite: bool = True,
                 **configuration: Any) -> Array:
    """Analysis, mask and synthesis of `signal`, aligned with it.

    Runs the continuous filterbank on the signal followed by ``delay_samples``
    zeros, weights and resynthesises the bands chunk by chunk, and drops the
    first ``delay_samples`` output samples: the result has the signal's length
    and lines up with it, and equals ``synthesis(analytic(...))`` on the
    padded signal bit for bit. Memory holds the signal, the result and the
    filters' state, never the complex bands of the whole signal.

    Parameters
    ----------
    signal : array_like
        1-D (samples) or 2-D (channels, samples) floating-point samples; never
        modified.
    sample_rate : int
        Samples per second, a whole number.
    mask : array_like, optional
        Non-negative weights, (frames, bands) with the rows of
        ``Cochleagram(sample_rate, **configuration)(signal)`` (held after the
        last frame centre), or (samples, bands); None keeps every band whole.
    delay : float or None
        The synthesis delay in seconds (see `Cochleagram.synthesis`).
    threads : int, optional
        Worker threads, sharing the channels (``channel=None``): each
        channel's analysis and synthesis run on one thread, a few hundred
        samples at a time, so that its bands' terms stay in the cache.
    check_finite : bool
        Raise ValueError at the first sample that is NaN, infinite or too large.
    **configuration
        Parameters of the `Cochleagram` (num_bands, low_Hz, channel, ...).

    Returns
    -------
    ndarray
        float64, (samples,), or (channels, samples) with ``channel=None``.
    """
    config = Cochleagram(sample_rate, **configuration)
    synth = config.synthesis(delay)
    data = config._prepare(signal, whole_frames=False, check_finite=check_finite)
    samples, delay_samples = data.shape[1], synth.delay_samples
    values = None
    if mask is not None:  # its shape and values, before any work
        values = _checked_mask(mask, config.num_bands)
        if samples == 0 and values.shape[0] != 0:
            raise ValueError(f"mask has {values.shape[0]} rows for a signal of 0 samples")
        synth._weights(values, samples, 0, 0)
    if samples == 0:  # nothing to analyse, as the analysis's per-sample outputs give
        return np.zeros((data.shape[0], 0) if config.channel is None else (0,))
    native = _engine.Resynthesis(config._bank(), config.channel, *synth._native_design(),
                                 _threads(threads))
    total = samples + delay_samples
    out = np.empty((data.shape[0] if config.channel is None else 1, samples))
    for start in range(0, total, _CHUNK):
        stop = min(start + _CHUNK, total)
        chunk = data[:, start:min(stop, samples)]
        if chunk.shape[1] < stop - start:  # the zeros after the signal
            chunk = np.concatenate([chunk, np.zeros((data.shape[0], stop - start -
                                                      chunk.shape[1]))], axis=1)
        weights = None if values is None else synth._weights(values, samples, start, stop)
        part = native.push(chunk, weights).reshape(out.shape[0], -1)
        # Output sample t is input sample t - delay_samples.
        lo, hi = max(start, delay_samples), stop
        if lo < hi:
            out[:, lo - delay_samples:hi - delay_samples] = part[:, lo - start:]
    return out if config.channel is None else out[0]
