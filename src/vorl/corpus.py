"""Corpora: the features of many audio files, on a Dask cluster, into a Zarr store.

One task per file; each reads its file in blocks (bounded memory, any length)
and writes one array of the store, under a key made from the file's path
relative to the folder the store was made for. An array counts as done only
once its completion mark is written, after its data and its metadata, and only
for the configuration, library version and resampler that made it, so a file
whose task was interrupted (or whose worker died) is done again on the next
run. A store holds one configuration per sample rate (`extract` refuses
another), and admits one writing run at a time (a lock file beside the store,
``<store>.vorl-lock``, names the process that holds it).

    >>> from vorl import corpus, Cochleagram
    >>> report = corpus.extract(paths, Cochleagram(16000), "features.zarr", workers=4)
    >>> for key, gram in corpus.open("features.zarr").items(): ...

Needs the optional extra: ``pip install 'vorl[corpus]'`` (Dask distributed and Zarr).
"""
from __future__ import annotations

import contextlib
import itertools
import json
import os
import socket
import time
import uuid
import warnings
from urllib.parse import unquote
from dataclasses import dataclass, field
from pathlib import Path
from typing import (Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple,
                    Union)

import numpy as np

from ._gammatone import Cochleagram, Gammatone, _Config, _rebuild

_COMPLETE = "vorl_complete"
_RUN = "vorl_run"  # the run that wrote an array
_ROOT = "vorl_root"  # a store's attribute: the folder its keys are relative to
# A store's attribute: sample rate -> what its arrays at that rate are made by
# (configuration and library version), so that files added later are checked too.
_STORE_MADE_BY = "vorl_made_by"
# Beside the store's folder, not in it: Zarr 3 warns of anything in a store that is
# not its own, and a reader would see that while a run holds the lock.
_LOCK_SUFFIX = ".vorl-lock"
_CONFIGS = {"Gammatone": Gammatone, "Cochleagram": Cochleagram}
_ROWS_PER_CHUNK = 4096

PathLike = Union[str, "os.PathLike[str]"]


@dataclass
class Report:
    """What `extract` did with each file: its key in the store, or why it failed.

    Parameters
    ----------
    done : dict
        Path -> key of each file computed in this run.
    skipped : dict
        Path -> key of each file whose array was complete and its source unchanged.
    failed : dict
        Path -> the reason, for each file that failed.
    passed_over : dict
        Path -> why it was left out, for each entry of a walked folder that is
        not an audio file taken (an unsupported format, a link to a folder).
    removed : list of str
        Keys of arrays made in another configuration that ``overwrite=True``
        removed from the store and this run did not make again (their files
        were not among this run's).
    """

    done: Dict[str, str] = field(default_factory=dict)  #: path -> key, computed in this run
    skipped: Dict[str, str] = field(default_factory=dict)  #: path -> key, unchanged since
    failed: Dict[str, str] = field(default_factory=dict)  #: path -> reason
    passed_over: Dict[str, str] = field(default_factory=dict)  #: path -> why not taken
    removed: List[str] = field(default_factory=list)  #: keys removed by overwrite

    def __str__(self) -> str:
        from ._io import passed_over_summary

        lines = [f"{len(self.done)} done, {len(self.skipped)} skipped, "
                 f"{len(self.failed)} failed"]
        lines += [f"  {path}: {reason}" for path, reason in self.failed.items()]
        if self.passed_over:
            lines.append("  " + passed_over_summary(self.passed_over))
        if self.removed:
            lines.append(f"  {len(self.removed)} array(s) of another configuration removed")
        return "\n".join(lines)


def _real(path: PathLike) -> str:
    # realpath never raises, where Path.resolve raises on a symbolic-link loop.
    return os.path.realpath(os.fspath(path))


def _name(path: PathLike) -> str:
    """A file's name in keys and reports: its real path, or, where there is no
    file (a dangling or looping link, a missing file), its own absolute path."""
    name = os.fspath(path)
    return _real(name) if os.path.exists(name) else os.path.abspath(name)


def common_folder(paths: Sequence[PathLike]) -> str:
    """The folder that keys are relative to.

    Parameters
    ----------
    paths : sequence of paths
        Audio files.

    Returns
    -------
    str
        The deepest folder holding every file among `paths` that exists (all of
        them if none does), symbolic links resolved.
    """
    real = [_real(p) for p in paths]
    existing = [p for p in real if os.path.isfile(p)] or real
    if not existing:
        return os.getcwd()
    return os.path.commonpath([os.path.dirname(p) for p in existing])


def _keys(paths: Sequence[PathLike], root: str) -> Tuple[Dict[str, str], List[str]]:
    """(real path -> key for the files below `root`, the real paths of the others)."""
    keys: Dict[str, str] = {}
    outside: List[str] = []
    for path in paths:
        real = _name(path)
        relative = os.path.relpath(real, root)
        if relative.startswith(os.pardir + os.sep) or relative in (os.curdir, os.pardir):
            outside.append(real)
        else:
            keys[real] = Path(relative).as_posix()
    return keys, outside


def keys_for(paths: Sequence[PathLike], root: Optional[PathLike] = None) -> Dict[str, str]:
    """The key of each file in the outputs of `extract` and ``vorl features``.

    Parameters
    ----------
    paths : sequence of paths
        Audio files, whatever their sample rates.
    root : path, optional
        The folder keys are relative to; default `common_folder` of `paths`.

    Returns
    -------
    dict
        Each file's real path (symbolic links resolved; a path with no file
        behind it is kept as it is) -> its path relative to `root`, with its
        suffix, "/"-separated ("sub/speech.wav"). Distinct files get distinct
        keys; the same file named twice is one file.

    Raises
    ------
    ValueError
        If a file lies outside `root`.
    """
    folder = common_folder(paths) if root is None else _real(root)
    keys, outside = _keys(paths, folder)
    if outside:
        raise ValueError(f"{outside[0]!r} lies outside {folder!r}, which keys are relative to")
    return keys


def describe(config: _Config) -> Dict[str, Any]:
    """A configuration as JSON-able attributes, from which `configuration` rebuilds it."""
    arguments = {k: (list(v) if isinstance(v, tuple) else v)
                 for k, v in config._arguments().items()}
    arguments["dtype"] = np.dtype(arguments["dtype"]).name
    return {"class": type(config).__name__, "arguments": arguments}


def configuration(described: Mapping[str, Any]) -> _Config:
    """The configuration that `describe` wrote, as it was made."""
    return _rebuild(_CONFIGS[described["class"]], dict(described["arguments"]))


def _source(path: str, content: bool = False) -> Dict[str, Any]:
    from ._io import digest

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


def _made_by(config: _Config, resampler: Optional[Mapping[str, Any]],
             features: Optional[Mapping[str, Any]] = None) -> Dict[str, Any]:
    """What an array's values depend on besides its source; `features` only for
    cepstra, so that stores of rows made before it existed stay alike."""
    from . import __version__

    made = {"configuration": describe(config), "vorl_version": __version__,
            "resampler": None if resampler is None else dict(resampler)}
    if features is not None:
        if features["num_ceps"] > config.num_bands:
            raise ValueError(f"gfcc={features['num_ceps']} coefficients need as many bands; "
                             f"this configuration has {config.num_bands}")
        made["features"] = dict(features)
    return made


def opened(config: _Config, path: PathLike, threads: Optional[int],
           features: Optional[Mapping[str, Any]], resample: bool = False
           ) -> Tuple[int, int, Any]:
    """(frames, values per frame, blocks) of a file's features: the configuration's
    rows, or with `features` (`cepstral`) its GFCC and their deltas, computed from
    the levels as `vorl.gfcc` computes them and streamed in bounded memory."""
    from ._cepstra import gfcc_blocks

    if features is None:
        frames, blocks = config._open_file(path, threads, resample=resample)
        return frames, config.num_bands, blocks
    levels = config.replace(log=False, dtype=np.float64)
    frames, blocks = levels._open_file(path, threads, resample=resample)
    width = features["num_ceps"] * (1 + features["deltas"])
    return frames, width, gfcc_blocks(blocks, features["num_ceps"], features["deltas"],
                                      config.dtype)


def metadata_of(config: _Config, path: PathLike, file_rate: Optional[int] = None,
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
    source = _source(_real(path), content)
    source["sample_rate"] = config.sample_rate if file_rate is None else int(file_rate)
    return {**_shared(config, _made_by(config, resampler, features)), "source": source}


def _shared(config: _Config, made_by: Mapping[str, Any]) -> Dict[str, Any]:
    """The metadata that every array made by `made_by` shares: all but its source."""
    return {"sample_rate": config.sample_rate, "frame_length": config.frame_length,
            "hop_length": config.hop_length,
            "center_frequencies": [float(f) for f in config.center_frequencies],
            **made_by}


def _open_group(store: Any, mode: str) -> Any:
    import zarr

    return zarr.open_group(store, mode=mode)


def _existing_group(store: Any) -> Any:
    """The store's group, read-only; None where there is no store yet."""
    try:
        return _open_group(store, "r")
    except (FileNotFoundError, KeyError, ValueError, LookupError) as error:
        # Zarr 2 says GroupNotFoundError (a KeyError), Zarr 3 FileNotFoundError.
        if isinstance(store, (str, os.PathLike)) and os.path.isdir(os.fspath(store)) \
                and os.listdir(os.fspath(store)):
            raise ValueError(f"{os.fspath(store)!r} is not a Zarr store: {error}") from None
        return None


# Names an array's path must not take: the store's own files. Zarr 2 keeps its
# metadata in names beginning with ".", Zarr 3 in "zarr.json" and reserves
# names beginning with "__".
_RESERVED_NAMES = ("zarr.json",)
_RESERVED_PREFIXES = (".", "__")


def store_path(key: str) -> str:
    """Where the array of a key lies in a store.

    Parameters
    ----------
    key : str
        A key of `keys_for`: a "/"-separated path.

    Returns
    -------
    str
        The key with "%" and "\\" percent-encoded in each part (Zarr takes a
        backslash for a folder separator), and the first character of a part
        that would be one of the store's own names ("zarr.json", ".zattrs",
        "__...") encoded too: distinct keys get distinct paths, none of them
        the store's own. `key_of` inverts it.
    """
    parts = []
    for part in key.split("/"):
        part = part.replace("%", "%25").replace("\\", "%5C")
        if part in _RESERVED_NAMES or part.startswith(_RESERVED_PREFIXES):
            part = f"%{ord(part[0]):02X}{part[1:]}"
        parts.append(part)
    return "/".join(parts)


def key_of(path: str) -> str:
    """The key whose array lies at a path in a store.

    Parameters
    ----------
    path : str
        A path that `store_path` gave.

    Returns
    -------
    str
        The key: ``key_of(store_path(key)) == key``.
    """
    return unquote(path)


def _dimensions(ndim: int, cepstra: bool = False) -> Tuple[str, ...]:
    """Names of an array's axes: (channel,) frame, band (or cepstrum)."""
    return ("channel", "frame", "cepstrum" if cepstra else "band")[3 - ndim:]


def _create(group: Any, path: str, shape: Tuple[int, ...], dtype: Any,
            cepstra: bool = False, attributes: Optional[Mapping[str, Any]] = None) -> Any:
    # Uncompressed: feature values have little to compress, and compressing them
    # would cost about as much as computing them. Every chunk is stored, even one
    # of zeros, so that a complete array has all its chunks (see `_holds_run`).
    # Axes are named as Zarr 3 names them, and as xarray reads them from Zarr 2.
    chunks = shape[:-2] + (min(_ROWS_PER_CHUNK, max(shape[-2], 1)), shape[-1])
    names = _dimensions(len(shape), cepstra)
    if hasattr(group, "create_array"):  # Zarr 3
        return group.create_array(path, shape=shape, chunks=chunks, dtype=dtype, overwrite=True,
                                  compressors=None, config={"write_empty_chunks": True},
                                  dimension_names=names, attributes=dict(attributes or {}))
    array = group.create_dataset(path, shape=shape, chunks=chunks, dtype=dtype, overwrite=True,
                                 compressor=None, write_empty_chunks=True)
    array.attrs.update({**(attributes or {}), "_ARRAY_DIMENSIONS": list(names)})
    return array


def _attributes(group: Any, key: str) -> Dict[str, Any]:
    """The attributes of the array of `key`; empty if there is none."""
    try:
        return dict(group[store_path(key)].attrs)
    except KeyError:
        return {}


def _made_alike(attrs: Mapping[str, Any], made_by: Mapping[str, Any]) -> bool:
    # Rows carry no "features" entry: GFCC arrays are never alike to rows.
    return (all(attrs.get(name) == value for name, value in made_by.items())
            and ("features" in attrs) == ("features" in made_by))


def _unchanged(attrs: Mapping[str, Any], path: str, content: bool) -> bool:
    """Whether the stored source is the file at `path` as it is now: the same size
    and modification time, or (`content`) the same size and bytes. The array's key
    is the file's path relative to the store's folder, so the same key is the same
    file (or, in a corpus moved with ``root=``, the same file moved)."""
    from ._io import digest

    stored = attrs.get("source") or {}
    stat = os.stat(path)
    if stored.get("size") != stat.st_size:
        return False
    if content:
        return stored.get("blake2b") == digest(path)
    return stored.get("mtime_ns") == stat.st_mtime_ns


class StoreLocked(RuntimeError):
    """Another run is writing to the store (`extract` admits one at a time)."""


def _lock_file(store: Any) -> Optional[str]:
    """The lock's path for a store in a local folder, beside it; None for other
    stores (in memory, or behind a URL), which `extract` does not lock."""
    name: Any = None
    if isinstance(store, (str, os.PathLike)):
        name = os.fspath(store)
        if name.startswith("file://"):
            name = name[len("file://"):]
        if "://" in name:
            return None
    else:
        name = getattr(store, "root", None) or getattr(store, "path", None)  # Zarr 3, Zarr 2
        if not isinstance(name, (str, os.PathLike)):
            return None
    return os.path.normpath(os.path.abspath(os.fspath(name))) + _LOCK_SUFFIX


def _holder(text: str) -> str:
    try:
        who = json.loads(text)
        return f"process {who['pid']} on {who['host']} (started {who['started']})"
    except (ValueError, KeyError, TypeError):
        return "an unknown process"


@contextlib.contextmanager
def _store_lock(store: Any, run: str) -> Iterator[None]:
    """Holds the store's lock for the block: an advisory lock (flock) on a file
    beside the store, which the system releases when its holder dies, holding
    the holder's host, process and start. A lock file left with a holder in it
    was left by a run that died: it is taken over, with a warning naming it."""
    import fcntl

    path = _lock_file(store)
    if path is None:
        yield
        return
    folder = path[:-len(_LOCK_SUFFIX)]
    # The store's parent folders are made as Zarr would make them, and go again
    # if the run put nothing in them.
    made: List[str] = []
    parent = os.path.dirname(path)
    while parent and not os.path.exists(parent):
        made.append(parent)
        parent = os.path.dirname(parent)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            text = os.pread(fd, 4096, 0).decode(errors="replace")
            os.close(fd)
            raise StoreLocked(f"the store {folder!r} is being written by {_holder(text)}; "
                              "one run writes to a store at a time: wait for it to finish, "
                              "or write to another store") from None
        # The holder before may have removed the file between our open and lock.
        if os.path.exists(path) and os.stat(path).st_ino == os.fstat(fd).st_ino:
            break
        os.close(fd)
    try:
        left = os.pread(fd, 4096, 0).decode(errors="replace")
        if left.strip():
            warnings.warn(f"the store {folder!r} was left locked by {_holder(left)}, which "
                          "ended without releasing it; its lock is taken over", UserWarning,
                          stacklevel=4)
        me = {"host": socket.gethostname(), "pid": os.getpid(), "run": run,
              "started": time.strftime("%Y-%m-%dT%H:%M:%S%z")}
        os.ftruncate(fd, 0)
        os.pwrite(fd, json.dumps(me).encode(), 0)
        os.fsync(fd)
        yield
    finally:
        os.unlink(path)  # while holding it: a run that opened this file tries again
        os.close(fd)
        for empty in made:  # deepest first
            with contextlib.suppress(OSError):
                os.rmdir(empty)


@dataclass(frozen=True)
class _Task:
    """One file's work, as sent to a worker: plain values only."""

    path: str
    key: str
    made_by: Dict[str, Any]  # the configuration (`describe`), library version, resampler
    file_rate: int
    run: str  # this run's identity, written with the array
    content: bool = False  # compare the file's bytes before and after reading it


def _holds_run(store: Any, key: str, run: str) -> bool:
    """Whether the array of `key`, read afresh from the store, is still the one
    this run made (no other run re-created it) and holds every chunk."""
    import zarr

    try:
        array = zarr.open_array(store, path=store_path(key), mode="r")
    except (KeyError, FileNotFoundError, ValueError, LookupError):
        return False
    return bool(array.attrs.get(_RUN) == run and array.nchunks_initialized == array.nchunks)


class _Writer:
    """What the files of one Dask task share: the store's group, opened once, and
    each analysis (configuration, resampler, features) with the part of its
    metadata that does not depend on the file, made once."""

    def __init__(self, store: Any) -> None:
        self.store = store
        self.group = _open_group(store, "a")
        self.analyses: Dict[str, Tuple[_Config, Dict[str, Any]]] = {}

    def analysis(self, made_by: Mapping[str, Any]) -> Tuple[_Config, Dict[str, Any]]:
        """The configuration of `made_by` and the metadata all its arrays share."""
        name = json.dumps(made_by, sort_keys=True)
        if name not in self.analyses:
            config = configuration(made_by["configuration"])
            self.analyses[name] = (config, _shared(config, made_by))
        return self.analyses[name]

    def write(self, task: _Task, threads: Optional[int] = 1) -> str:
        """See `extract_one`."""
        from ._io import file_state, read_unchanged

        path = store_path(task.key)
        attrs = _attributes(self.group, task.key)
        if attrs.get(_COMPLETE) and attrs.get(_RUN) == task.run:
            return task.key
        config, shared = self.analysis(task.made_by)
        features = task.made_by.get("features")
        before = file_state(task.path, task.content)
        # Every array stores its source's digest; a content check has just taken it.
        source = _source(_real(task.path), content=not task.content)
        source["sample_rate"] = int(task.file_rate)
        if task.content:
            source["blake2b"] = before[-1]
        # The file's checks (readable, rate, length) come before anything is written.
        frames, _, blocks = opened(config, task.path, threads, features,
                                   task.made_by["resampler"] is not None)
        blocks = read_unchanged(blocks, task.path, before, task.content)
        first = next(blocks)
        shape = first.shape[:-2] + (frames, first.shape[-1])
        # Whose chunks these are, with the array; the metadata comes with the
        # completion mark, in one write, once the data are in.
        array = _create(self.group, path, shape, first.dtype, features is not None,
                        {_RUN: task.run})
        # Rows are gathered into whole chunks, so that each chunk is written once.
        chunk = array.chunks[-2]
        pending: List[np.ndarray] = []
        held = at = 0
        for rows in itertools.chain([first], blocks):
            pending.append(rows)
            held += rows.shape[-2]
            if held >= chunk:
                gathered = np.concatenate(pending, axis=-2)
                whole = held // chunk * chunk
                array[..., at:at + whole, :] = gathered[..., :whole, :]
                at += whole
                pending, held = [gathered[..., whole:, :]], held - whole
        if held:
            array[..., at:at + held, :] = np.concatenate(pending, axis=-2)
        if not _holds_run(self.store, task.key, task.run):
            raise RuntimeError(f"the array {task.key!r} was re-created or lost chunks while "
                               "this run wrote it (another run writing to the same store?); "
                               "it is not marked complete")
        # Last: the array counts only from here.
        array.attrs.update({**shared, "source": source, _RUN: task.run, _COMPLETE: True})
        return task.key


def extract_one(task: _Task, store: Any, threads: Optional[int] = 1) -> str:
    """Computes one file into the store under its key (a task of `extract`).

    An array that this run has already completed (Dask recomputes the tasks of
    a worker that died after finishing them) is left as it is. The file's state
    (size, times, inode and, with ``task.content``, its bytes' digest) is taken
    before it is read and checked after: a file that changed meanwhile raises
    ValueError and its array is not marked complete.
    """
    return _Writer(store).write(task, threads)


def _tasks(batch: Sequence[_Task], store: Any) -> List[Optional[str]]:
    """The files of one Dask task, each None when done, else why it failed. A
    failure is a value, not an exception, so that it is reported once, in the
    run's report, and not also logged by the worker with its traceback; one
    file's failure is that file's only."""
    writer = _Writer(store)
    failures: List[Optional[str]] = []
    for task in batch:
        try:
            writer.write(task)
            failures.append(None)
        except Exception as error:
            failures.append(_reason(task.path, error))
    return failures


# Files are grouped into Dask tasks of at least this many bytes of audio (a
# minute of 16 kHz speech), so that short files do not each pay a task's and a
# store's overhead, and of at most a quarter of each worker's share of the files.
_BATCH_BYTES = 2 << 20


def _batches(todo: Sequence[_Task], parallel: int) -> List[List[_Task]]:
    """The tasks in groups, in order: a long file alone, short ones together."""
    most = max(1, -(-len(todo) // (4 * max(parallel, 1))))
    batches: List[List[_Task]] = []
    size = 0
    for task in todo:
        try:
            length = os.path.getsize(task.path)
        except OSError:
            length = _BATCH_BYTES  # its own task, which says what is wrong
        if (not batches or size >= _BATCH_BYTES or length >= _BATCH_BYTES
                or len(batches[-1]) >= most):
            batches.append([])
            size = 0
        batches[-1].append(task)
        size += length
    return batches


ConfigLike = Union[_Config, Callable[[int], _Config]]


def extract(paths: Union[PathLike, Sequence[PathLike]], config: ConfigLike, store: Any, *,
            client: Any = None, workers: Optional[int] = None,
            resume: Union[bool, str] = True, overwrite: bool = False,
            resample: bool = False, root: Optional[PathLike] = None,
            gfcc: Optional[int] = None, deltas: int = 0) -> Report:
    """The features of every file into a Zarr store, one Dask task per file.

    Parameters
    ----------
    paths : path or sequence of paths
        Audio files and folders (walked for audio files, recursively; links
        to folders are not followed, and what is left out is listed in the
        report); the same name in different folders is kept apart. A single
        str or path is one path. Keys are relative to the folder the store
        was first made for (`common_folder` of that run's files, remembered in
        the store), so later runs with fewer or more files keep every key; a
        file outside that folder fails, with the reason.
    config : Gammatone, Cochleagram, or a function of a sample rate returning one
        The analysis. A function is called once per sample rate among the
        files, and each file is analysed at its own rate.
    store : str, path or Zarr store
        A folder, or any store URL Zarr takes. A store in a folder is locked
        while the run writes to it: a second run on it raises `StoreLocked`
        naming the holder.
    client : dask.distributed.Client, optional
        Where the tasks run; by default a LocalCluster of `workers` processes
        is started for this call (on a cluster: ``Client("tcp://scheduler:8786")``).
    workers : int, optional
        Processes of the local cluster, a positive integer; default the cores
        of this machine.
    resume : bool or "content"
        True: skip files whose array is complete and whose source's size and
        modification time are unchanged. "content": compare the BLAKE2b
        digest of the file's bytes instead, for files copied with their times
        kept (``cp -p``, ``rsync -t``), which the default takes as unchanged.
        False: compute every file again. Either way a file that changes while
        it is read fails, and is computed again by the next run.
    overwrite : bool
        Redo the whole store in this run's configuration: arrays made with
        another configuration, library version or resampler are removed (and
        made again for this run's files). Without it a store made otherwise,
        at any of this run's sample rates, is refused (ValueError, before any
        work, naming what differs) rather than mixed.
    resample : bool
        With a configuration (not a function), resample files at another rate
        to its rate (soxr, quality "VHQ"); without it such files fail, with
        the reason.
    root : path, optional
        The folder the store's keys are relative to now, for a corpus that
        was moved: its files keep their keys (and, where unchanged, their
        arrays), and the store remembers the new folder. Default: the folder
        the store remembers, or for a new store `common_folder` of the files.
    gfcc : int, optional
        Store this many gammatone cepstral coefficients per frame instead of
        rows (as `vorl.gfcc` computes them: cube root, no lifter).
    deltas : {0, 1, 2}
        With `gfcc`: each frame's coefficients followed by their deltas up to
        this order (`vorl.delta`, 9 frames), along the last axis.

    Returns
    -------
    Report
        What was done, skipped, or failed (with the reason) for each file, and
        what was passed over in folders. A file that fails does not stop the
        others. Every file reported done is complete in the store when this
        returns.

    Raises
    ------
    ValueError
        For a bad argument, or a store made otherwise (see `overwrite`).
    StoreLocked
        If another run is writing to the store.
    """
    from ._io import expand

    if resume not in (True, False, "content"):
        raise ValueError(f"resume must be True, False or 'content', not {resume!r}")
    if workers is not None:
        workers = _positive("workers", workers)
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    if gfcc is None and deltas:
        raise ValueError("deltas go with gfcc: the deltas of cepstral coefficients")
    features = None if gfcc is None else cepstral(gfcc, deltas)
    files, passed_over = expand(list(paths))
    run = uuid.uuid4().hex
    with _store_lock(store, run):
        report = _extract(files, config, store, client, workers, resume, overwrite, resample,
                          run, None if root is None else _real(root), features)
    report.passed_over = passed_over
    return report


def _extract(files: List[str], config: ConfigLike, store: Any, client: Any,
             workers: Optional[int], resume: Union[bool, str], overwrite: bool,
             resample: bool, run: str, root: Optional[str],
             features: Optional[Mapping[str, Any]] = None) -> Report:
    """`extract` once the store is locked."""
    from ._io import check_openable, resampler, sample_rate_of

    existing = _existing_group(store)
    if root is None:
        root = None if existing is None else existing.attrs.get(_ROOT)
    if root is None:
        root = common_folder(files)
    keys, outside = _keys(files, root)
    report = Report()
    for path in outside:
        report.failed[path] = (f"lies outside {root}, the folder this store's keys are "
                               "relative to; write it to another store"
                               if os.path.exists(path) else f"No such audio file: {path!r}")
    configs: Dict[int, _Config] = {}
    made_bys: Dict[Tuple[int, int], Dict[str, Any]] = {}  # (analysis rate, file rate)
    # One configuration and no resampling: the worker checks each file's rate as
    # it opens it, so here a file is only checked to open (no header is parsed).
    one = isinstance(config, _Config) and not resample
    todo: List[_Task] = []
    for path, key in keys.items():
        try:
            if one:
                check_openable(path)
                rate = config.sample_rate  # type: ignore[union-attr]
            else:
                rate = sample_rate_of(path)
            if callable(config) and not isinstance(config, _Config):
                if rate not in configs:
                    configs[rate] = config(rate)
                chosen = configs[rate]
            else:
                chosen = configs.setdefault(config.sample_rate, config)
            which = (chosen.sample_rate, rate)
            if which not in made_bys:
                made_bys[which] = _made_by(
                    chosen, resampler(rate, chosen.sample_rate) if resample else None, features)
        except (OSError, RuntimeError, ValueError) as error:  # one file's problem is its own
            report.failed[path] = _reason(path, error)
            continue
        todo.append(_Task(path, key, made_bys[which], rate, run, content=resume == "content"))
    if not todo:
        return report
    made = {str(rate): _store_entry(_made_by(c, None, features)) for rate, c in configs.items()}
    recorded = {} if existing is None else _recorded(existing)
    differing = [(rate, recorded[rate], entry) for rate, entry in made.items()
                 if rate in recorded and recorded[rate] != entry]
    # Each array's attributes, read once: for what was made otherwise, and for resuming.
    attrs_of = {} if existing is None else {t.key: _attributes(existing, t.key) for t in todo}
    stale = [t for t in todo if attrs_of.get(t.key, {}).get(_COMPLETE)
             and not _made_alike(attrs_of[t.key], t.made_by)]
    if (differing or stale) and not overwrite:
        raise ValueError(f"the store {store!r} was made otherwise than this run would make "
                         f"it: {_difference(differing, stale, existing)}. Write to another "
                         "store, or pass overwrite=True (vorl features --overwrite) to redo "
                         "the whole store in this run's configuration")
    group = _open_group(store, "a")
    if differing or stale:  # with overwrite: the whole store in this run's configuration
        report.removed = _remove_made_otherwise(group, made, {t.key for t in todo})
        recorded = {}
        attrs_of = {t.key: _attributes(group, t.key) for t in todo}
    if resume:
        remaining = []
        for task in todo:
            attrs = attrs_of.get(task.key, {})
            if (attrs.get(_COMPLETE) and _made_alike(attrs, task.made_by)
                    and _unchanged(attrs, task.path, content=resume == "content")):
                report.skipped[task.path] = task.key
            else:
                remaining.append(task)
        todo = remaining
    if group.attrs.get(_ROOT) != root:
        group.attrs[_ROOT] = root
    group.attrs[_STORE_MADE_BY] = {**recorded, **made}
    if not todo:
        return report
    for task in todo:
        parent = store_path(task.key).rpartition("/")[0]
        if parent:
            group.require_group(parent)  # made here, not by two tasks at once
    with _client(client, workers) as running:
        from dask.distributed import as_completed

        parallel = len(running.scheduler_info().get("workers", {})) or workers or 1
        futures = {running.submit(_tasks, batch, store, pure=False): batch
                   for batch in _batches(todo, parallel)}
        for future in as_completed(futures):
            batch = futures[future]
            try:
                failures = future.result()
            except Exception as error:  # the task itself was lost (its worker died twice)
                failures = [_reason(task.path, error) for task in batch]
            for task, failure in zip(batch, failures):
                if failure is None:
                    report.done[task.path] = task.key
                else:
                    report.failed[task.path] = failure
    # Nothing reported done that is not complete in the store as this run made it.
    group = _open_group(store, "r")
    for task in todo:
        if task.path in report.done:
            attrs = _attributes(group, task.key)
            if not (attrs.get(_COMPLETE) and attrs.get(_RUN) == run
                    and _made_alike(attrs, task.made_by)):
                del report.done[task.path]
                report.failed[task.path] = "its array is not complete in the store"
    return report


def _store_entry(made_by: Mapping[str, Any]) -> Dict[str, Any]:
    """What a store records of a sample rate's arrays: what made them, but the
    resampler, which differs between files of different rates."""
    return {name: value for name, value in made_by.items() if name != "resampler"}


def _arrays(group: Any, prefix: str = "") -> Iterator[Tuple[str, Any]]:
    """(path, array) of every array in the store, complete or not."""
    for name, array in group.arrays():
        yield prefix + name, array
    for name, sub in group.groups():
        yield from _arrays(sub, f"{prefix}{name}/")


def _recorded(group: Any) -> Dict[str, Dict[str, Any]]:
    """Sample rate -> what made the store's arrays at that rate: as the store
    records it, or, in a store made before it did, as its complete arrays say."""
    recorded = group.attrs.get(_STORE_MADE_BY)
    if recorded is not None:
        return dict(recorded)
    found: Dict[str, Dict[str, Any]] = {}
    for _path, array in _arrays(group):
        attrs = array.attrs
        if attrs.get(_COMPLETE) and attrs.get("configuration"):
            rate = str(attrs["configuration"]["arguments"]["sample_rate"])
            found.setdefault(rate, _store_entry({n: attrs[n] for n in
                                                 ("configuration", "vorl_version", "features")
                                                 if n in attrs}))
    return found


def _remove_made_otherwise(group: Any, made: Mapping[str, Any], keys: set) -> List[str]:
    """Removes every array not made as this run makes arrays at its rate; returns
    the keys of those this run does not make again."""
    removed = []
    for path, array in list(_arrays(group)):
        attrs = dict(array.attrs)
        rate = str(((attrs.get("configuration") or {}).get("arguments") or {})
                   .get("sample_rate"))
        entry = made.get(rate)
        if entry is not None and entry == _store_entry(
                {n: attrs[n] for n in ("configuration", "vorl_version", "features")
                 if n in attrs}):
            continue
        del group[path]
        if key_of(path) not in keys:
            removed.append(key_of(path))
    return sorted(removed)


def _positive(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
    return int(value)


def _reason(path: str, error: BaseException) -> str:
    text = str(error)
    return text if path in text or os.path.basename(path) in text else \
        f"{type(error).__name__}: {text}"


def _fields(stored: Mapping[str, Any], this: Mapping[str, Any]) -> List[str]:
    """"name: A in the store, B in this run" for each field of what made an array
    (class, each argument, library version, resampler) that differs."""
    def flat(made: Mapping[str, Any]) -> Dict[str, Any]:
        described = made.get("configuration") or {}
        values = {"class": described.get("class"), **(described.get("arguments") or {})}
        values.update({name: made.get(name) for name in ("vorl_version", "resampler")
                       if name in made})
        values["features"] = made.get("features") or "rows"
        return values

    old, new = flat(stored), flat(this)
    return [f"{name} {old.get(name)!r} in the store, {new.get(name)!r} in this run"
            for name in sorted(set(old) | set(new)) if old.get(name) != new.get(name)]


def _difference(differing: List[Tuple[str, Any, Any]], stale: List[_Task], group: Any) -> str:
    """What differs between the store and this run, field by field."""
    if differing:
        rate, stored, this = differing[0]
        return f"at {rate} Hz, " + "; ".join(_fields(stored, this))
    task = stale[0]
    return f"{task.key!r}: " + "; ".join(_fields(_attributes(group, task.key), task.made_by))


@contextlib.contextmanager
def _client(client: Any, workers: Optional[int]) -> Iterator[Any]:
    """The caller's client, or one of a LocalCluster that lives for the block."""
    if client is not None:
        yield client
        return
    import dask
    from dask.distributed import Client, LocalCluster

    # Workers sample their own stacks for Dask's profiler by default; here that
    # costs several per cent of the work and shows nobody anything.
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1,
                               threads_per_worker=1, processes=True, dashboard_address=":0")
    try:
        with Client(cluster) as own:
            yield own
    finally:
        cluster.close()


class Corpus(Mapping[str, Any]):
    """The complete arrays of a store written by `extract`, by key.

    Each is a Zarr array (read with ``[...]`` or ``np.asarray``).

    Parameters
    ----------
    store : str, path or Zarr store
        What `extract` wrote to.
    """

    def __init__(self, store: Any) -> None:
        self._group = _open_group(store, "r")
        self._keys = sorted(key_of(path) for path, array in _arrays(self._group)
                            if array.attrs.get(_COMPLETE))
        self._known = set(self._keys)

    def __getitem__(self, key: str) -> Any:
        if key not in self._known:
            raise KeyError(key)
        return self._group[store_path(key)]

    def __iter__(self) -> Iterator[str]:
        return iter(self._keys)

    def __len__(self) -> int:
        return len(self._keys)

    def metadata(self, key: str) -> Dict[str, Any]:
        """What is stored beside an array.

        Parameters
        ----------
        key : str
            The array's key.

        Returns
        -------
        dict
            Sample rate, frame and hop length, centre frequencies, the
            configuration, the library version, the resampler and the source
            (real path, size, modification time, its own sample rate and the
            BLAKE2b digest of its bytes); see `metadata_of`.
        """
        return {name: value for name, value in self[key].attrs.items()
                if name != "_ARRAY_DIMENSIONS"}  # Zarr 2's axis names, kept for xarray

    def dataarray(self, key: str) -> Any:
        """An array as an `xarray.DataArray`, with its axes and metadata.

        Parameters
        ----------
        key : str
            The array's key.

        Returns
        -------
        xarray.DataArray
            Dimensions (``channel``,) ``frame``, ``band`` (``cepstrum`` for
            GFCC); coordinates ``time`` (each frame's centre in seconds,
            `frame_times`) along ``frame`` and ``frequency`` (centre
            frequencies in Hz) along ``band``; the metadata (`metadata`) as
            attributes. Read into memory.
        """
        try:
            import xarray
        except ImportError:
            raise ImportError("Corpus.dataarray needs xarray: pip install 'vorl[corpus]'") \
                from None
        array = self[key]
        metadata = self.metadata(key)
        data = np.asarray(array[...])
        coords = {"time": ("frame", self.configuration(key).frame_times(data.shape[-2]))}
        cepstra = bool(metadata.get("features"))
        if not cepstra:
            coords["frequency"] = ("band", np.asarray(metadata["center_frequencies"]))
        return xarray.DataArray(data, dims=_dimensions(data.ndim, cepstra), coords=coords,
                                attrs=metadata, name=key)

    def batch(self, keys: Optional[Sequence[str]] = None, dtype: Any = "float32",
              pad: float = 0.0) -> Tuple[np.ndarray, np.ndarray, List[str]]:
        """Arrays stacked for a learning framework, padded to the longest.

        Parameters
        ----------
        keys : sequence of str, optional
            Which arrays, in this order; default all of them, sorted.
        dtype : dtype
            Of the stack (float32 by default, what frameworks take).
        pad : float
            The value of the frames after an array's last.

        Returns
        -------
        stack : ndarray
            (n, max_frames, bands), or (n, channels, max_frames, bands) for
            arrays of every channel.
        lengths : ndarray
            int64, each array's number of frames.
        keys : list of str
            The keys, in the order of the stack.

        Raises
        ------
        ValueError
            If the arrays differ in anything but their number of frames.
        """
        chosen = list(self._keys if keys is None else keys)
        if isinstance(keys, str):
            raise TypeError("keys must be a sequence of keys, not one key: pass [key]")
        arrays = [self[key] for key in chosen]
        if not arrays:
            raise ValueError("no arrays to stack")
        shapes = {a.shape[:-2] + a.shape[-1:] for a in arrays}
        if len(shapes) > 1:
            raise ValueError(f"the arrays differ in more than their frames (channels, bands: "
                             f"{sorted(shapes)}): stack arrays made alike")
        lengths = np.array([a.shape[-2] for a in arrays], dtype=np.int64)
        first = arrays[0].shape
        stack = np.full((len(arrays), *first[:-2], int(lengths.max()), first[-1]), pad,
                        dtype=dtype)
        for i, array in enumerate(arrays):
            stack[i, ..., :lengths[i], :] = array[...]
        return stack, lengths, chosen

    def configuration(self, key: str) -> _Config:
        """The configuration that made an array.

        Parameters
        ----------
        key : str
            The array's key.

        Returns
        -------
        Gammatone or Cochleagram
            Calling it on the source (resampled as the metadata says) gives
            the array.
        """
        return configuration(self.metadata(key)["configuration"])


def open(store: Any) -> Corpus:  # noqa: A001 - the module's verb, as in zarr.open
    """The arrays of a store written by `extract`, with their metadata.

    Parameters
    ----------
    store : str, path or Zarr store
        What `extract` wrote to.

    Returns
    -------
    Corpus
        A mapping from key to array, of the complete arrays only.
    """
    return Corpus(store)
