"""The design of a synthesis: band delays and complex factors for a configuration
and an overall delay.

It aligns the peaks of the bands' impulse-response envelopes at a common delay D
and fits the factors by least squares, so that the response of analysis then
synthesis is as close as it can be to a pure delay of D samples over the bank's
range, while outside that range it stays below a bound: it rolls off as the outer
bands do instead of amplifying what lies beyond them (hum, rumble, DC). A design
whose fit misses that delay by more than `_REFUSED_ERROR_DB` is refused, and one
whose magnitude strays more than `_WARNED_DB` from flat is warned about.
"""
from __future__ import annotations

import functools
import math
import warnings
from dataclasses import dataclass
from typing import Optional, Tuple, cast

import numpy as np
import numpy.typing as npt

from . import _engine
from ._config import Config, bank_of
from ._scale import erb_rate, erb_rate_to_hz, erb_width

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
# Over the fitted range, the RMS of (response - pure delay): at -6 dB the error
# is half the signal, and the design reconstructs nothing worth the name.
_REFUSED_ERROR_DB = -6.0
_WARNED_DB = 1.0  # in-band magnitude further from 0 dB than this is warned about


@dataclass(frozen=True)
class Design:
    delay_samples: int
    band_delays: Tuple[int, ...]
    factors: Tuple[complex, ...]
    error_db: float  # RMS of (overall response - pure delay) over the fitted range, dB
    in_band_db: Tuple[float, float]  # the overall magnitude's extremes there, dB
    peaks: Tuple[int, ...]  # samples to the peak of each band's response envelope


def impulse_responses(config: Config, length: int) -> ComplexArray:
    """The bands' analytic impulse responses, (length, bands)."""
    impulse = np.zeros((1, length))
    impulse[0, 0] = 1.0
    pairs = _engine.continuous(impulse, bank_of(config), "analytic", config.frame_length,
                               config.hop_length, -1, config.log, config.floor, 1)
    return pairs.view(np.complex128)


def response_length(config: Config) -> int:
    """Samples that hold the slowest band's impulse response: 40 time constants of
    its envelope, b = 2 pi bandwidth_factor ERB(cf)."""
    low = float(np.min(config.center_frequencies))
    erb = float(erb_width(low))
    seconds = 40 / (2 * math.pi * config.bandwidth_factor * erb)
    return max(1024, int(2 ** math.ceil(math.log2(seconds * config.sample_rate))))


def fitted_range(config: Config) -> Tuple[float, float]:
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


def _bounded_fit(inside: ComplexArray, outside: ComplexArray, target: ComplexArray,
                 weight: Array, bound: Array) -> Array:
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
def fit_design(config: Config, delay: Optional[float]) -> Design:
    """Delays and complex factors; see the module's docstring and the definitions."""
    rate = config.sample_rate
    length = response_length(config)
    h = impulse_responses(config, length)
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
    weight = (1 + _EDGE_WEIGHT * np.exp(-above)) / erb_width(freqs[inside])
    bound = 10 ** (_bound_dB(cast(Array, freqs[~inside]), float(config.center_frequencies[0]))
                   / 20)
    solution = _bounded_fit(spectra[inside], spectra[~inside], delayed[inside], weight, bound)
    factors = solution[:bands] + 1j * solution[bands:]
    # How close the fitted design comes to the pure delay, over the same range.
    response = spectra[inside] @ solution
    error = math.sqrt(float(np.mean(np.abs(response - delayed[inside]) ** 2)))
    magnitude = 20 * np.log10(np.maximum(np.abs(response), 1e-300))
    return Design(total, tuple(int(d) for d in delays), tuple(complex(c) for c in factors),
                   20 * math.log10(max(error, 1e-300)),
                   (float(magnitude.min()), float(magnitude.max())),
                   tuple(int(p) for p in peaks))


def checked_design(config: Config, delay: Optional[float]) -> Design:
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
    design = fit_design(config, delay)
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
