"""Reading audio files: the one road from a file to blocks of samples.

Every reader of a file in Vorl (`load`, `from_file`, `file_blocks`, the command
and the corpus) goes through `AudioFile`, so that they all see the same samples:

- the file is read in requests of `_READ_FRAMES` frames, whatever block size the
  caller wants, because some decoders (libsndfile's MP3) round differently for
  different request sizes (samples stored one by one, as PCM, are asked for no
  further than one past their count);
- the number of frames comes from decoding where the header cannot be trusted
  (MP3), and every read is checked against it: a file that ends early (damaged,
  or cut while it was read) raises ValueError instead of giving rows made of
  samples that are not in it; so does a WAV, AIFF or AU file shorter than
  the frames its own header counts, which libsndfile would read as a shorter file;
- resampling, when asked for, runs soxr's streaming resampler at quality "VHQ",
  whose output does not depend on how its input is cut into chunks.
"""
from __future__ import annotations

import os
import struct
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, "os.PathLike[str]"]

_READ_FRAMES = 1 << 16  # frames asked of libsndfile per read, on every road
_RESAMPLE_QUALITY = "VHQ"
# Formats whose header's frame count is an estimate: their frames are counted by decoding.
_COUNT_BY_DECODING = {"MP3", "MPEG"}
# Subtypes (besides PCM_*) that libsndfile converts sample by sample, whatever it is asked for.
_SAMPLE_BY_SAMPLE = {"FLOAT", "DOUBLE", "ULAW", "ALAW"}
# Extensions of the formats soundfile reads, for walking folders; RAW needs its
# parameters given, so it is left out.
_EXTENSION_ALIASES = {"AIFF": ("aif", "aifc"), "OGG": ("oga", "opus"), "AU": ("snd",),
                      "MAT5": ("mat",)}


# Uncompressed WAV sample formats (PCM, IEEE float, A-law, mu-law), whose data
# chunk holds block_align bytes per frame; WAVE_FORMAT_EXTENSIBLE names its own.
# Compressed ones count their frames in a "fact" chunk.
_WAV_FRAMED_TAGS = {1, 3, 6, 7}
_WAV_EXTENSIBLE = 0xFFFE
_UNKNOWN_SIZE = 0xFFFFFFFF  # what streaming writers put in a size they do not know yet
# Bytes per sample of the AU encodings libsndfile reads.
_AU_BYTES = {1: 1, 2: 1, 3: 2, 4: 3, 5: 4, 6: 4, 7: 8, 27: 1}


def _chunks(head: Any, order: str, end: int, wide: bool = False
            ) -> Iterator[Tuple[bytes, int, int]]:
    """(id, size of the body, offset of the body) of each chunk from the current
    position: RIFF and IFF chunks (4-byte id and size in byte `order`, bodies
    padded to even), or with `wide` Sony Wave64's (16-byte id, 8-byte size that
    counts the chunk's own 24-byte header, padded to a multiple of 8)."""
    header = 24 if wide else 8
    while head.tell() + header <= end:
        if wide:
            ident, size = struct.unpack("<16sQ", head.read(24))
            size = max(size - 24, 0)
        else:
            ident, size = struct.unpack(order + "4sI", head.read(8))
        body = head.tell()
        yield ident[:4], size, body
        head.seek(body + size + ((-size) % 8 if wide else size & 1))


def _wav_frames(head: Any, end: int, kind: bytes) -> Optional[int]:
    """The frames a WAV, RF64 or Wave64 header counts, from after its 12 (Wave64:
    40) bytes of file header."""
    long_size = block = data = fact = None
    for ident, size, body in _chunks(head, "<", end, wide=kind == b"riff"):
        if ident == b"ds64":  # RF64: the 64-bit sizes, the data's second
            long_size = struct.unpack("<QQ", head.read(16))[1]
        elif ident == b"fact" and size >= 4:
            fact = struct.unpack("<I", head.read(4))[0]
        elif ident == b"fmt ":
            tag, _, _, _, block = struct.unpack("<HHIIH", head.read(14))
            if tag == _WAV_EXTENSIBLE and size >= 26:
                head.seek(body + 24)
                tag = struct.unpack("<H", head.read(2))[0]
            if tag not in _WAV_FRAMED_TAGS:
                block = None
        elif ident == b"data":
            data = long_size if kind == b"RF64" and size == _UNKNOWN_SIZE else size
            if block is None:  # compressed: its fact chunk, if it came first
                return None if fact in (None, 0, _UNKNOWN_SIZE) else fact
            break
    if not block or data is None or data in (0, _UNKNOWN_SIZE):
        return None
    return data // block


def _declared_frames(name: str) -> Optional[int]:
    """The frames a WAV, RF64, Wave64, AIFF or AU header counts (its data's size,
    a COMM or fact chunk's count); None where it does not count them (a size left
    unknown by a streaming writer, another format) or the header is unreadable."""
    try:
        with open(name, "rb") as head:
            end = os.fstat(head.fileno()).st_size
            start = head.read(16)
            kind, form = start[:4], start[8:12]
            if kind == b"FORM" and form in (b"AIFF", b"AIFC"):
                head.seek(12)
                for ident, _size, body in _chunks(head, ">", end):
                    if ident == b"COMM":
                        head.seek(body + 2)
                        return int(struct.unpack(">I", head.read(4))[0])
                return None
            if kind in (b"RIFF", b"RF64") and form == b"WAVE":
                head.seek(12)
                return _wav_frames(head, end, kind)
            if kind == b"riff":  # Wave64: GUIDs, 64-bit sizes
                head.seek(40)
                return _wav_frames(head, end, kind)
            if kind == b".snd":  # AU: data size, encoding and channels, big-endian
                head.seek(8)
                size, encoding, _, channels = struct.unpack(">IIII", head.read(16))
                width = _AU_BYTES.get(encoding)
                if size == _UNKNOWN_SIZE or not width or not channels:
                    return None
                return size // (width * channels)
            return None
    except (OSError, struct.error):  # the header itself is libsndfile's to judge
        return None


def check_openable(name: str) -> None:
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
        check_openable(self.name)
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
        # libsndfile shortens a WAV, AIFF or AU file that ends before its header's count to
        # what is there: such a file is damaged (cut off), not a shorter recording.
        declared = _declared_frames(self.name)
        if declared is not None and declared > self.frames:
            raise ValueError(f"audio file {self.name!r} holds {self.frames} of the {declared} "
                             "samples its header counts: it is damaged, or it was cut off")

    def _decoded_frames(self, audio: Any) -> int:
        frames = 0
        for block in self._reads(audio):
            frames += len(block)
        return frames

    def _reads(self, audio: Any, counted: Optional[int] = None
               ) -> Iterator[npt.NDArray[np.float64]]:
        """(frames, channels) blocks of `_READ_FRAMES` frames (the last shorter), each
        a fresh array; read past the header's count, to the decoder's own end.

        Given the frames `counted` when the file was opened, a file of samples
        stored one by one (PCM, floats, A-law, mu-law: no decoder to round by
        request) is asked for at most one frame more than remain of them.
        libsndfile fills the rest of a request with zeros: 0.3 ms per read of a
        file of 0.1 s where each fresh request is mapped afresh (in Dask's
        workers, which trim their memory). A file that grew still gives its
        extra frame."""
        exact = audio.subtype.startswith("PCM_") or audio.subtype in _SAMPLE_BY_SAMPLE
        limit = counted if exact else None
        read = 0
        while True:
            want = _READ_FRAMES if limit is None else min(_READ_FRAMES, max(limit - read, 0) + 1)
            out = np.empty((want, self.channels), dtype=np.float64)
            block = audio.read(want, dtype="float64", always_2d=True, out=out)
            if len(block) == 0:
                return
            read += len(block)
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
                for block in self._reads(audio, self.frames):
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
    check_openable(name)
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


UNSUPPORTED = "unsupported format"
LINK_TO_FOLDER = "link to a folder (not followed)"


def expand(paths: List[PathLike]) -> Tuple[List[str], Dict[str, str]]:
    """The paths with every folder replaced by the audio files below it.

    Folders are walked recursively in sorted order; a file found there is kept
    if its extension is one soundfile reads. Paths given as files are kept as
    given, whatever they are (a missing one fails later, under its own name).

    Returns
    -------
    files : list of str
    passed_over : dict
        Path -> why it was left out, for each entry met in a folder that is not
        taken: `UNSUPPORTED`, or `LINK_TO_FOLDER` (links to folders are not
        followed, so that a link cannot walk into a loop or out of the tree).
    """
    extensions = {"." + e for e in audio_extensions()}
    found: List[str] = []
    passed_over: Dict[str, str] = {}
    for path in paths:
        name = os.fspath(path)
        if not os.path.isdir(name):
            found.append(name)
            continue
        inside = []
        for folder, subfolders, files in os.walk(name):
            subfolders.sort()
            for sub in subfolders:  # os.walk lists links to folders here, and skips them
                if os.path.islink(os.path.join(folder, sub)):
                    passed_over[os.path.join(folder, sub)] = LINK_TO_FOLDER
            for f in files:
                if os.path.splitext(f)[1].lower() in extensions:
                    inside.append(os.path.join(folder, f))
                else:
                    passed_over[os.path.join(folder, f)] = UNSUPPORTED
        found += sorted(inside)
    return found, dict(sorted(passed_over.items()))


def passed_over_summary(passed_over: Dict[str, str]) -> str:
    """"3 skipped: unsupported format (2), link to a folder (not followed) (1)"; "" if none."""
    if not passed_over:
        return ""
    counts: Dict[str, int] = {}
    for reason in passed_over.values():
        counts[reason] = counts.get(reason, 0) + 1
    return f"{len(passed_over)} skipped: " + ", ".join(f"{r} ({n})" for r, n in counts.items())


def file_state(path: PathLike, content: bool = False) -> Tuple[Any, ...]:
    """What changes when a file is written, replaced or touched: its device, inode,
    size, modification and change times (ns) and, with `content`, the BLAKE2b
    digest of its bytes. Equal states before and after a read mean the read saw
    one version of the file."""
    stat = os.stat(path)
    state: Tuple[Any, ...] = (stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns,
                              stat.st_ctime_ns)
    return state + (digest(path),) if content else state


def read_unchanged(blocks: Iterator[Any], path: PathLike, before: Tuple[Any, ...],
                   content: bool = False) -> Iterator[Any]:
    """The blocks, then ValueError if the file's `file_state` is no longer `before`,
    taken before it was opened: written, replaced or touched meanwhile, its rows
    would mix versions of it."""
    yield from blocks
    try:
        after: Tuple[Any, ...] = file_state(path, content)
    except OSError:
        after = ()
    if after != before:
        raise ValueError("the file changed while it was read; nothing is kept of it")


def digest(path: PathLike) -> str:
    """BLAKE2b of the file's bytes, read 1 MiB at a time."""
    import hashlib

    blake = hashlib.blake2b()
    with open(path, "rb") as file:
        for piece in iter(lambda: file.read(1 << 20), b""):
            blake.update(piece)
    return blake.hexdigest()


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
