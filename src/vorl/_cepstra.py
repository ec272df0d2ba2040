"""Cepstral coefficients and deltas of feature rows."""
from __future__ import annotations

import operator
from typing import Any, Iterator, List, Optional, Protocol, Tuple

import numpy as np
import numpy.typing as npt


class _Levels(Protocol):
    """What `cepstra` reads of a configuration (Gammatone or Cochleagram)."""

    num_bands: int
    log: bool
    floor: float
    dtype: np.dtype

    def replace(self, **changes: Any) -> Any: ...

_MAX_ORDER = 16  # deltas of deltas: speech toolkits take 1 or 2
COMPRESSIONS = ("cuberoot", "log")


def dct_matrix(num_ceps: int, num_bands: int) -> npt.NDArray[np.float64]:
    """Rows n < num_ceps of the orthonormal DCT-II over `num_bands` values."""
    n = np.arange(num_ceps)[:, np.newaxis]
    k = np.arange(num_bands)[np.newaxis, :]
    weights = np.where(n == 0, np.sqrt(1 / num_bands), np.sqrt(2 / num_bands))
    return np.asarray(weights * np.cos(np.pi * n * (2 * k + 1) / (2 * num_bands)),
                      dtype=np.float64)


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


def of_levels(compressed: npt.NDArray[np.float64], num_ceps: int,
              lifter: float) -> npt.NDArray[np.float64]:
    """The DCT-II of compressed levels over their last axis (bands), liftered."""
    num_bands = compressed.shape[-1]
    num_ceps, lifter = check_cepstra(num_ceps, lifter, num_bands)
    # Summed band by band in order, not by a matrix product, whose order of sums
    # depends on the library, the machine and the number of rows: these are the
    # same bits for any rows, in one piece or in blocks, everywhere.
    matrix = dct_matrix(num_ceps, num_bands)
    ceps = np.zeros(compressed.shape[:-1] + (num_ceps,))
    for k in range(num_bands):
        ceps += compressed[..., k:k + 1] * matrix[:, k]
    if lifter > 0:
        ceps *= 1 + lifter / 2 * np.sin(np.pi * np.arange(num_ceps) / lifter)
    return ceps


def compress(rows: npt.NDArray[np.float64], log: bool, floor: float,
             compression: str) -> npt.NDArray[np.float64]:
    """Band levels compressed as GFCC take them, from rows that hold levels or (with
    `log`) log10 of levels floored at `floor`: level ** (1/3), or
    log10(max(level, floor))."""
    if compression == "cuberoot":
        return np.cbrt(np.power(10.0, rows) if log else rows)
    return rows if log else np.log10(np.maximum(rows, floor))


def cepstra(rows: npt.ArrayLike, config: _Levels, num_ceps: int = 13,
                 compression: str = "cuberoot", lifter: float = 0) -> npt.NDArray[np.floating]:
    """Gammatone cepstral coefficients of rows that a configuration produced.

    The same coefficients as `gfcc` (or ``config.gfcc``) of the signal the rows
    came from, to within 1e-12 for float64 rows: for rows stored in a corpus or
    a file, without the signal. Rows of log levels (``config.log``) give levels
    below ``config.floor`` as the floor itself under ``"cuberoot"``, where the
    signal's own coefficients take them as they are (digital silence: 0).

    Parameters
    ----------
    rows : array_like
        Rows of `config`: (frames, bands) or (channels, frames, bands), as its
        call, ``from_file`` or a store gives them; never modified.
    config : Gammatone or Cochleagram
        The configuration that made them (`Corpus.configuration` for a store).
    num_ceps : int
        Coefficients per frame, at most the number of bands.
    compression : {"cuberoot", "log"}
        As in `gfcc`.
    lifter : float
        As in `gfcc`; 0 turns it off.

    Returns
    -------
    ndarray
        (..., frames, num_ceps), of the configuration's dtype.
    """
    values = np.asarray(rows)
    if not np.issubdtype(values.dtype, np.floating):
        raise TypeError(f"rows must be floating-point, not {values.dtype}")
    if values.ndim not in (2, 3) or values.shape[-1] != config.num_bands:
        raise ValueError(f"rows of shape {values.shape} are not (frames, {config.num_bands}) "
                         "or (channels, frames, bands): not this configuration's rows")
    if compression not in COMPRESSIONS:
        raise ValueError(f"compression must be 'cuberoot' or 'log', not {compression!r}")
    if compression == "log" and config.floor == 0:
        raise ValueError("compression='log' needs a configuration with a positive floor: "
                         "log10(0) of silent bands would make the coefficients -inf or NaN")
    compressed = compress(values.astype(np.float64), config.log, config.floor, compression)
    return of_levels(compressed, num_ceps, lifter).astype(config.dtype, copy=False)


def gfcc_of(config: _Levels, signal: npt.ArrayLike, num_ceps: int, compression: str,
            lifter: float, threads: Optional[int], check_finite: bool) -> npt.NDArray[np.floating]:
    """`config.gfcc`: the coefficients of the rows of a configuration made for them (its
    levels, or log levels for ``compression="log"``, in float64); the arguments are
    checked."""
    compressed = config.replace(log=compression == "log", dtype=np.float64)
    rows = compressed(signal, threads, check_finite=check_finite)
    return of_levels(compress(rows, compressed.log, config.floor, compression), num_ceps,
                     lifter).astype(config.dtype, copy=False)


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


class DeltaStream:
    """`delta` (order 1) of frames that come in blocks, frames on axis -2: each
    delta once the frames it needs have come, the rest at `finish`. The deltas,
    joined, are `delta(all frames, width, axis=-2)` bit for bit: the same
    operations in the same order, with the first and last frames repeated."""

    def __init__(self, width: int = 9) -> None:
        self.half = width // 2
        self.weights = np.arange(1, self.half + 1, dtype=np.float64)
        self.norm = 2 * np.sum(self.weights ** 2)
        self.padded: npt.NDArray[np.float64] | None = None  # frames still needed, padded

    def push(self, frames: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        if frames.shape[-2] == 0:
            return frames[..., :0, :].astype(np.float64)
        if self.padded is None:  # frames before the first repeat it
            self.padded = np.repeat(frames[..., :1, :], self.half, axis=-2)
        self.padded = np.concatenate([self.padded, frames], axis=-2)
        return self._ready()

    def finish(self, like: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """The deltas still held; frames after the last repeat it."""
        if self.padded is None:
            return like[..., :0, :].astype(np.float64)
        self.padded = np.concatenate(
            [self.padded, np.repeat(self.padded[..., -1:, :], self.half, axis=-2)], axis=-2)
        return self._ready()

    def _ready(self) -> npt.NDArray[np.float64]:
        assert self.padded is not None
        half, padded = self.half, self.padded
        count = padded.shape[-2] - 2 * half
        if count <= 0:
            return padded[..., :0, :]
        out = np.zeros(padded.shape[:-2] + (count, padded.shape[-1]))
        for n, w in enumerate(self.weights, start=1):
            out += w * (padded[..., half + n:half + n + count, :]
                        - padded[..., half - n:half - n + count, :])
        self.padded = padded[..., count:, :]  # the 2 half frames the next ones need
        return out / self.norm


def gfcc_blocks(levels: Iterator[npt.NDArray[np.float64]], num_ceps: int, deltas: int,
                dtype: npt.DTypeLike) -> Iterator[npt.NDArray[np.floating]]:
    """GFCC (cube-root compression, no lifter) of blocks of level rows, each row
    followed by its deltas up to order `deltas` (0 to 2): for every frame
    [c, delta(c), delta(c, order=2)] along the last axis, bit for bit what those
    calls give on the whole file, in blocks of bounded size."""
    streams = [DeltaStream() for _ in range(deltas)]
    held: List[npt.NDArray[np.float64]] = []  # each order's frames not yet given out
    last: npt.NDArray[np.float64] | None = None

    def joined(parts: List[npt.NDArray[np.float64]]) -> Iterator[npt.NDArray[np.floating]]:
        for i, part in enumerate(parts):
            held[i] = np.concatenate([held[i], part], axis=-2)
        ready = min(h.shape[-2] for h in held)
        if ready:
            yield np.concatenate([h[..., :ready, :] for h in held], axis=-1).astype(
                dtype, copy=False)
            for i in range(len(held)):
                held[i] = held[i][..., ready:, :]

    for block in levels:
        ceps = of_levels(np.cbrt(block), num_ceps, 0.0)
        if last is None:
            held = [ceps[..., :0, :]] * (deltas + 1)
        last = ceps
        parts = [ceps]
        for stream in streams:
            parts.append(stream.push(parts[-1]))
        yield from joined(parts)
    if last is None:
        return
    for order, stream in enumerate(streams):  # the ends, each order feeding the next
        tail = stream.finish(last)
        rest = [last[..., :0, :]] * (order + 1) + [tail]
        for later in streams[order + 1:]:
            rest.append(later.push(rest[-1]))
        yield from joined(rest + [last[..., :0, :]] * (deltas - len(rest) + 1))
