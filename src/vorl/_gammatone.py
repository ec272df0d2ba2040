"""Gammatone features of whole signals and of streams.

Two configurations share their parameters and their one mapping to native
objects (`_Config._bank`):

- `Gammatone`: framed features, every filter restarted from rest at each
  frame; each row is bit for bit the `_vorl` extractor's output for its frame.
- `Cochleagram`: the filters run continuously through the whole signal, their
  state carried from sample to sample and from chunk to chunk.
"""
from __future__ import annotations

import contextvars
import math
import operator
import os
import warnings
from typing import (TYPE_CHECKING, Any, Dict, Iterator, Optional, Sequence, Tuple, TypeVar,
                    Union)

import numpy as np
import numpy.typing as npt

from . import _engine

if TYPE_CHECKING:
    from _vorl.extractor import GammatoneFilterbank

    from ._synthesis import Synthesis

_INT32_MAX = 2**31 - 1
_ERB_DEFAULTS = (64, 50.0, 8000.0, 1.019)  # num_bands, low_Hz, high_Hz, bandwidth_factor
_FRAMING_DEFAULTS = (1024, 512)  # frame_length, hop_length, in samples
_HIGH_OF_RATE = 0.45  # the default high_Hz: at most this fraction of the rate, below Nyquist
# Set while a configuration is rebuilt from what was stored (a pickle, a store's
# metadata): one made before high_Hz at or above Nyquist was refused still loads.
_REBUILDING: contextvars.ContextVar[bool] = contextvars.ContextVar("vorl_rebuilding",
                                                                  default=False)
#: The default `floor` of log levels: 200 dB below the level of a unit sine at a
#: band's centre (about 1), far below any recorded sound; digital silence reads -10.
DEFAULT_FLOOR = 1e-10
_CHECK_BLOCK = 1 << 16  # samples per block of the finiteness check
_MAX_BANDS = 2**20
#: The largest sample magnitude analysed: far above any audio, far below where the
#: filters' squared magnitudes would overflow.
MAX_SAMPLE = 1e100

Array = npt.NDArray[np.float64]

# Parameter sections shared by several docstrings, put in by `_doc`.
_DOC = {
    "configuration": """sample_rate : int
        Samples per second of the signals analysed, a whole number.
    frame_length : int, optional
        Samples per frame; default 1024, or `frame_duration` in samples.
    hop_length : int, optional
        Samples from the start of one frame to the start of the next; default
        512, or `hop_duration` in samples.
    num_bands : int
        Number of gammatone filters, spaced evenly on the ERB-rate scale
        (at most 2**20).
    low_Hz : float
        Centre frequency of the lowest band, in Hz.
    high_Hz : float, optional
        Centre frequency of the highest band, in Hz, below the Nyquist
        frequency; default ``min(8000, 0.45 * sample_rate)``.
    temporal_integration : float
        Time constant, in seconds, of the leaky integration of each band's
        envelope; 0 turns it off.
    channel : int or None
        The channel to analyse; a negative value averages all channels; None
        analyses every channel separately (a leading channel axis in the result).
    log : bool
        Return log10 of the band levels (True) or the levels themselves.
    center_frequencies : sequence of float, optional
        Ascending positive centre frequencies in Hz, in place of `num_bands`,
        `low_Hz` and `high_Hz`.
    bandwidth_factor : float
        Factor on each filter's equivalent rectangular bandwidth (1.019: the
        standard gammatone).
    floor : float
        Levels below it are raised to it before log10, so digital silence reads
        log10(floor) instead of -inf (default `DEFAULT_FLOOR`, 1e-10); 0 keeps
        the extractor's values.
    dtype : {float64, float32}
        Type of the results: always computed in float64, cast once at the end.
    frame_duration, hop_duration : float, optional
        The frame and hop in seconds instead of samples, rounded to the nearest
        sample; not together with `frame_length` or `hop_length`.""",
    "signal": """signal : array_like
        1-D (samples) or 2-D (channels, samples) floating-point samples, any
        memory layout; never modified.""",
    "threads": """threads : int, optional
        Worker threads; default every core this process may use.""",
    "check_finite": """check_finite : bool
        Raise ValueError at the first sample that is NaN, infinite or larger in
        magnitude than `MAX_SAMPLE`.""",
    "chunk": """chunk : array_like
        The next samples: 1-D, or (channels, samples) with the first chunk's
        channel count; any length, 0 included.""",
    "rows": """ndarray
        Shape (frames, num_bands), or (channels, frames, num_bands) with
        ``channel=None``; frames start at 0, hop_length, 2 hop_length, ...""",
    "samples": """ndarray
        Shape (samples, num_bands), or (channels, samples, num_bands) with
        ``channel=None``.""",
}


_Documented = TypeVar("_Documented")


def _doc(thing: _Documented) -> _Documented:
    """Puts the shared sections into the ``<name>`` markers of a docstring (of a
    class, its methods' too)."""
    parts = [thing, *vars(thing).values()] if isinstance(thing, type) else [thing]
    for part in parts:
        part = getattr(part, "fget", part)  # a property's getter
        if callable(part) and part.__doc__ and "<" in part.__doc__:
            text = part.__doc__
            for name, section in _DOC.items():
                # Sections are written at 4 spaces; a method's docstring sits at 8.
                indent = text[:text.index(f"<{name}>")].rsplit("\n", 1)[-1] if f"<{name}>" in text else ""
                text = text.replace(f"<{name}>", section.replace("\n    ", "\n" + indent))
            part.__doc__ = text
    return thing


def _positive_int(name: str, value: object, limit: int = 2**62) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 < number <= limit:
        raise ValueError(f"{name} must be a positive integer up to {limit}, got {number}")
    return number


def _non_negative_int(name: str, value: object) -> int:
    number = _integer(name, value)
    if number < 0:
        raise ValueError(f"{name} must not be negative, got {number}")
    return number


def default_high_Hz(sample_rate: int) -> float:
    """The default centre frequency of the highest band: 8 kHz, or 0.45 times the
    rate where that is lower, so that the top band stays below Nyquist."""
    return float(min(_ERB_DEFAULTS[2], _HIGH_OF_RATE * sample_rate))


def _samples(what: str, length: Optional[int], duration: Optional[float], rate: int,
             default: int) -> int:
    """A frame's or hop's length in samples, from a length, or a duration in seconds
    rounded to the nearest sample (halves away from zero), or the default."""
    if duration is None:
        return _positive_int(f"{what}_length", default if length is None else length)
    if length is not None:
        raise ValueError(f"give {what}_length (samples) or {what}_duration (seconds), "
                         "not both")
    seconds = _finite(f"{what}_duration", duration)
    samples = math.floor(seconds * rate + 0.5)
    if samples < 1:
        raise ValueError(f"{what}_duration={seconds:g} s is less than one sample at {rate} "
                         "samples per second")
    return _positive_int(f"{what}_duration in samples", samples)


def _integer(name: str, value: object) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _finite(name: str, value: object) -> float:
    number = float(value)  # type: ignore[arg-type]
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number}")
    return number


def _frequencies(values: object) -> Tuple[float, ...]:
    cfs = np.asarray(values, dtype=np.float64)
    if cfs.ndim != 1 or cfs.size == 0:
        raise ValueError("center_frequencies must be a non-empty 1-D sequence of Hz values")
    if cfs.size > _MAX_BANDS:
        raise ValueError(f"center_frequencies must hold at most {_MAX_BANDS} values, "
                         f"got {cfs.size}")
    if not np.all(np.isfinite(cfs)) or np.any(cfs <= 0):
        raise ValueError("center_frequencies must be finite and positive")
    if np.any(np.diff(cfs) <= 0):
        raise ValueError("center_frequencies must ascend strictly")
    return tuple(float(f) for f in cfs)


@_doc
class _Config:
    """Parameters shared by `Gammatone` and `Cochleagram`: an immutable, picklable value."""

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
        if rate != int(rate) or rate > _INT32_MAX:
            raise ValueError(f"sample_rate must be a whole number of samples per second "
                             f"up to {_INT32_MAX}, got {rate}")
        rate = int(rate)
        values: Dict[str, Any] = {
            "sample_rate": rate,
            "frame_length": _samples("frame", frame_length, frame_duration, rate,
                                     _FRAMING_DEFAULTS[0]),
            "hop_length": _samples("hop", hop_length, hop_duration, rate, _FRAMING_DEFAULTS[1]),
            "num_bands": _positive_int("num_bands", num_bands, _MAX_BANDS),
            "low_Hz": _finite("low_Hz", low_Hz),
            "high_Hz": default_high_Hz(rate) if high_Hz is None else _finite("high_Hz", high_Hz),
            "temporal_integration": _finite("temporal_integration", temporal_integration),
            "channel": None if channel is None else _integer("channel", channel),
            "log": bool(log),
            "bandwidth_factor": _finite("bandwidth_factor", bandwidth_factor),
            "floor": _finite("floor", floor),
            "dtype": np.dtype(dtype),
            "_center_frequencies": None,
        }
        if values["floor"] < 0:
            raise ValueError(f"floor must not be negative, got {values['floor']}")
        if values["dtype"] not in (np.dtype(np.float32), np.dtype(np.float64)):
            raise ValueError(f"dtype must be float32 or float64, not {values['dtype']}")
        if center_frequencies is not None:
            cfs = _frequencies(center_frequencies)
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
        if values["channel"] is not None and not -_INT32_MAX <= values["channel"] <= _INT32_MAX:
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
        args = {name: getattr(self, name) for name in _Config.__slots__ if name[0] != "_"}
        if self._center_frequencies is not None:
            for name in ("num_bands", "low_Hz", "high_Hz"):
                del args[name]
            args["center_frequencies"] = self._center_frequencies
        return args

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"{type(self).__name__} is immutable; make a new one "
                             f"with .replace({name}=...)")

    __delattr__ = __setattr__  # type: ignore[assignment]

    def replace(self, **changes: Any) -> "_Config":
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
        return (_rebuild, (type(self), self._arguments()))

    # -- the one mapping to native objects --------------------------------------------------

    def _bank(self) -> Any:
        """The native filters and integration factor of this configuration."""
        return _engine.Bank(self.sample_rate, self._center_frequencies, self.num_bands,
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
        return self._frame_centres(_non_negative_int("num_frames", num_frames)) / self.sample_rate

    def _frame_centres(self, num_frames: int) -> Array:
        """The centre of each frame, in samples (exact): j * hop_length + frame_length / 2."""
        return np.arange(num_frames) * self.hop_length + self.frame_length / 2

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
            _check_finite(data)
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
        return self._open_file(path, threads, block_samples, check_finite, resample)[1]

    def _open_file(self, path: Union[str, os.PathLike], threads: Optional[int],
                   block_samples: int = 1 << 18, check_finite: bool = True,
                   resample: bool = False) -> Tuple[int, Iterator[Array]]:
        """The number of frames of an audio file and its rows in blocks; the file is
        opened and checked here, before the first block is asked for."""
        from ._io import AudioFile

        block_samples = _positive_int("block_samples", block_samples)
        audio = AudioFile(path)
        if audio.sample_rate != self.sample_rate and not resample:
            raise ValueError(f"{audio.name!r} has {audio.sample_rate} samples per second; this "
                             f"configuration is for {self.sample_rate}: pass resample=True "
                             f"(vorl features --rate {self.sample_rate}) to resample it, or "
                             f"analyse it with a configuration for {audio.sample_rate}")
        samples = audio.frames_at(self.sample_rate)
        if samples < self.frame_length:
            raise ValueError(f"signal of {samples} samples is shorter than one frame "
                             f"({self.frame_length} samples)")
        stream = self._file_stream(threads)

        def rows() -> Iterator[Array]:
            for block in audio.blocks(block_samples, self.sample_rate):
                part = stream.push(block, check_finite=check_finite)
                if part.shape[-2]:
                    yield part

        return self.num_frames(samples), rows()

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
        total, parts = self._open_file(path, threads, check_finite=check_finite,
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

    def _file_stream(self, threads: Optional[int]) -> "_Stream":
        raise NotImplementedError

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
        from ._cepstra import COMPRESSIONS, check_cepstra, compress, of_levels

        if compression not in COMPRESSIONS:
            raise ValueError(f"compression must be 'cuberoot' or 'log', not {compression!r}")
        check_cepstra(num_ceps, lifter, self.num_bands)
        if compression == "log" and self.floor == 0:
            raise ValueError("compression='log' needs a positive floor: log10(0) of silent "
                             "bands would make every coefficient -inf or NaN; keep the default "
                             f"floor ({DEFAULT_FLOOR:g}) or pass another positive one")
        compressed = self.replace(log=compression == "log", dtype=np.float64)
        rows = compressed(signal, threads, check_finite=check_finite)  # type: ignore[operator]
        return self._finish(of_levels(compress(rows, compressed.log, self.floor, compression),
                                    num_ceps, lifter))


def _check_finite(data: Array) -> None:
    """Raises ValueError naming the first sample that is not finite or whose magnitude
    exceeds `MAX_SAMPLE`; checks the float64 values in blocks of bounded size."""
    for start in range(0, data.shape[1], _CHECK_BLOCK):
        block = data[:, start:start + _CHECK_BLOCK]
        bad = ~(np.abs(block) <= MAX_SAMPLE)  # NaN compares False too
        if bad.any():
            where = np.argwhere(bad)
            channel, sample = where[np.argmin(where[:, 1])]
            value = block[channel, sample]
            what = ("a non-finite sample" if not np.isfinite(value) else
                    f"a sample beyond the largest magnitude analysed ({MAX_SAMPLE:g})")
            raise ValueError(f"signal holds {what} ({value}) at channel {channel}, sample "
                             f"{start + sample}; pass check_finite=False to analyse it as it is")


def _column_major(data: Array) -> Array:
    """The signal as the framed extractor reads it in place: column-major; copied only if
    it is not."""
    if data.flags.f_contiguous and data.flags.aligned and min(data.strides) >= 0:
        return data
    return np.array(data, dtype=np.float64, order="F")


def _rebuild(cls: type, arguments: Dict[str, Any]) -> _Config:
    """A configuration as stored (pickled, or described in a store): as it was made,
    even where today's checks would refuse it (high_Hz at or above Nyquist)."""
    token = _REBUILDING.set(True)
    try:
        with warnings.catch_warnings():  # warned once, when it was first made
            warnings.simplefilter("ignore")
            return cls(**arguments)  # type: ignore[no-any-return]
    finally:
        _REBUILDING.reset(token)


def _threads(threads: Optional[int]) -> int:
    return _default_threads() if threads is None else _positive_int("threads", threads, 4096)


@_doc
class Gammatone(_Config):
    """Configuration of a framed gammatonegram: an immutable, picklable value.

    Calling it on a signal returns the features of every whole frame, one row
    per frame and one column per band (band centre frequencies ascending).
    Each filter starts from rest at every frame, so each row equals, bit for
    bit, the native per-frame extractor (`filterbank()`) applied to that frame.

    Parameters
    ----------
    <configuration>

    See Also
    --------
    Cochleagram : the same parameters, the filters run through the whole signal.
    """

    __slots__ = ()

    def filterbank(self) -> GammatoneFilterbank:
        """The native per-frame extractor with this configuration.

        Only for ERB-spaced bands of the standard bandwidth, which is what the
        extractor designs.

        Returns
        -------
        _vorl.extractor.GammatoneFilterbank
            Called on one frame of `frame_length` samples, it returns that
            frame's row.
        """
        from _vorl.extractor import GammatoneFilterbank

        if self._center_frequencies is not None or self.bandwidth_factor != _ERB_DEFAULTS[3]:
            raise ValueError("the per-frame extractor designs ERB-spaced bands of bandwidth "
                             "factor 1.019 only")
        options = {} if self.log else {"transform": _identity}
        return GammatoneFilterbank(
            num_samples=self.frame_length, num_features=self.num_bands,
            sample_rate=self.sample_rate, on_channel=-1 if self.channel is None else self.channel,
            low_Hz=self.low_Hz, high_Hz=self.high_Hz,
            temporal_integration=self.temporal_integration, **options)

    def __call__(self, signal: npt.ArrayLike, threads: Optional[int] = None, *,
                 check_finite: bool = True) -> Array:
        """Features of every whole frame of `signal`.

        Parameters
        ----------
        <signal>
        <threads>
            They share the frames.
        <check_finite>

        Returns
        -------
        <rows>
        """
        return self._finish(self._run(self._prepare(signal, whole_frames=True,
                                                    check_finite=check_finite), threads))

    def blocks(self, signal: npt.ArrayLike, frames_per_block: int,
               threads: Optional[int] = None, *, check_finite: bool = True) -> Iterator[Array]:
        """The rows of ``self(signal)`` in blocks of frames.

        Parameters
        ----------
        <signal>
        frames_per_block : int
            Frames per block (the last block may have fewer).
        <threads>
        <check_finite>

        Returns
        -------
        iterator of ndarray
            Blocks of rows whose concatenation is ``self(signal)``.
        """
        frames_per_block = _positive_int("frames_per_block", frames_per_block)
        data = self._prepare(signal, whole_frames=True, check_finite=check_finite)
        total = self.num_frames(data.shape[1])
        for first in range(0, total, frames_per_block):
            count = min(frames_per_block, total - first)
            start = first * self.hop_length
            stop = start + (count - 1) * self.hop_length + self.frame_length
            yield self._finish(self._run(data[:, start:stop], threads))

    def stream(self, threads: Optional[int] = 1) -> "FramedStream":
        """A stream that takes the signal in chunks and returns the rows each completes.

        Parameters
        ----------
        threads : int, optional
            Worker threads sharing the frames of a chunk; None: every core.

        Returns
        -------
        FramedStream
            Its pushes, joined, give the rows of one call bit for bit.
        """
        return FramedStream(self, threads)

    def _file_stream(self, threads: Optional[int]) -> "FramedStream":
        return FramedStream(self, threads)

    def _run(self, data: Array, threads: Optional[int]) -> Array:
        return _engine.framed(_column_major(data), self._bank(), self.frame_length, self.hop_length,
                              self.channel, self.log, self.floor, _threads(threads))


@_doc
class Cochleagram(_Config):
    """Configuration of a cochleagram: gammatone filters that run continuously
    through the whole signal. An immutable, picklable value.

    Calling it returns rows of frames: row j, band k is (1 - decay) S / frame_length,
    where S sums, in sample order, the band's integrated envelope after each
    sample j*hop_length ... j*hop_length + frame_length - 1 (log10 of it when
    `log`). The filter state is carried from the signal's first sample, so row 0
    equals row 0 of the framed `Gammatone` bit for bit, and the later rows see
    the filters in their steady state.

    Parameters
    ----------
    <configuration>

    See Also
    --------
    Gammatone : the same parameters, every filter restarted at each frame.
    """

    __slots__ = ()

    def __call__(self, signal: npt.ArrayLike, threads: Optional[int] = None, *,
                 check_finite: bool = True) -> Array:
        """Rows of every whole frame of `signal`.

        Parameters
        ----------
        <signal>
        <threads>
            They share the bands and channels.
        <check_finite>

        Returns
        -------
        <rows>
        """
        return self._run(signal, "rows", threads, check_finite)

    def envelopes(self, signal: npt.ArrayLike, threads: Optional[int] = None, *,
                  check_finite: bool = True) -> Array:
        """Each band's integrated, gain-scaled envelope after each sample, on the rows' scale.

        The integrator's state times (1 - decay), so that a unit sine at a
        band's centre reads about 1 whatever `temporal_integration` is; the
        frame means of these values are the rows (up to rounding: see the
        definitions).

        Parameters
        ----------
        <signal>
        <threads>
        <check_finite>

        Returns
        -------
        <samples>
        """
        return self._run(signal, "envelopes", threads, check_finite)

    def band_signals(self, signal: npt.ArrayLike, threads: Optional[int] = None, *,
                     check_finite: bool = True) -> Array:
        """Each band's real band-pass output after each sample.

        With u the band's complex baseband output and (qc, qs) = (cos t theta,
        -sin t theta) the rotation that took sample t down to baseband (theta the
        centre frequency in radians per sample), the output is
        gain * (Re u * qc + Im u * qs): u turned back up to the centre
        frequency, real part, scaled so that a unit sine at the centre gives a
        sine of about unit amplitude.

        Parameters
        ----------
        <signal>
        <threads>
        <check_finite>

        Returns
        -------
        <samples>
        """
        return self._run(signal, "band_signals", threads, check_finite)

    def analytic(self, signal: npt.ArrayLike, threads: Optional[int] = None, *,
                 check_finite: bool = True) -> npt.NDArray[np.complexfloating]:
        """Each band's complex (analytic) output after each sample.

        The real part is `band_signals` bit for bit; the imaginary part is its
        quadrature, gain * (Im u * qc - Re u * qs), so the magnitude is the
        band's gain-scaled envelope (``envelopes`` without integration, to a
        few ULP) and the phase follows the band's carrier. These are what a
        `Synthesis` puts back together.

        Parameters
        ----------
        <signal>
        <threads>
        <check_finite>

        Returns
        -------
        ndarray
            complex128 (complex64 with ``dtype=float32``), shape
            (samples, num_bands), or (channels, samples, num_bands) with
            ``channel=None``.
        """
        return self._run(signal, "analytic", threads, check_finite)

    def synthesis(self, delay: Optional[float] = 0.004) -> "Synthesis":
        """The resynthesis that puts this configuration's analytic bands back together.

        Parameters
        ----------
        delay : float or None
            The overall delay in seconds that the bands are aligned to (bands
            whose envelope peaks later are not delayed); None: the smallest
            delay that aligns every band.

        Returns
        -------
        Synthesis
            Designed once per configuration and delay.
        """
        from ._synthesis import Synthesis

        return Synthesis(self, delay)

    def stream(self, output: str = "rows", threads: int = 1) -> "ContinuousStream":
        """A stream that takes the signal in chunks and returns what each completes.

        Parameters
        ----------
        output : {"rows", "envelopes", "band_signals", "analytic"}
            What the stream returns, as the method of that name (rows: calling).
        threads : int
            Worker threads sharing its bands and channels.

        Returns
        -------
        ContinuousStream
            Its pushes, joined, give one call's result bit for bit.
        """
        return ContinuousStream(self, output, threads)

    def _file_stream(self, threads: Optional[int]) -> "ContinuousStream":
        return ContinuousStream(self, "rows", threads)

    def _run(self, signal: npt.ArrayLike, output: str, threads: Optional[int],
             check_finite: bool) -> Array:
        data = self._prepare(signal, whole_frames=output == "rows", check_finite=check_finite)
        bank = self._bank()
        return _finish_output(self, output, bank, _engine.continuous(
            data, bank, output, self.frame_length, self.hop_length, self.channel,
            self.log, self.floor, _threads(threads)))



def _finish_output(config: _Config, output: str, bank: Any, result: Array) -> Any:
    """A native result as the caller gets it: envelopes times (1 - decay), in place
    (the integrator's state on the rows' scale); the analytic output's (re, im)
    pairs of doubles viewed as complex numbers; then the configured dtype."""
    if output == "envelopes" and bank.decay != 0:
        result *= 1 - bank.decay
    if output == "analytic":
        pairs = result.view(np.complex128)
        return pairs if config.dtype == np.float64 else pairs.astype(np.complex64)
    return config._finish(result)


class _Stream:
    """Takes a signal in chunks of any length (0 included), 1-D or (channels,
    samples), of any float dtype; every chunk must have the first one's channel
    count. The concatenation of what `push` returns equals one call of the
    configuration on the concatenated chunks, bit for bit."""

    _native: Any  # the native stream: its pushes follow one protocol (see the subclasses)

    def __init__(self, config: _Config) -> None:
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
        return self.config._prepare(data, whole_frames=False, check_finite=check_finite)

    @property
    def samples_seen(self) -> int:
        """Samples pushed so far, per channel."""
        return int(self._native.samples_seen)


@_doc
class ContinuousStream(_Stream):
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

    def __init__(self, config: Cochleagram, output: str = "rows",
                 threads: Optional[int] = 1) -> None:
        if output not in ("rows", "envelopes", "band_signals", "analytic"):
            raise ValueError("output must be 'rows', 'envelopes', 'band_signals' or 'analytic', "
                             f"not {output!r}")
        super().__init__(config)
        self.output = output
        self._bank = config._bank()
        self._native = _engine.Stream(self._bank, output, config.frame_length,
                                      config.hop_length, config.channel, config.log,
                                      config.floor, _threads(threads))

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
        return _finish_output(self.config, self.output, self._bank,
                              self._native.push(self._chunk(chunk, check_finite)))


@_doc
class FramedStream(_Stream):
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

    def __init__(self, config: Gammatone, threads: Optional[int] = 1) -> None:
        super().__init__(config)
        self._native = _engine.FramedStream(config._bank(), config.frame_length,
                                            config.hop_length, config.channel, config.log,
                                            config.floor, _threads(threads))

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
        return self.config._finish(self._native.push(_column_major(
            self._chunk(chunk, check_finite))))


@_doc
def gammatonegram(signal: npt.ArrayLike, sample_rate: float, *,
                  frame_length: Optional[int] = None, hop_length: Optional[int] = None,
                  num_bands: int = 64, low_Hz: float = 50.0, high_Hz: Optional[float] = None,
                  temporal_integration: float = 0.0, channel: Optional[int] = -1,
                  log: bool = True, center_frequencies: Optional[Sequence[float]] = None,
                  bandwidth_factor: float = 1.019, floor: float = DEFAULT_FLOOR,
                  dtype: npt.DTypeLike = np.float64, frame_duration: Optional[float] = None,
                  hop_duration: Optional[float] = None, threads: Optional[int] = None,
                  check_finite: bool = True) -> Array:
    """Framed gammatone features of every whole frame of `signal`.

    Each filter starts from rest at every frame; row i equals the per-frame
    extractor's features of frame i bit for bit.

    Parameters
    ----------
    <signal>
    <configuration>
    <threads>
        They share the frames.
    <check_finite>

    Returns
    -------
    <rows>

    See Also
    --------
    Gammatone : the same analysis as a reusable configuration.
    cochleagram : the filters run through the whole signal.
    """
    config = Gammatone(sample_rate, frame_length, hop_length, num_bands, low_Hz, high_Hz,
                       temporal_integration, channel, log, center_frequencies, bandwidth_factor,
                       floor, dtype, frame_duration, hop_duration)
    return config(signal, threads, check_finite=check_finite)


@_doc
def cochleagram(signal: npt.ArrayLike, sample_rate: float, *,
                frame_length: Optional[int] = None, hop_length: Optional[int] = None,
                num_bands: int = 64, low_Hz: float = 50.0, high_Hz: Optional[float] = None,
                temporal_integration: float = 0.0, channel: Optional[int] = -1,
                log: bool = True, center_frequencies: Optional[Sequence[float]] = None,
                bandwidth_factor: float = 1.019, floor: float = DEFAULT_FLOOR,
                dtype: npt.DTypeLike = np.float64, frame_duration: Optional[float] = None,
                hop_duration: Optional[float] = None, threads: Optional[int] = None,
                check_finite: bool = True) -> Array:
    """Rows of frames of gammatone filters run continuously through `signal`.

    See `Cochleagram` for what a row holds.

    Parameters
    ----------
    <signal>
    <configuration>
    <threads>
        They share the bands and channels.
    <check_finite>

    Returns
    -------
    <rows>

    See Also
    --------
    Cochleagram : the same analysis as a reusable configuration, with envelopes,
        band signals and streams.
    gammatonegram : every filter restarted at each frame.
    """
    config = Cochleagram(sample_rate, frame_length, hop_length, num_bands, low_Hz, high_Hz,
                         temporal_integration, channel, log, center_frequencies,
                         bandwidth_factor, floor, dtype, frame_duration, hop_duration)
    return config(signal, threads, check_finite=check_finite)


@_doc
def gfcc(signal: npt.ArrayLike, sample_rate: float, *, num_ceps: int = 13,
         compression: str = "cuberoot", continuous: bool = True, lifter: float = 0,
         threads: Optional[int] = None, check_finite: bool = True, **configuration: Any) -> Array:
    """Gammatone cepstral coefficients of every whole frame of `signal`.

    With X[j, k] the compressed level of band k in frame j, the coefficients are
    the orthonormal DCT-II over the K bands,

        c[j, n] = w(n) sum_k X[j, k] cos(pi n (2k + 1) / (2K)),
        w(0) = sqrt(1/K), w(n) = sqrt(2/K),

    for n < num_ceps, then, when ``lifter`` L > 0, multiplied by the sinusoidal
    lifter 1 + (L/2) sin(pi n / L) as in MFCC practice.

    Parameters
    ----------
    <signal>
    sample_rate : int
        Samples per second, a whole number.
    num_ceps : int
        Coefficients per frame, at most the number of bands.
    compression : {"cuberoot", "log"}
        X = level ** (1/3) (the GFCC literature's cube root), or
        X = log10(max(level, floor)).
    continuous : bool
        Levels of the `Cochleagram` (default) or of the framed `Gammatone`.
    lifter : float
        The lifter's parameter L; 0 turns it off.
    <threads>
    <check_finite>
    **configuration
        Parameters of the configuration (num_bands, frame_length, dtype, ...);
        ``log`` is set by `compression`.

    Returns
    -------
    ndarray
        Shape (frames, num_ceps), or (channels, frames, num_ceps) with ``channel=None``.
    """
    config = (Cochleagram if continuous else Gammatone)(sample_rate, **configuration)
    return config.gfcc(signal, num_ceps, compression, lifter, threads, check_finite)


def simd_kernel() -> str:
    """The instruction set of the filter kernel chosen for this CPU.

    Returns
    -------
    str
        "avx512f", "avx2", "sse2" or "generic"; chosen at run time from the
        CPU's features. Every kernel gives the same bits.
    """
    return str(_engine.simd_kernel())


def _identity(x: float) -> float:
    return x


def _default_threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1
