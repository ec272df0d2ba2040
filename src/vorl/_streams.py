"""Streams: an analysis fed a signal in chunks. Every push follows the native
streams' protocol (one push at a time; one that fails or is interrupted leaves the
stream as it was)."""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from . import _engine
from ._config import Config, bank_of, column_major, finish_output, finished, prepared
from ._docs import document
from ._validate import thread_count

Array = npt.NDArray[np.float64]


class Stream:
    """Takes a signal in chunks of any length (0 included), 1-D or (channels,
    samples), of any float dtype; every chunk must have the first one's channel
    count. The concatenation of what `push` returns equals one call of the
    configuration on the concatenated chunks, bit for bit."""

    _native: Any  # the native stream: its pushes follow one protocol (see the subclasses)

    def __init__(self, config: Config) -> None:
        self.config = config

    def _chunk(self, chunk: npt.ArrayLike, check_finite: bool) -> Array:
        data = np.asarray(chunk)
        channels = data.shape[0] if data.ndim == 2 else 1
        first = self._native.channels
        if first is not None and channels != first:
            hint = ("; it looks like (samples, channels): push chunk.T (chunks are "
                    "(channels, samples))" if data.ndim == 2 and data.shape[1] == first
                    else "")
            raise ValueError(f"chunk has {channels} channel(s), but the stream's first "
                             f"chunk had {first}{hint}")
        return prepared(self.config, data, whole_frames=False, check_finite=check_finite)

    @property
    def samples_seen(self) -> int:
        """Samples pushed so far, per channel."""
        return int(self._native.samples_seen)


@document
class ContinuousStream(Stream):
    """A `Cochleagram` fed in chunks; see `Cochleagram.stream`.

    A push that fails or is interrupted (Ctrl-C) leaves the stream as it was,
    so pushing the same chunk again gives the one-call bits. One push runs at a
    time: a push from another thread meanwhile raises RuntimeError.

    Parameters
    ----------
    config : Cochleagram
        The analysis.
    output : {"rows", "envelopes", "band_signals", "analytic"}
        What each push returns.
    threads : int, optional
        Worker threads sharing the bands and channels.
    """

    def __init__(self, config: Config, output: str = "rows",
                 threads: Optional[int] = 1) -> None:
        if output not in ("rows", "envelopes", "band_signals", "analytic"):
            raise ValueError("output must be 'rows', 'envelopes', 'band_signals' or 'analytic', "
                             f"not {output!r}")
        super().__init__(config)
        self.output = output
        self._bank = bank_of(config)
        self._native = _engine.Stream(self._bank, output, config.frame_length,
                                      config.hop_length, config.channel, config.log,
                                      config.floor, thread_count(threads))

    def push(self, chunk: npt.ArrayLike, *, check_finite: bool = True) -> Array:
        """Analyse the next chunk of the signal.

        Parameters
        ----------
        <chunk>
        <check_finite>

        Returns
        -------
        ndarray
            What `chunk` completes: rows of frames, or one row per sample.
        """
        return finish_output(self.config, self.output, self._bank,
                              self._native.push(self._chunk(chunk, check_finite)))


@document
class FramedStream(Stream):
    """A `Gammatone` fed in chunks; see `Gammatone.stream`.

    Keeps the samples of the next frame that have arrived, never more than a
    frame, so that a push costs the length of its chunk (and the frames it
    completes), not the frame's.

    A push that fails or is interrupted (Ctrl-C) leaves the stream as it was,
    so pushing the same chunk again gives the one-call bits. One push runs at a
    time: a push from another thread meanwhile raises RuntimeError.

    Parameters
    ----------
    config : Gammatone
        The analysis.
    threads : int, optional
        Worker threads sharing the frames of a chunk.
    """

    def __init__(self, config: Config, threads: Optional[int] = 1) -> None:
        super().__init__(config)
        self._native = _engine.FramedStream(bank_of(config), config.frame_length,
                                            config.hop_length, config.channel, config.log,
                                            config.floor, thread_count(threads))

    def push(self, chunk: npt.ArrayLike, *, check_finite: bool = True) -> Array:
        """Analyse the next chunk of the signal.

        Parameters
        ----------
        <chunk>
        <check_finite>

        Returns
        -------
        ndarray
            The rows of the frames that `chunk` completes (possibly none).
        """
        return finished(self.config, self._native.push(column_major(
            self._chunk(chunk, check_finite))))
