"""The file road: an audio file's rows, read and analysed a block at a time, in
memory bounded by a block and the filters' state."""
from __future__ import annotations

import os
from typing import Any, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._io import AudioFile
from ._validate import positive_int

Array = npt.NDArray[np.float64]


def open_rows(config: Any, path: Union[str, os.PathLike], threads: Optional[int],
              block_samples: int = 1 << 18, check_finite: bool = True,
              resample: bool = False) -> Tuple[int, Iterator[Array]]:
    """The number of frames of an audio file and its rows in blocks, through a stream
    of `config` (a Gammatone or a Cochleagram); the file is opened and checked here,
    before the first block is asked for."""
    block_samples = positive_int("block_samples", block_samples)
    audio = AudioFile(path)
    if audio.sample_rate != config.sample_rate and not resample:
        raise ValueError(f"{audio.name!r} has {audio.sample_rate} samples per second; this "
                         f"configuration is for {config.sample_rate}: pass resample=True "
                         f"(vorl features --rate {config.sample_rate}) to resample it, or "
                         f"analyse it with a configuration for {audio.sample_rate}")
    samples = audio.frames_at(config.sample_rate)
    if samples < config.frame_length:
        raise ValueError(f"signal of {samples} samples is shorter than one frame "
                         f"({config.frame_length} samples)")
    stream = config.stream(threads=threads)  # the rows, for either analysis

    def rows() -> Iterator[Array]:
        for block in audio.blocks(block_samples, config.sample_rate):
            part = stream.push(block, check_finite=check_finite)
            if part.shape[-2]:
                yield part

    return config.num_frames(samples), rows()


def file_rows(config: Any, path: Union[str, os.PathLike], threads: Optional[int],
              check_finite: bool, resample: bool) -> Array:
    """All the rows of an audio file (`Gammatone.from_file`), put together in one
    array as the blocks arrive."""
    total, parts = open_rows(config, path, threads, check_finite=check_finite,
                             resample=resample)
    result: Optional[Array] = None
    at = 0
    for rows in parts:
        if result is None:
            result = np.empty((*rows.shape[:-2], total, rows.shape[-1]), dtype=rows.dtype)
        result[..., at:at + rows.shape[-2], :] = rows
        at += rows.shape[-2]
    assert result is not None and at == total
    return result
