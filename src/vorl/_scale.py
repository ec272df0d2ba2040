"""The ERB-rate scale, as the filter design computes it (natively, so that these
are the bits of a bank's own centre frequencies)."""
from __future__ import annotations

import operator

import numpy as np
import numpy.typing as npt

from . import _engine


def erb_rate(hz: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The ERB-rate of frequencies: 21.4 log10(0.00437 f + 1) (Glasberg and Moore).

    Parameters
    ----------
    hz : array_like
        Frequencies in Hz, not negative.

    Returns
    -------
    ndarray
        float64, of the shape of `hz`; one ERB-rate unit is one equivalent
        rectangular bandwidth.
    """
    values = np.asarray(hz, dtype=np.float64)
    if not np.all(values >= 0):  # NaN fails too
        raise ValueError("frequencies must be 0 Hz or more")
    return np.asarray(_engine.erb_rate(values), dtype=np.float64)


def erb_rate_to_hz(erb: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Frequencies of ERB-rate values: the inverse of `erb_rate`.

    Parameters
    ----------
    erb : array_like
        ERB-rate values, not negative.

    Returns
    -------
    ndarray
        float64 frequencies in Hz, of the shape of `erb`.
    """
    values = np.asarray(erb, dtype=np.float64)
    if not np.all(values >= 0):
        raise ValueError("ERB-rate values must be 0 or more")
    return np.asarray(_engine.erb_rate_to_hz(values), dtype=np.float64)


def erb_space(low_Hz: float, high_Hz: float, num: int) -> npt.NDArray[np.float64]:
    """Frequencies evenly spaced on the ERB-rate scale: the centres of a bank.

    ``erb_space(low_Hz, high_Hz, num_bands)`` is, bit for bit, the
    ``center_frequencies`` of a configuration with those parameters.

    Parameters
    ----------
    low_Hz, high_Hz : float
        The first and last frequency, in Hz, 0 <= low_Hz < high_Hz.
    num : int
        How many; a single one sits at the ERB-rate midpoint of the range.

    Returns
    -------
    ndarray
        float64, ascending.
    """
    low, high = float(low_Hz), float(high_Hz)
    count = operator.index(num)
    if count < 1:
        raise ValueError(f"num must be positive, got {count}")
    if not (np.isfinite(low) and np.isfinite(high) and 0 <= low < high):
        raise ValueError(f"need 0 <= low_Hz < high_Hz, finite, got {low} and {high}")
    return np.array(_engine.erb_space(low, high, count), dtype=np.float64)


def erb_width(hz: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The equivalent rectangular bandwidth at frequencies `hz`, in Hz:
    24.7 (0.00437 f + 1), the width one ERB-rate unit spans there."""
    return 24.7 * (0.00437 * np.asarray(hz, dtype=np.float64) + 1)
