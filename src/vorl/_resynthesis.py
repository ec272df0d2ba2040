"""Analysis, mask and synthesis of a signal in one pass (`resynthesize`)."""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _engine
from ._config import bank_of, prepared
from ._features import Cochleagram
from ._synthesis import checked_mask, native_design, weights_of
from ._validate import thread_count

Array = npt.NDArray[np.float64]

_CHUNK = 1 << 15  # samples per chunk (its weights, if any, are made per chunk)


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
    data = prepared(config, signal, whole_frames=False, check_finite=check_finite)
    samples, delay_samples = data.shape[1], synth.delay_samples
    values = None
    if mask is not None:  # its shape and values, before any work
        values = checked_mask(mask, config.num_bands)
        if samples == 0 and values.shape[0] != 0:
            raise ValueError(f"mask has {values.shape[0]} rows for a signal of 0 samples")
        weights_of(synth, values, samples, 0, 0)
    if samples == 0:  # nothing to analyse, as the analysis's per-sample outputs give
        return np.zeros((data.shape[0], 0) if config.channel is None else (0,))
    native = _engine.Resynthesis(bank_of(config), config.channel, *native_design(synth),
                                 thread_count(threads))
    total = samples + delay_samples
    out = np.empty((data.shape[0] if config.channel is None else 1, samples))
    for start in range(0, total, _CHUNK):
        stop = min(start + _CHUNK, total)
        chunk = data[:, start:min(stop, samples)]
        if chunk.shape[1] < stop - start:  # the zeros after the signal
            chunk = np.concatenate([chunk, np.zeros((data.shape[0], stop - start -
                                                      chunk.shape[1]))], axis=1)
        weights = None if values is None else weights_of(synth, values, samples, start, stop)
        part = native.push(chunk, weights).reshape(out.shape[0], -1)
        # Output sample t is input sample t - delay_samples.
        lo, hi = max(start, delay_samples), stop
        if lo < hi:
            out[:, lo - delay_samples:hi - delay_samples] = part[:, lo - start:]
    return out if config.channel is None else out[0]
