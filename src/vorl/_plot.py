"""Pictures of gammatonegrams."""
from __future__ import annotations

from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from ._gammatone import Gammatone


def plot(gram: npt.ArrayLike, config_or_cfs: Union[Gammatone, npt.ArrayLike],
         hop_length: Optional[int] = None, sample_rate: Optional[float] = None,
         ax: Optional[Any] = None) -> Any:
    """Draw a gammatonegram (frames x bands): time in seconds across, band
    centre frequency in Hz up (on a logarithmic axis), with a colour bar.

    `config_or_cfs` is the `Gammatone` that made `gram`, or the bands' centre
    frequencies; in the latter case `hop_length` and `sample_rate` are needed.
    Draws on `ax` (a new figure if None) and returns the axes.
    """
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("vorl.plot needs matplotlib: pip install 'vorl[plot]'") from None

    gram = np.asarray(gram, dtype=np.float64)
    if isinstance(config_or_cfs, Gammatone):
        cfs = config_or_cfs.center_frequencies
        hop_length = config_or_cfs.hop_length if hop_length is None else hop_length
        sample_rate = config_or_cfs.sample_rate if sample_rate is None else sample_rate
        label = "log10 band level" if config_or_cfs.log else "band level"
    else:
        cfs = np.asarray(config_or_cfs, dtype=np.float64)
        label = "band level"
    if hop_length is None or sample_rate is None:
        raise ValueError("hop_length and sample_rate are needed with centre frequencies")
    if gram.ndim != 2 or gram.shape[1] != len(cfs):
        raise ValueError(f"gram of shape {gram.shape} does not have one column per band "
                         f"({len(cfs)} bands)")
    if len(cfs) < 1 or np.any(cfs <= 0) or np.any(np.diff(cfs) <= 0):
        raise ValueError("centre frequencies must be positive and ascending")

    seconds = np.arange(gram.shape[0] + 1) * (hop_length / sample_rate)
    if len(cfs) > 1:  # band edges halfway between centres on a log axis
        mids = np.sqrt(cfs[1:] * cfs[:-1])
        edges = np.concatenate([[cfs[0] ** 2 / mids[0]], mids, [cfs[-1] ** 2 / mids[-1]]])
    else:
        edges = np.array([cfs[0] / 1.1, cfs[0] * 1.1])
    if ax is None:
        _, ax = plt.subplots(figsize=(9, 4.5), layout="constrained")
    mesh = ax.pcolormesh(seconds, edges, gram.T, shading="flat", cmap="magma")
    ax.set_yscale("log")
    ax.set_xlabel("time (s)")
    ax.set_ylabel("band centre frequency (Hz)")
    ax.figure.colorbar(mesh, ax=ax, label=label)
    return ax
