"""What the two analyses share: the configuration, an immutable value, and its one
mapping to native objects (`Config._bank`)."""
from __future__ import annotations

import contextvars
import math
import os
import warnings
from typing import Any, Dict, Iterator, Optional, Sequence, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

from . import _engine
from ._cepstra import COMPRESSIONS, check_cepstra, gfcc_of
from ._docs import document
from ._files import file_rows, open_rows
from ._validate import (
    INT32_MAX,
    MAX_BANDS,
    check_samples,
    finite,
    frequencies,
    integer,
    non_negative_int,
    positive_int,
    samples_of,
)

ERB_DEFAULTS = (64, 50.0, 8000.0, 1.019)  # num_bands, low_Hz, high_Hz, bandwidth_factor
_FRAMING_DEFAULTS = (1024, 512)  # frame_length, hop_length, in samples
_HIGH_OF_RATE = 0.45  # the default high_Hz: at most this fraction of the rate, below Nyquist
# Set while a configuration is rebuilt from what was stored (a pickle, a store's
# metadata): one made before high_Hz at or above Nyquist was refused still loads.
_REBUILDING: contextvars.ContextVar[bool] = contextvars.ContextVar("vorl_rebuilding",
                                                                  default=False)
#: The default `floor` of log levels: 200 dB below the level of a unit sine at a
#: band's centre (about 1), far below any recorded sound; digital silence reads -10.
DEFAULT_FLOOR = 1e-10

Array = npt.NDArray[np.float64]


def default_high_Hz(sample_rate: int) -> float:
    """The default centre frequency of the highest band: 8 kHz, or 0.45 times the
    rate where that is lower, so that the top band stays below Nyquist."""
    return float(min(ERB_DEFAULTS[2], _HIGH_OF_RATE * sample_rate))


@document
class Config:
    """Parameters shared by `Gammatone` and `Cochleagram`: an immutable, picklable value."""

    #: The continuous analysis of the same parameters (`continuous_twin`): set where
    #: the analyses are defined.
    _continuous: type

    __slots__ = ("sample_rate", "frame_length", "hop_length", "num_bands", "low_Hz", "high_Hz",
                 "temporal_integration", "channel", "log", "bandwidth_factor", "floor", "dtype",
                 "_center_frequencies")

    sample_rate: int
    frame_length: int
    hop_length: int
    num_bands: int
    low_Hz: float
    high_Hz: float
    temporal_integration: float
    channel: Optional[int]
    log: bool
    bandwidth_factor: float
    floor: float
    dtype: np.dtype
    _center_frequencies: Optional[Tuple[float, ...]]

    def __init__(self, sample_rate: float, frame_length: Optional[int] = None,
                 hop_length: Optional[int] = None, num_bands: int = 64, low_Hz: float = 50.0,
                 high_Hz: Optional[float] = None, temporal_integration: float = 0.0,
                 channel: Optional[int] = -1, log: bool = True,
                 center_frequencies: Optional[Sequence[float]] = None,
                 bandwidth_factor: float = 1.019, floor: float = DEFAULT_FLOOR,
                 dtype: npt.DTypeLike = np.float64, frame_duration: Optional[float] = None,
                 hop_duration: Optional[float] = None) -> None:
        rate = sample_rate
        if isinstance(rate, bool) or not isinstance(rate, (int, float, np.integer, np.floating)):
            raise TypeError(f"sample_rate must be a number, not {type(rate).__name__}")
        if not (math.isfinite(rate) and rate > 0):
            raise ValueError(f"sample_rate must be finite and positive, got {rate}")
        if rate != int(rate) or rate > INT32_MAX:
            raise ValueError(f"sample_rate must be a whole number of samples per second "
                             f"up to {INT32_MAX}, got {rate}")
        rate = int(rate)
        values: Dict[str, Any] = {
            "sample_rate": rate,
            "frame_length": samples_of("frame", frame_length, frame_duration, rate,
                                     _FRAMING_DEFAULTS[0]),
            "hop_length": samples_of("hop", hop_length, hop_duration, rate, _FRAMING_DEFAULTS[1]),
            "num_bands": positive_int("num_bands", num_bands, MAX_BANDS),
            "low_Hz": finite("low_Hz", low_Hz),
            "high_Hz": default_high_Hz(rate) if high_Hz is None else finite("high_Hz", high_Hz),
            "temporal_integration": finite("temporal_integration", temporal_integration),
            "channel": None if channel is None else integer("channel", channel),
            "log": bool(log),
            "bandwidth_factor": finite("bandwidth_factor", bandwidth_factor),
            "floor": finite("floor", floor),
            "dtype": np.dtype(dtype),
            "_center_frequencies": None,
        }
        if values["floor"] < 0:
            raise ValueError(f"floor must not be negative, got {values['floor']}")
        if values["dtype"] not in (np.dtype(np.float32), np.dtype(np.float64)):
            raise ValueError(f"dtype must be float32 or float64, not {values['dtype']}")
        if center_frequencies is not None:
            cfs = frequencies(center_frequencies)
            values.update(_center_frequencies=cfs, num_bands=len(cfs), low_Hz=cfs[0],
                          high_Hz=cfs[-1])
        elif not 0 <= values["low_Hz"] < values["high_Hz"]:
            raise ValueError(f"need 0 <= low_Hz < high_Hz, got low_Hz={values['low_Hz']} "
                             f"and high_Hz={values['high_Hz']}")
        if values["bandwidth_factor"] <= 0:
            raise ValueError(f"bandwidth_factor must be positive, got {values['bandwidth_factor']}")
        if values["temporal_integration"] < 0:
            raise ValueError("temporal_integration must not be negative, "
                             f"got {values['temporal_integration']}")
        if values["channel"] is not None and not -INT32_MAX <= values["channel"] <= INT32_MAX:
            raise ValueError(f"channel out of range: {values['channel']}")
        nyquist = values["sample_rate"] / 2
        if center_frequencies is None and values["high_Hz"] >= nyquist and not _REBUILDING.get():
            raise ValueError(f"high_Hz={values['high_Hz']:g} is not below the Nyquist frequency "
                             f"{nyquist:g} Hz of {rate} samples per second: the bands there "
                             "would alias; give a lower high_Hz, or leave it out for "
                             f"min(8000, {_HIGH_OF_RATE:g} * sample_rate)")
        if values["high_Hz"] > nyquist:
            warnings.warn(f"high_Hz={values['high_Hz']:g} lies above the Nyquist frequency "
                          f"{nyquist:g} Hz; the bands above it alias", stacklevel=2)
        for name, value in values.items():
            object.__setattr__(self, name, value)
        self._check_design()

    def _check_design(self) -> None:
        """Refuses filters whose coefficients are not finite (absurd bandwidths or
        centre frequencies): their rows would be NaN. An impulse of a few samples
        through every filter shows it."""
        impulse = np.zeros((1, 4), order="F")
        impulse[0, 0] = 1
        response = _engine.continuous(impulse, self._bank(), "envelopes", 1, 1, 0, False, 0.0, 1)
        if not np.all(np.isfinite(response)):
            raise ValueError(f"these filters cannot be designed with finite coefficients "
                             f"(center_frequencies up to {self.high_Hz:g} Hz, bandwidth_factor "
                             f"{self.bandwidth_factor:g} at {self.sample_rate} Hz): make the "
                             "bandwidth_factor or the center_frequencies smaller")

    # -- an immutable value ------------------------------------------------------------------

    def _arguments(self) -> Dict[str, Any]:
        args = {name: getattr(self, name) for name in Config.__slots__ if name[0] != "_"}
        if self._center_frequencies is not None:
            for name in ("num_bands", "low_Hz", "high_Hz"):
                del args[name]
            args["center_frequencies"] = self._center_frequencies
        return args

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"{type(self).__name__} is immutable; make a new one "
                             f"with .replace({name}=...)")

    __delattr__ = __setattr__  # type: ignore[assignment]

    def replace(self, **changes: Any) -> "Config":
        """A copy with some parameters changed.

        Parameters
        ----------
        **changes
            Parameters of the configuration and their new values.

        Returns
        -------
        Gammatone or Cochleagram
            A new configuration of the same class.
        """
        arguments = {**self._arguments(), **changes}
        # A default high_Hz follows a new rate, as it would in a new configuration.
        if ("sample_rate" in changes and "high_Hz" not in changes and "high_Hz" in arguments
                and self.high_Hz == default_high_Hz(self.sample_rate)):
            arguments["high_Hz"] = None
        return type(self)(**arguments)

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and self._arguments() == other._arguments()  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((type(self), tuple(self._arguments().items())))

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self._arguments().items())
        return f"{type(self).__name__}({args})"

    def __reduce__(self) -> Tuple[Any, ...]:
        return (rebuild, (type(self), self._arguments()))

    # -- the one mapping to native objects --------------------------------------------------

    def _bank(self) -> Any:
        """The native filters and integration factor of this configuration."""
        cfs = None if self._center_frequencies is None else list(self._center_frequencies)
        return _engine.Bank(self.sample_rate, cfs, self.num_bands,
                            self.low_Hz, self.high_Hz, self.bandwidth_factor,
                            self.temporal_integration)

    @property
    def center_frequencies(self) -> Array:
        """Centre frequency of each band, in Hz, ascending."""
        return np.array(self._bank().center_frequencies)

    def frame_times(self, num_frames: int) -> Array:
        """The centre of each frame, in seconds: the time axis of the rows.

        Parameters
        ----------
        num_frames : int
            How many frames (``rows.shape[-2]``).

        Returns
        -------
        ndarray
            ``(j * hop_length + frame_length / 2) / sample_rate`` for
            j = 0 .. num_frames - 1.
        """
        centres = self._frame_centres(non_negative_int("num_frames", num_frames))
        return np.asarray(centres / self.sample_rate, dtype=np.float64)

    def _frame_centres(self, num_frames: int) -> Array:
        """The centre of each frame, in samples (exact): j * hop_length + frame_length / 2."""
        return np.asarray(np.arange(num_frames) * self.hop_length + self.frame_length / 2,
                          dtype=np.float64)

    def num_frames(self, num_samples: int) -> int:
        """Number of whole frames in a signal.

        Parameters
        ----------
        num_samples : int
            Samples per channel.

        Returns
        -------
        int
            Frames that fit whole, 0 if not even one does.
        """
        return int(_engine.whole_frames(num_samples, self.frame_length, self.hop_length))

    def _prepare(self, signal: npt.ArrayLike, *, whole_frames: bool,
                 check_finite: bool = True) -> Array:
        """The signal as a (channels, samples) float64 array, checked."""
        if isinstance(signal, (str, bytes, os.PathLike)):
            raise TypeError("signal must hold the samples, not name a file: "
                            "pass the samples; read a file with vorl.load(path)")
        data = np.asarray(signal)
        if data.dtype == object:
            raise TypeError(f"signal must be an array of samples (a NumPy array or a list of "
                            f"numbers), not {type(signal).__name__}; for a generator of chunks, "
                            "push each chunk")
        if not np.issubdtype(data.dtype, np.floating):
            raise TypeError(f"signal must hold floating-point samples, not {data.dtype}; "
                            "scale integer PCM to floats first")
        if data.ndim == 1:
            data = data[np.newaxis, :]
        elif data.ndim != 2:
            raise ValueError(f"signal must be 1-D (samples) or 2-D (channels, samples), "
                             f"got {data.ndim} dimensions")
        channels, samples = data.shape
        if samples <= 16 < channels:
            raise ValueError(f"signal of shape {data.shape} looks like (samples, channels); "
                             "pass signal.T (signals are (channels, samples))")
        if self.channel is not None and self.channel >= channels:
            raise ValueError(f"channel {self.channel} does not exist: the signal has "
                             f"{channels} channel(s)")
        if channels == 0:
            raise ValueError("signal has no channels")
        if whole_frames and samples < self.frame_length:
            raise ValueError(f"signal of {samples} samples is shorter than one frame "
                             f"({self.frame_length} samples)")
        with np.errstate(over="ignore"):  # out-of-range values become inf, then are refused
            data = np.asarray(data, dtype=np.float64)
        if check_finite:
            check_samples(data)
        return data

    def _finish(self, result: Array) -> Array:
        """The result in the configured dtype: computed in float64, cast once."""
        return result if self.dtype == np.float64 else result.astype(self.dtype)

    def file_blocks(self, path: Union[str, os.PathLike], threads: Optional[int] = None, *,
                    block_samples: int = 1 << 18, check_finite: bool = True,
                    resample: bool = False) -> Iterator[Array]:
        """The rows of an audio file, computed `block_samples` samples at a time.

        Parameters
        ----------
        path : str or os.PathLike
            Any file libsndfile reads (WAV, FLAC, OGG, MP3, ...).
        <threads>
        block_samples : int
            Samples per channel read and analysed at a time.
        <check_finite>
        resample : bool
            Resample a file at another rate to this configuration's (soxr,
            quality "VHQ", streamed); False raises ValueError for such a file.

        Returns
        -------
        iterator of ndarray
            Blocks of rows, whose concatenation equals `from_file` bit for bit
            whatever the block size; memory holds one block and the state of
            the filters, however long the file.
        """
        return open_rows(self, path, threads, block_samples, check_finite, resample)[1]

    def from_file(self, path: Union[str, os.PathLike], threads: Optional[int] = None, *,
                  check_finite: bool = True, resample: bool = False) -> Array:
        """The rows of an audio file, computed in blocks in bounded memory.

        Parameters
        ----------
        path : str or os.PathLike
            Any file libsndfile reads (WAV, FLAC, OGG, MP3, ...).
        <threads>
        <check_finite>
        resample : bool
            Resample a file at another rate to this configuration's (soxr,
            quality "VHQ", streamed); False raises ValueError for such a file.

        Returns
        -------
        ndarray
            The same array as ``self(vorl.load(path, sample_rate=self.sample_rate)[0])``
            bit for bit; memory holds the result and one block.

        Raises
        ------
        ValueError
            If the file cannot be read to its end, is at another rate (without
            `resample`), or is shorter than one frame.
        """
        return file_rows(self, path, threads, check_finite, resample)

    def gfcc(self, signal: npt.ArrayLike, num_ceps: int = 13, compression: str = "cuberoot",
             lifter: float = 0, threads: Optional[int] = None,
             check_finite: bool = True) -> Array:
        """Gammatone cepstral coefficients of every whole frame.

        The orthonormal DCT-II over bands of the compressed band levels of this
        configuration's rows, optionally liftered; see `vorl.gfcc`.

        Parameters
        ----------
        <signal>
        num_ceps : int
            Coefficients per frame, at most the number of bands.
        compression : {"cuberoot", "log"}
            Cube root of the levels, or log10 of max(level, floor).
        lifter : float
            The sinusoidal lifter's parameter; 0 turns it off.
        <threads>
        <check_finite>

        Returns
        -------
        ndarray
            Shape (frames, num_ceps), or (channels, frames, num_ceps) with
            ``channel=None``.
        """
        if compression not in COMPRESSIONS:
            raise ValueError(f"compression must be 'cuberoot' or 'log', not {compression!r}")
        check_cepstra(num_ceps, lifter, self.num_bands)
        if compression == "log" and self.floor == 0:
            raise ValueError("compression='log' needs a positive floor: log10(0) of silent "
                             "bands would make every coefficient -inf or NaN; keep the default "
                             f"floor ({DEFAULT_FLOOR:g}) or pass another positive one")
        return cast(Array, gfcc_of(self, signal, num_ceps, compression, lifter, threads,
                                   check_finite))



def rebuild(cls: type, arguments: Dict[str, Any]) -> Config:
    """A configuration as stored (pickled, or described in a store): as it was made,
    even where today's checks would refuse it (high_Hz at or above Nyquist)."""
    token = _REBUILDING.set(True)
    try:
        with warnings.catch_warnings():  # warned once, when it was first made
            warnings.simplefilter("ignore")
            return cls(**arguments)  # type: ignore[no-any-return]
    finally:
        _REBUILDING.reset(token)


def column_major(data: Array) -> Array:
    """The signal as the framed extractor reads it in place: column-major; copied only if
    it is not."""
    if data.flags.f_contiguous and data.flags.aligned and min(data.strides) >= 0:
        return data
    return np.array(data, dtype=np.float64, order="F")


def finish_output(config: Config, output: str, bank: Any, result: Array) -> Any:
    """A native result as the caller gets it: envelopes times (1 - decay), in place
    (the integrator's state on the rows' scale); the analytic output's (re, im)
    pairs of doubles viewed as complex numbers; then the configured dtype."""
    if output == "envelopes" and bank.decay != 0:
        result *= 1 - bank.decay
    if output == "analytic":
        pairs = result.view(np.complex128)
        return pairs if config.dtype == np.float64 else pairs.astype(np.complex64)
    return config._finish(result)


# The configuration's interface to the rest of the package: what the roads
# (streams, synthesis, files, corpora, the command) ask of any configuration.

def bank_of(config: Config) -> Any:
    """The native filters and integration factor of `config`."""
    return config._bank()


def arguments_of(config: Config) -> Dict[str, Any]:
    """The arguments that make `config` again (``type(config)(**arguments)``)."""
    return config._arguments()


def prepared(config: Config, signal: npt.ArrayLike, *, whole_frames: bool,
             check_finite: bool = True) -> Array:
    """`signal` as `config` analyses it: a checked (channels, samples) float64 array."""
    return config._prepare(signal, whole_frames=whole_frames, check_finite=check_finite)


def finished(config: Config, result: Array) -> Array:
    """A float64 result in `config`'s dtype."""
    return config._finish(result)


def frame_centres(config: Config, num_frames: int) -> Array:
    """The centre of each frame, in samples (exact): j * hop_length + frame_length / 2."""
    return config._frame_centres(num_frames)


def continuous_twin(config: Config) -> Any:
    """The `Cochleagram` of the same parameters as `config` (itself if it is one)."""
    twin: Any = type(config)._continuous
    return config if type(config) is twin else twin(**config._arguments())
