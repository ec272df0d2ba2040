"""What an array of a store records: the configuration (described in plain values),
the library version and resampler that made it, and its source file."""
from __future__ import annotations

import os
from typing import Any, Dict, Mapping, Optional, Tuple

import numpy as np

from .._config import Config, arguments_of, rebuild
from .._features import Cochleagram, Gammatone
from .._files import open_rows
from ._common import PathLike
from ._keys import real_path

_CONFIGS = {"Gammatone": Gammatone, "Cochleagram": Cochleagram}


def describe(config: Config) -> Dict[str, Any]:
    """A configuration as JSON-able attributes, from which `configuration` rebuilds it."""
    arguments = {k: (list(v) if isinstance(v, tuple) else v)
                 for k, v in arguments_of(config).items()}
    arguments["dtype"] = np.dtype(arguments["dtype"]).name
    return {"class": type(config).__name__, "arguments": arguments}


def configuration(described: Mapping[str, Any]) -> Config:
    """The configuration that `describe` wrote, as it was made."""
    return rebuild(_CONFIGS[described["class"]], dict(described["arguments"]))


def source_of(path: str, content: bool = False) -> Dict[str, Any]:
    from .._io import digest

    stat = os.stat(path)
    source: Dict[str, Any] = {"path": path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
    if content:
        source["blake2b"] = digest(path)
    return source


def cepstral(num_ceps: int, deltas: int = 0) -> Dict[str, Any]:
    """What GFCC features are stored instead of rows (the ``features`` entry of
    the metadata): cube-root compression, no lifter, deltas over 9 frames."""
    if isinstance(num_ceps, bool) or not isinstance(num_ceps, (int, np.integer)) \
            or num_ceps < 1:
        raise ValueError(f"gfcc must be a positive number of coefficients, got {num_ceps!r}")
    if isinstance(deltas, bool) or deltas not in (0, 1, 2):
        raise ValueError(f"deltas must be 0, 1 or 2, got {deltas!r}")
    return {"kind": "gfcc", "num_ceps": int(num_ceps), "deltas": int(deltas),
            "compression": "cuberoot", "lifter": 0, "delta_width": 9}


def made_by_of(config: Config, resampler: Optional[Mapping[str, Any]],
             features: Optional[Mapping[str, Any]] = None) -> Dict[str, Any]:
    """What an array's values depend on besides its source; `features` only for
    cepstra, so that stores of rows made before it existed stay alike."""
    from .. import __version__

    made = {"configuration": describe(config), "vorl_version": __version__,
            "resampler": None if resampler is None else dict(resampler)}
    if features is not None:
        if features["num_ceps"] > config.num_bands:
            raise ValueError(f"gfcc={features['num_ceps']} coefficients need as many bands; "
                             f"this configuration has {config.num_bands}")
        made["features"] = dict(features)
    return made


def opened(config: Config, path: PathLike, threads: Optional[int],
           features: Optional[Mapping[str, Any]], resample: bool = False
           ) -> Tuple[int, int, Any]:
    """(frames, values per frame, blocks) of a file's features: the configuration's
    rows, or with `features` (`cepstral`) its GFCC and their deltas, computed from
    the levels as `vorl.gfcc` computes them and streamed in bounded memory."""
    from .._cepstra import gfcc_blocks

    if features is None:
        frames, blocks = open_rows(config, path, threads, resample=resample)
        return frames, config.num_bands, blocks
    levels = config.replace(log=False, dtype=np.float64)
    frames, blocks = open_rows(levels, path, threads, resample=resample)
    width = features["num_ceps"] * (1 + features["deltas"])
    return frames, width, gfcc_blocks(blocks, features["num_ceps"], features["deltas"],
                                      config.dtype)


def metadata_of(config: Config, path: PathLike, file_rate: Optional[int] = None,
                resampler: Optional[Mapping[str, Any]] = None,
                content: bool = False,
                features: Optional[Mapping[str, Any]] = None) -> Dict[str, Any]:
    """What is stored beside the features of a file.

    Parameters
    ----------
    config : Gammatone or Cochleagram
        The analysis.
    path : path
        The source file.
    file_rate : int, optional
        The file's own sample rate; default the configuration's.
    resampler : dict, optional
        What resampled the file (name, version, quality); None if nothing did.
    content : bool
        Add the BLAKE2b digest of the file's bytes to its source.
    features : dict, optional
        `cepstral`, where GFCC are stored instead of rows.

    Returns
    -------
    dict
        ``sample_rate``, ``frame_length``, ``hop_length``, ``center_frequencies``,
        ``configuration`` (`describe`), ``vorl_version``, ``resampler``,
        ``source`` (the file's real path, size, modification time in ns, its own
        ``sample_rate`` and, with `content`, ``blake2b``) and, for GFCC,
        ``features``.
    """
    source = source_of(real_path(path), content)
    source["sample_rate"] = config.sample_rate if file_rate is None else int(file_rate)
    return {**shared_metadata(config, made_by_of(config, resampler, features)), "source": source}


def shared_metadata(config: Config, made_by: Mapping[str, Any]) -> Dict[str, Any]:
    """The metadata that every array made by `made_by` shares: all but its source."""
    return {"sample_rate": config.sample_rate, "frame_length": config.frame_length,
            "hop_length": config.hop_length,
            "center_frequencies": [float(f) for f in config.center_frequencies],
            **made_by}
