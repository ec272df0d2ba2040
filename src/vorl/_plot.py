"""Pictures of gammatonegrams and of the filters' responses."""
from __future__ import annotations

from pathlib import Path
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from ._config import Config, continuous_twin
from ._scale import erb_rate, erb_rate_to_hz

_LEVEL_UNIT = "unit sine at the band's centre"


def _erb_rate(f_Hz: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The axis's scale: `erb_rate`, with what lies below 0 Hz (or is masked) at 0 Hz."""
    return erb_rate(np.maximum(np.nan_to_num(np.asarray(f_Hz, dtype=np.float64)), 0))


def _hz(erb: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The scale's inverse: `erb_rate_to_hz`, below 0 at 0 Hz."""
    return erb_rate_to_hz(np.maximum(np.nan_to_num(np.asarray(erb, dtype=np.float64)), 0))


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("vorl's plots need matplotlib: pip install 'vorl[plot]'") from None
    return plt


def _hz_ticks(axis: Any, low: float, high: float, scale: Any = np.log10) -> None:
    """Tick labels in Hz at round frequencies, on an axis of `scale` (ERB-rate or
    log); a tick closer than 7% of the axis to the one kept below it is left out,
    so that labels never overlap."""
    from matplotlib.ticker import FixedLocator, NullFormatter, ScalarFormatter

    span = float(scale(high) - scale(low)) or 1.0
    ticks: list = []
    for f in (20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000):
        if low <= f <= high and (not ticks or (scale(f) - scale(ticks[-1])) / span >= 0.07):
            ticks.append(f)
    axis.set_major_locator(FixedLocator(ticks))
    axis.set_major_formatter(ScalarFormatter())
    axis.set_minor_formatter(NullFormatter())


def plot(gram: npt.ArrayLike, config_or_cfs: Union[Config, npt.ArrayLike],
         hop_length: Optional[int] = None, sample_rate: Optional[float] = None,
         ax: Optional[Any] = None) -> Any:
    """Draw a gammatonegram or cochleagram (frames x bands).

    Time in seconds runs across, each row drawn around its frame's centre
    (`frame_times`, with a configuration); the bands run up on an ERB-rate axis (evenly
    spaced bands look evenly spaced) labelled in Hz; the colour bar names the
    level and its unit. Levels at the floor, or -inf (``floor=0``), are drawn in
    the lowest colour, never left blank.

    Parameters
    ----------
    gram : array_like
        The rows, shape (frames, bands).
    config_or_cfs : Gammatone, Cochleagram or array_like
        The configuration that made `gram`, or the bands' centre frequencies in
        Hz, in which case `hop_length` and `sample_rate` are needed.
    hop_length, sample_rate : optional
        Override (or, with centre frequencies, give) the frame step and rate.
    ax : matplotlib Axes, optional
        Where to draw; a new figure by default.

    Returns
    -------
    matplotlib Axes
    """
    plt = _pyplot()
    gram = np.array(gram, dtype=np.float64)
    log = True
    centre = 0.5  # a row's centre, in hops from its frame's start
    if isinstance(config_or_cfs, Config):
        cfs = config_or_cfs.center_frequencies
        centre = config_or_cfs.frame_length / 2 / config_or_cfs.hop_length
        hop_length = config_or_cfs.hop_length if hop_length is None else hop_length
        sample_rate = config_or_cfs.sample_rate if sample_rate is None else sample_rate
        log = config_or_cfs.log
    else:
        cfs = np.asarray(config_or_cfs, dtype=np.float64)
        log = bool(np.any(gram < 0))  # levels are not negative, their logarithms can be
    if hop_length is None or sample_rate is None:
        raise ValueError("hop_length and sample_rate are needed with centre frequencies")
    if gram.ndim == 3 and gram.shape[-1] == len(cfs):
        raise ValueError(f"gram of shape {gram.shape} holds {gram.shape[0]} channels "
                         "(channel=None); plot one of them, e.g. gram[0]")
    if gram.ndim != 2 or gram.shape[1] != len(cfs):
        raise ValueError(f"gram of shape {gram.shape} does not have one column per band "
                         f"({len(cfs)} bands)")
    if len(cfs) < 1 or np.any(cfs <= 0) or np.any(np.diff(cfs) <= 0):
        raise ValueError("centre frequencies must be positive and ascending")

    finite = gram[np.isfinite(gram)]
    top = finite.max() if finite.size else 0.0
    bottom = finite.min() if finite.size else -1.0
    if log:
        bottom = max(bottom, top - 6)  # six decades of level: 120 dB
    gram[np.isneginf(gram)] = bottom  # log10(0): the quietest colour, not a gap

    # Each row spans one hop around its frame's centre.
    seconds = (np.arange(gram.shape[0] + 1) - 0.5 + centre) * (hop_length / sample_rate)
    rates = _erb_rate(cfs)
    if len(cfs) > 1:  # band edges halfway between centres on the ERB-rate scale
        mids = (rates[1:] + rates[:-1]) / 2
        edges = np.concatenate([[2 * rates[0] - mids[0]], mids, [2 * rates[-1] - mids[-1]]])
    else:
        edges = rates[0] + np.array([-0.5, 0.5])
    edges_Hz = _hz(np.maximum(edges, 0))
    if ax is None:
        _, ax = plt.subplots(figsize=(9, 4.5), layout="constrained")
    mesh = ax.pcolormesh(seconds, edges_Hz, gram.T, shading="flat", cmap="magma",
                         vmin=bottom, vmax=top if top > bottom else bottom + 1)
    ax.set_yscale("function", functions=(_erb_rate, _hz))
    ax.set_ylim(edges_Hz[0], edges_Hz[-1])
    _hz_ticks(ax.yaxis, max(edges_Hz[0], 1e-3), edges_Hz[-1], _erb_rate)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("centre frequency (Hz, ERB-rate scale)")
    label = (f"log10 band level\n(0 = {_LEVEL_UNIT})" if log
             else f"band level\n(1 = {_LEVEL_UNIT})")
    ax.figure.colorbar(mesh, ax=ax, label=label)
    return ax


def plot_responses(config: Config, ax: Optional[Any] = None) -> Any:
    """Draw the magnitude response of every band, in dB over a log-frequency axis.

    The responses are the spectra of the continuous filters' impulse responses
    (`Cochleagram.band_signals` of a unit impulse), so 0 dB is the gain at which
    a sine at a band's centre keeps its amplitude.

    Parameters
    ----------
    config : Gammatone or Cochleagram
        The bands to draw (their centre frequencies and bandwidths).
    ax : matplotlib Axes, optional
        Where to draw; a new figure by default.

    Returns
    -------
    matplotlib Axes
    """
    plt = _pyplot()
    filters = continuous_twin(config)
    n = 1 << int(np.ceil(np.log2(filters.sample_rate / 4)))  # long enough for the lowest band
    impulse = np.zeros(n)
    impulse[0] = 1.0
    responses = np.abs(np.fft.rfft(filters.band_signals(impulse, threads=1), axis=0))
    freqs = np.fft.rfftfreq(n, 1 / filters.sample_rate)
    with np.errstate(divide="ignore"):
        db = 20 * np.log10(responses[1:])
    if ax is None:
        _, ax = plt.subplots(figsize=(9, 4), layout="constrained")
    colours = plt.get_cmap("viridis")(np.linspace(0, 1, db.shape[1]))
    for band, colour in zip(db.T, colours):
        ax.plot(freqs[1:], band, color=colour, linewidth=0.8)
    ax.set_xscale("log")
    low = max(freqs[1], filters.center_frequencies[0] / 2)
    ax.set_xlim(low, filters.sample_rate / 2)
    _hz_ticks(ax.xaxis, low, filters.sample_rate / 2)
    ax.set_ylim(-60, 6)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("magnitude (dB)")
    ax.set_title(f"{filters.num_bands} gammatone bands, {filters.sample_rate} Hz")
    ax.grid(True, which="major", alpha=0.3)
    return ax


def save_picture(gram: np.ndarray, config: Config, output: Path, title: str) -> None:
    """`plot` of the rows into a picture file (matplotlib's Agg backend)."""
    try:
        import matplotlib
    except ImportError:
        raise ImportError("pictures need matplotlib: pip install 'vorl[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ax = plot(gram, config)
    ax.set_title(title)
    ax.figure.savefig(output, dpi=120)
    plt.close(ax.figure)
