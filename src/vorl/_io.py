"""Reading audio files: the one road from a file to blocks of samples.

Every reader of a file in Vorl (`load`, `from_file`, `file_blocks`, the command
and the corpus) goes through `AudioFile`, so that they all see the same samples:

- the file is read in requests of `_READ_FRAMES` frames, whatever block size the
  caller wants, because some decoders (libsndfile's MP3) round differently for
  different request sizes;
- the number of frames comes from decoding where the header cannot be trusted
  (MP3), and every read is checked against it: a file that ends early (damaged,
  or cut while it was read) raises ValueError instead of giving rows made of
  samples that are not in it;
- resampling, when asked for, runs soxr's streaming resampler at quality "VHQ",
  whose output does not depend on how its input is cut into chunks.
"""
from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, "os.PathLike[str]"]

_READ_FRAMES = 1 << 16  # frames asked of libsndfile per read, on every road
_RESAMPLE_QUALITY = "VHQ"
# Formats whose header's frame count is an estimate: their frames are counted by decoding.
_COUNT_BY_DECODING = {"MP3", "MPEG"}
# Extensions of the formats soundfile reads, for walking folders; RAW needs its
# parameters given, so it is left out.
_EXTENSION_ALIASES = {"AIFF": ("aif", "aifc"), "OGG": ("oga", "opus"), "AU": ("snd",),
                      "MAT5": ("mat",)}


def _open_checked(name: str) -> None:
    """Raises the operating system's own error (no such file, permission, a
    symbolic-link loop, a folder) with the file's name, before libsndfile turns
    it into a vaguer one."""
    if not os.path.exists(name) and not os.path.islink(name):
        raise FileNotFoundError(f"No such audio file: {name!r}")
    try:
        with open(name, "rb"):
            pass
    except OSError as error:
        raise type(error)(error.errno, f"Cannot open audio file {name!r}: "
                          f"{error.strerror}") from None


class AudioFile:
    """An audio file opened for reading in blocks.

    Attributes
    ----------
    name : str
        The path, as given.
    sample_rate : int
        The file's own samples per second.
    channels : int
    frames : int
        Samples per channel, counted by decoding where the header only estimates it.
    """

    def __init__(self, path: PathLike) -> None:
        self.name = os.fspath(path)
        _open_checked(self.name)
        import soundfile

        try:
            with soundfile.SoundFile(self.name) as audio:
                self.sample_rate = int(audio.samplerate)
                self.channels = int(audio.channels)
                self.format = str(audio.format)
                self.frames = (self._decoded_frames(audio) if self.format in _COUNT_BY_DECODING
                               else int(audio.frames))
        except (RuntimeError, TypeError, ValueError) as error:  # libsndfile's are RuntimeErrors
            raise ValueError(f"Cannot read audio file {self.name!r}: {error}") from error

    def _decoded_frames(self, audio: Any) -> int:
        frames = 0
        for block in self._reads(audio):
            frames += len(block)
        return frames

    def _reads(self, audio: Any) -> Iterator[npt.NDArray[np.float64]]:
        """(frames, channels) blocks of `_READ_FRAMES` frames (the last shorter), each
        a fresh array; read past the header's count, to the decoder's own end."""
        while True:
            out = np.empty((_READ_FRAMES, self.channels), dtype=np.float64)
            block = audio.read(_READ_FRAMES, dtype="float64", always_2d=True, out=out)
            if len(block) == 0:
                return
            yield block

    def frames_at(self, sample_rate: Optional[int]) -> int:
        """Samples per channel after resampling to `sample_rate` (None: the file's own):
        soxr gives round-half-up of frames * sample_rate / the file's rate."""
        if sample_rate is None or sample_rate == self.sample_rate:
            return self.frames
        return (2 * self.frames * sample_rate + self.sample_rate) // (2 * self.sample_rate)

    def blocks(self, block_frames: int = _READ_FRAMES, sample_rate: Optional[int] = None
               ) -> Iterator[npt.NDArray[np.float64]]:
        """The samples as (channels, n) float64 blocks of `block_frames` frames (the last
        shorter), resampled to `sample_rate` unless it is None or the file's own.

        Raises ValueError naming the file if it cannot be decoded to its end or
        ends before its counted frames (cut while being read).
        """
        expected = self.frames_at(sample_rate)
        pieces = self._samples(sample_rate)
        held: List[npt.NDArray[np.float64]] = []
        count = given = 0
        for piece in pieces:
            held.append(piece)
            count += len(piece)
            while count >= block_frames:
                joined = np.concatenate(held) if len(held) > 1 else held[0]
                yield joined[:block_frames].T
                given += block_frames
                held, count = [joined[block_frames:]], count - block_frames
        if count:
            yield (np.concatenate(held) if len(held) > 1 else held[0]).T
            given += count
        if given != expected:
            raise ValueError(f"audio file {self.name!r} gave {given} samples where "
                             f"{expected} were counted when it was opened: it changed "
                             "while it was read")

    def _samples(self, sample_rate: Optional[int]) -> Iterator[npt.NDArray[np.float64]]:
        """(frames, channels) pieces of the samples, resampled if asked for."""
        import soundfile

        stream = None
        if sample_rate is not None and sample_rate != self.sample_rate:
            stream = _soxr().ResampleStream(self.sample_rate, sample_rate, self.channels,
                                            dtype="float64", quality=_RESAMPLE_QUALITY)
        read = 0
        try:
            with soundfile.SoundFile(self.name) as audio:
                if int(audio.samplerate) != self.sample_rate or int(audio.channels) != self.channels:
                    raise ValueError(f"audio file {self.name!r} changed since it was opened")
                for block in self._reads(audio):
                    read += len(block)
                    if read > self.frames:
                        raise ValueError(f"audio file {self.name!r} holds more than the "
                                         f"{self.frames} samples counted when it was opened: "
                                         "it changed while it was read")
                    yield block if stream is None else stream.resample_chunk(block, last=False)
        except (RuntimeError, TypeError, OSError) as error:  # libsndfile's are RuntimeErrors
            raise ValueError(f"Cannot read audio file {self.name!r} after {read} of "
                             f"{self.frames} samples: {error}") from error
        if read != self.frames:
            raise ValueError(f"audio file {self.name!r} ended after {read} of the {self.frames} "
                             "samples counted when it was opened: it is damaged, or it was "
                             "cut while it was read")
        if stream is not None:
            yield stream.resample_chunk(np.zeros((0, self.channels)), last=True)


def sample_rate_of(path: PathLike) -> int:
    """A file's own sample rate, from its header (no decoding)."""
    import soundfile

    name = os.fspath(path)
    _open_checked(name)
    try:
        return int(soundfile.info(name).samplerate)
    except (RuntimeError, TypeError, ValueError) as error:
        raise ValueError(f"Cannot read audio file {name!r}: {error}") from error


def resampler(file_rate: int, sample_rate: Optional[int]) -> Optional[Dict[str, Any]]:
    """What resamples a file at `file_rate` to `sample_rate`, as stored in metadata
    (name, version, quality); None where nothing does."""
    if sample_rate is None or sample_rate == file_rate:
        return None
    return {"name": "soxr", "version": _soxr().__version__, "quality": _RESAMPLE_QUALITY}


def _soxr() -> Any:
    try:
        import soxr
    except ImportError:
        raise ImportError("resampling needs python-soxr: pip install soxr") from None
    return soxr


def audio_extensions() -> Tuple[str, ...]:
    """Lower-case extensions (no dot) of the formats soundfile reads, sorted."""
    import soundfile

    names = set()
    for fmt in soundfile.available_formats():
        if fmt == "RAW":
            continue
        names.add(fmt.lower())
        names.update(_EXTENSION_ALIASES.get(fmt, ()))
    return tuple(sorted(names))


def expand(paths: List[PathLike]) -> List[str]:
    """The paths with every folder replaced by the audio files below it (recursively,
    sorted, by the extensions soundfile reads); files are kept as given."""
    extensions = {"." + e for e in audio_extensions()}
    found: List[str] = []
    for path in paths:
        name = os.fspath(path)
        if not os.path.isdir(name):
            found.append(name)
            continue
        inside = []
        for folder, subfolders, files in os.walk(name):
            subfolders.sort()
            inside += [os.path.join(folder, f) for f in files
                       if os.path.splitext(f)[1].lower() in extensions]
        found += sorted(inside)
    return found


def load(path: PathLike, sample_rate: Optional[int] = None
         ) -> Tuple[npt.NDArray[np.float64], int]:
    """Read an audio file (WAV, FLAC, OGG, MP3 and what else libsndfile reads).

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    sample_rate : int, optional
        Resample to this many samples per second (soxr, quality "VHQ"); None
        (the default) keeps the file's own rate.

    Returns
    -------
    samples : ndarray
        float64, shape (channels, samples), in column-major order as the
        filterbank reads it.
    sample_rate : int
        Samples per second of `samples`.

    Raises
    ------
    FileNotFoundError
        If there is no such file.
    OSError
        If the file cannot be opened (permissions, a symbolic-link loop, a folder).
    ValueError
        If libsndfile cannot read it to its end.
    """
    audio = AudioFile(path)
    rate = audio.sample_rate if sample_rate is None else _rate(sample_rate)
    data = np.empty((audio.frames_at(rate), audio.channels), dtype=np.float64)
    at = 0
    for block in audio.blocks(sample_rate=rate):
        data[at:at + block.shape[1]] = block.T
        at += block.shape[1]
    return data.T, rate


def _rate(sample_rate: object) -> int:
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, (int, np.integer)):
        raise TypeError(f"sample_rate must be an integer, not {type(sample_rate).__name__}")
    if not 0 < sample_rate < 2**31:
        raise ValueError(f"sample_rate must be between 1 and {2**31 - 1} samples per second, "
                         f"got {sample_rate}")
    return int(sample_rate)
