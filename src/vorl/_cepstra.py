"""Cepstral coefficients and deltas of feature rows."""
from __future__ import annotations

import operator
from typing import Tuple

import numpy as np
import numpy.typing as npt


_MAX_ORDER = 16  # deltas of deltas: speech toolkits take 1 or 2


def dct_matrix(num_ceps: int, num_bands: int) -> npt.NDArray[np.float64]:
    """Rows n < num_ceps of the orthonormal DCT-II over `num_bands` values."""
    n = np.arange(num_ceps)[:, np.newaxis]
    k = np.arange(num_bands)[np.newaxis, :]
    weights = np.where(n == 0, np.sqrt(1 / num_bands), np.sqrt(2 / num_bands))
    return weights * np.cos(np.pi * n * (2 * k + 1) / (2 * num_bands))


def check_cepstra(num_ceps: int, lifter: float, num_bands: int) -> Tuple[int, float]:
    """`num_ceps` and `lifter`, checked against the number of bands."""
    num_ceps = operator.index(num_ceps)
    if not 0 < num_ceps <= num_bands:
        raise ValueError(f"num_ceps must be from 1 to the number of bands ({num_bands}), "
                         f"got {num_ceps}")
    lifter = float(lifter)
    if not (np.isfinite(lifter) and lifter >= 0):
        raise ValueError(f"lifter must be finite and not negative, got {lifter}")
    return num_ceps, lifter


def cepstra(compressed: npt.NDArray[np.float64], num_ceps: int,
            lifter: float) -> npt.NDArray[np.float64]:
    """The DCT-II of compressed levels over their last axis (bands), liftered."""
    num_bands = compressed.shape[-1]
    num_ceps, lifter = check_cepstra(num_ceps, lifter, num_bands)
    ceps = compressed @ dct_matrix(num_ceps, num_bands).T
    if lifter > 0:
        ceps *= 1 + lifter / 2 * np.sin(np.pi * np.arange(num_ceps) / lifter)
    return ceps


def delta(features: npt.ArrayLike, width: int = 9, order: int = 1,
          axis: int = 0) -> npt.NDArray[np.floating]:
    """Regression deltas of features over frames, as speech toolkits compute them.

    With N = (width - 1) / 2, the delta of frame t is

        d[t] = sum_{n=1..N} n (c[t + n] - c[t - n]) / (2 sum_{n=1..N} n^2),

    where frames beyond either end repeat the first or last frame. ``order=2``
    gives the delta of the delta (delta-delta), and so on.

    Parameters
    ----------
    features : array_like
        Floating-point features, frames along `axis`; never modified.
    width : int
        Odd window length in frames, at least 3.
    order : int
        How many times the delta is taken, from 1 to 16.
    axis : int
        The axis of frames.

    Returns
    -------
    ndarray
        The same shape and floating dtype as `features`.
    """
    data = np.asarray(features)
    if not np.issubdtype(data.dtype, np.floating):
        raise TypeError(f"features must be floating-point, not {data.dtype}")
    width, order = operator.index(width), operator.index(order)
    if width < 3 or width % 2 == 0:
        raise ValueError(f"width must be odd and at least 3, got {width}")
    if not 1 <= order <= _MAX_ORDER:
        raise ValueError(f"order must be from 1 to {_MAX_ORDER}, got {order}")
    half = width // 2
    weights = np.arange(1, half + 1, dtype=np.float64)
    result = np.moveaxis(data, axis, 0).astype(np.float64)
    for _ in range(order):
        frames = result.shape[0]
        padded = np.concatenate([np.repeat(result[:1], half, axis=0), result,
                                 np.repeat(result[-1:], half, axis=0)]) if frames else result
        out = np.zeros_like(result)
        for n, w in enumerate(weights, start=1):
            out += w * (padded[half + n:half + n + frames] - padded[half - n:half - n + frames])
        result = out / (2 * np.sum(weights ** 2))
    return np.moveaxis(result, 0, axis).astype(data.dtype, copy=False)
