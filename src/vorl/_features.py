"""The two analyses: `Gammatone`, framed features, every filter restarted from
rest at each frame (each row is bit for bit the `_vorl` extractor's output for its
frame); `Cochleagram`, the filters run continuously through the whole signal, their
state carried from sample to sample and from chunk to chunk. Then the functions
that make one and call it."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterator, Optional, Sequence

import numpy as np
import numpy.typing as npt

from . import _engine
from ._config import DEFAULT_FLOOR, ERB_DEFAULTS, Config, column_major, finish_output
from ._docs import document
from ._streams import ContinuousStream, FramedStream
from ._synthesis import Synthesis
from ._validate import positive_int, thread_count

if TYPE_CHECKING:
    from _vorl.extractor import GammatoneFilterbank

Array = npt.NDArray[np.float64]


@document
class Gammatone(Config):
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

        if self._center_frequencies is not None or self.bandwidth_factor != ERB_DEFAULTS[3]:
            raise ValueError("the per-frame extractor designs ERB-spaced bands of bandwidth "
                             "factor 1.019 only")
        options = {} if self.log else {"transform": identity}
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
        frames_per_block = positive_int("frames_per_block", frames_per_block)
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

    def _run(self, data: Array, threads: Optional[int]) -> Array:
        return _engine.framed(column_major(data), self._bank(), self.frame_length, self.hop_length,
                              self.channel, self.log, self.floor, thread_count(threads))


@document
class Cochleagram(Config):
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
        return self._run(signal, "analytic", threads, check_finite)  # type: ignore[return-value]

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

    def _run(self, signal: npt.ArrayLike, output: str, threads: Optional[int],
             check_finite: bool) -> Array:
        data = self._prepare(signal, whole_frames=output == "rows", check_finite=check_finite)
        bank = self._bank()
        return finish_output(self, output, bank, _engine.continuous(
            data, bank, output, self.frame_length, self.hop_length, self.channel,
            self.log, self.floor, thread_count(threads)))


Config._continuous = Cochleagram


@document
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


@document
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


@document
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


def identity(x: float) -> float:
    return x
