"""Reading audio files."""
from __future__ import annotations

import os
from typing import Tuple, Union

import numpy as np
import numpy.typing as npt


def load(path: Union[str, os.PathLike]) -> Tuple[npt.NDArray[np.float64], int]:
    """Read an audio file (WAV, FLAC, OGG and what else libsndfile reads).

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    samples : ndarray
        float64, shape (channels, samples), in column-major order as the
        filterbank reads it.
    sample_rate : int
        Samples per second.

    Raises
    ------
    FileNotFoundError
        If there is no such file.
    ValueError
        If libsndfile cannot read it.
    """
    import soundfile

    name = os.fspath(path)
    if not os.path.exists(name):
        raise FileNotFoundError(f"No such audio file: {name!r}")
    try:
        data, rate = soundfile.read(name, dtype="float64", always_2d=True)
    except (RuntimeError, TypeError, ValueError) as error:  # libsndfile's errors are RuntimeErrors
        raise ValueError(f"Cannot read audio file {name!r}: {error}") from error
    return data.T, int(rate)
