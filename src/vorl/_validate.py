"""Checks of what callers hand in: one policy and one wording everywhere (the
configurations, streams, synthesis, files, corpora and the command)."""
import math
import operator
import os
from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

INT32_MAX = 2**31 - 1
MAX_BANDS = 2**20
CHECK_BLOCK = 1 << 16  # samples per block of the finiteness check
MAX_THREADS = 4096
#: The largest sample magnitude analysed: far above any audio, far below where the
#: filters' squared magnitudes would overflow.
MAX_SAMPLE = 1e100
#: The largest magnitude of a band value or mask weight synthesised: as `MAX_SAMPLE`,
#: squares and products stay finite.
MAX_BAND_VALUE = 1e150

Array = npt.NDArray[np.float64]


def integer(name: str, value: object) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def positive_int(name: str, value: object, limit: int = 2**62) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 < number <= limit:
        raise ValueError(f"{name} must be a positive integer up to {limit}, got {number}")
    return number


def non_negative_int(name: str, value: object) -> int:
    number = integer(name, value)
    if number < 0:
        raise ValueError(f"{name} must not be negative, got {number}")
    return number


def finite(name: str, value: object) -> float:
    number = float(value)  # type: ignore[arg-type]
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number}")
    return number


def frequencies(values: object) -> Tuple[float, ...]:
    cfs = np.asarray(values, dtype=np.float64)
    if cfs.ndim != 1 or cfs.size == 0:
        raise ValueError("center_frequencies must be a non-empty 1-D sequence of Hz values")
    if cfs.size > MAX_BANDS:
        raise ValueError(f"center_frequencies must hold at most {MAX_BANDS} values, "
                         f"got {cfs.size}")
    if not np.all(np.isfinite(cfs)) or np.any(cfs <= 0):
        raise ValueError("center_frequencies must be finite and positive")
    if np.any(np.diff(cfs) <= 0):
        raise ValueError("center_frequencies must ascend strictly")
    return tuple(float(f) for f in cfs)


def samples_of(what: str, length: Optional[int], duration: Optional[float], rate: int,
             default: int) -> int:
    """A frame's or hop's length in samples, from a length, or a duration in seconds
    rounded to the nearest sample (halves away from zero), or the default."""
    if duration is None:
        return positive_int(f"{what}_length", default if length is None else length)
    if length is not None:
        raise ValueError(f"give {what}_length (samples) or {what}_duration (seconds), "
                         "not both")
    seconds = finite(f"{what}_duration", duration)
    samples = math.floor(seconds * rate + 0.5)
    if samples < 1:
        raise ValueError(f"{what}_duration={seconds:g} s is less than one sample at {rate} "
                         "samples per second")
    return positive_int(f"{what}_duration in samples", samples)


def check_samples(data: Array) -> None:
    """Raises ValueError naming the first sample that is not finite or whose magnitude
    exceeds `MAX_SAMPLE`; checks the float64 values in blocks of bounded size."""
    for start in range(0, data.shape[1], CHECK_BLOCK):
        block = data[:, start:start + CHECK_BLOCK]
        bad = ~(np.abs(block) <= MAX_SAMPLE)  # NaN compares False too
        if bad.any():
            where = np.argwhere(bad)
            channel, sample = where[np.argmin(where[:, 1])]
            value = block[channel, sample]
            what = ("a non-finite sample" if not np.isfinite(value) else
                    f"a sample beyond the largest magnitude analysed ({MAX_SAMPLE:g})")
            raise ValueError(f"signal holds {what} ({value}) at channel {channel}, sample "
                             f"{start + sample}; pass check_finite=False to analyse it as it is")


def thread_count(threads: Optional[int]) -> int:
    return default_threads() if threads is None else positive_int("threads", threads, 4096)


def default_threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def check_values(name: str, values: np.ndarray) -> None:
    """Raises ValueError naming the first value (in C order) that is NaN, infinite
    or beyond `MAX_BAND_VALUE` in magnitude; checked in blocks of bounded size."""
    flat = values.reshape(-1) if values.flags.c_contiguous else values.ravel()
    step = 1 << 16
    for start in range(0, flat.size, step):
        bad = ~(np.abs(flat[start:start + step]) <= MAX_BAND_VALUE)  # NaN compares False
        if bad.any():
            at = start + int(np.argmax(bad))
            where = np.unravel_index(at, values.shape)
            raise ValueError(f"{name} hold {flat[at]} at {tuple(int(i) for i in where)}: "
                             f"only finite values up to {MAX_BAND_VALUE:g} are synthesised; "
                             "pass check_finite=False to synthesise them as they are")


def positive_count(name: str, value: object) -> int:
    """A count that may also be left out (None, checked by the caller): a positive int,
    anything else (0, a float, a bool) a ValueError."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
    return int(value)
