"""Corpora: the features of many audio files, on a Dask cluster, into a Zarr store.

One task per file; each reads its file in blocks (bounded memory, any length)
and writes one array of the store, under a key made from the file's path
relative to the folder the store was made for. An array counts as done only
once its completion mark is written, after its data and its metadata, and only
for the configuration, library version and resampler that made it, so a file
whose task was interrupted (or whose worker died) is done again on the next
run, and a store is never silently mixed.

    >>> from vorl import corpus, Cochleagram
    >>> report = corpus.extract(paths, Cochleagram(16000), "features.zarr", workers=4)
    >>> for key, gram in corpus.open("features.zarr").items(): ...

Needs the optional extra: ``pip install 'vorl[corpus]'`` (Dask distributed and Zarr).
"""
from __future__ import annotations

import builtins
import contextlib
import hashlib
import itertools
import os
import uuid
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import (Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple,
                    Union)

import numpy as np

from ._gammatone import Cochleagram, Gammatone, _Config

_COMPLETE = "vorl_complete"
_RUN = "vorl_run"  # the run that wrote an array
_ROOT = "vorl_root"  # a store's attribute: the folder its keys are relative to
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
    """

    done: Dict[str, str] = field(default_factory=dict)  #: path -> key, computed in this run
    skipped: Dict[str, str] = field(default_factory=dict)  #: path -> key, unchanged since
    failed: Dict[str, str] = field(default_factory=dict)  #: path -> reason

    def __str__(self) -> str:
        lines = [f"{len(self.done)} done, {len(self.skipped)} skipped, "
                 f"{len(self.failed)} failed"]
        lines += [f"  {path}: {reason}" for path, reason in self.failed.items()]
        return "\n".join(lines)


def _real(path: PathLike) -> str:
    # realpath never raises, where Path.resolve raises on a symbolic-link loop.
    return os.path.realpath(os.fspath(path))


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
        real = _real(path)
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
        Each file's real path (symbolic links resolved) -> its path relative
        to `root`, with its suffix, "/"-separated ("sub/speech.wav"). Distinct
        files get distinct keys; the same file named twice is one file.

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
    """The configuration that `describe` wrote."""
    with warnings.catch_warnings():  # it was warned about when first made
        warnings.simplefilter("ignore")
        return _CONFIGS[described["class"]](**described["arguments"])


def _digest(path: str) -> str:
    """BLAKE2b of the file's bytes, read 1 MiB at a time."""
    digest = hashlib.blake2b()
    with builtins.open(path, "rb") as file:
        for piece in iter(lambda: file.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def _source(path: str, content: bool = False) -> Dict[str, Any]:
    stat = os.stat(path)
    source: Dict[str, Any] = {"path": path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
    if content:
        source["blake2b"] = _digest(path)
    return source


def _made_by(config: _Config, resampler: Optional[Mapping[str, Any]]) -> Dict[str, Any]:
    """What an array's values depend on besides its source."""
    from . import __version__

    return {"configuration": describe(config), "vorl_version": __version__,
            "resampler": None if resampler is None else dict(resampler)}


def metadata_of(config: _Config, path: PathLike, file_rate: Optional[int] = None,
                resampler: Optional[Mapping[str, Any]] = None,
                content: bool = False) -> Dict[str, Any]:
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

    Returns
    -------
    dict
        ``sample_rate``, ``frame_length``, ``hop_length``, ``center_frequencies``,
        ``configuration`` (`describe`), ``vorl_version``, ``resampler`` and
        ``source`` (the file's real path, size, modification time in ns, its own
        ``sample_rate`` and, with `content`, ``blake2b``).
    """
    source = _source(_real(path), content)
    source["sample_rate"] = config.sample_rate if file_rate is None else int(file_rate)
    return {"sample_rate": config.sample_rate, "frame_length": config.frame_length,
            "hop_length": config.hop_length,
            "center_frequencies": [float(f) for f in config.center_frequencies],
            **_made_by(config, resampler), "source": source}


def _open_group(store: Any, mode: str) -> Any:
    import zarr

    return zarr.open_group(store, mode=mode)


def _create(group: Any, key: str, shape: Tuple[int, ...], dtype: Any) -> Any:
    # Uncompressed: feature values have little to compress, and compressing them
    # would cost about as much as computing them.
    chunks = shape[:-2] + (min(_ROWS_PER_CHUNK, max(shape[-2], 1)), shape[-1])
    if hasattr(group, "create_array"):  # Zarr 3
        return group.create_array(key, shape=shape, chunks=chunks, dtype=dtype, overwrite=True,
                                  compressors=None)
    return group.create_dataset(key, shape=shape, chunks=chunks, dtype=dtype, overwrite=True,
                                compressor=None)


def _attributes(group: Any, key: str) -> Dict[str, Any]:
    """The attributes of the array `key`; empty if there is none."""
    try:
        return dict(group[key].attrs)
    except KeyError:
        return {}


def _made_alike(attrs: Mapping[str, Any], made_by: Mapping[str, Any]) -> bool:
    return all(attrs.get(name) == value for name, value in made_by.items())


def _unchanged(attrs: Mapping[str, Any], path: str, content: bool) -> bool:
    """Whether the stored source is the file at `path` as it is now: the same path,
    size and modification time, or (`content`) the same size and bytes."""
    stored = attrs.get("source") or {}
    stat = os.stat(path)
    if stored.get("size") != stat.st_size:
        return False
    if content:
        return stored.get("blake2b") == _digest(path)
    return stored.get("path") == path and stored.get("mtime_ns") == stat.st_mtime_ns


@dataclass(frozen=True)
class _Task:
    """One file's work, as sent to a worker: plain values only."""

    path: str
    key: str
    made_by: Dict[str, Any]  # the configuration (`describe`), library version, resampler
    file_rate: int
    run: str  # this run's identity, written with the array


def extract_one(task: _Task, store: Any, threads: Optional[int] = 1) -> str:
    """Computes one file into the store under its key (a task of `extract`).

    An array that this run has already completed (Dask recomputes the tasks of
    a worker that died after finishing them) is left as it is.
    """
    group = _open_group(store, "a")
    attrs = _attributes(group, task.key)
    if attrs.get(_COMPLETE) and attrs.get(_RUN) == task.run:
        return task.key
    config = configuration(task.made_by["configuration"])
    resample = task.made_by["resampler"] is not None
    # The file's checks (readable, rate, length) come before anything is written.
    frames, blocks = config._open_file(task.path, threads, resample=resample)
    first = next(blocks)
    shape = first.shape[:-2] + (frames, first.shape[-1])
    array = _create(group, task.key, shape, first.dtype)
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
    metadata = metadata_of(config, task.path, task.file_rate, task.made_by["resampler"],
                           content=True)
    array.attrs.update({**metadata, _RUN: task.run})
    array.attrs[_COMPLETE] = True  # last: the array counts only from here
    return task.key


ConfigLike = Union[_Config, Callable[[int], _Config]]


def extract(paths: Sequence[PathLike], config: ConfigLike, store: Any, *,
            client: Any = None, workers: Optional[int] = None,
            resume: Union[bool, str] = True, overwrite: bool = False,
            resample: bool = False) -> Report:
    """The features of every file into a Zarr store, one Dask task per file.

    Parameters
    ----------
    paths : sequence of paths
        Audio files and folders (walked for audio files, recursively); the
        same name in different folders is kept apart. Keys are relative to
        the folder the store was first made for (`common_folder` of that
        run's files, remembered in the store), so later runs with fewer or
        more files keep every key; a file outside that folder fails, with
        the reason.
    config : Gammatone, Cochleagram, or a function of a sample rate returning one
        The analysis. A function is called once per sample rate among the
        files, and each file is analysed at its own rate.
    store : str, path or Zarr store
        A folder, or any store URL Zarr takes.
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
        False: compute every file again.
    overwrite : bool
        Redo arrays that were made with another configuration, library version
        or resampler. Without it such a store is refused (ValueError, before
        any work) rather than mixed or reported as done.
    resample : bool
        With a configuration (not a function), resample files at another rate
        to its rate (soxr, quality "VHQ"); without it such files fail, with
        the reason.

    Returns
    -------
    Report
        What was done, skipped, or failed (with the reason) for each file. A
        file that fails does not stop the others. Every file reported done is
        complete in the store when this returns.

    Raises
    ------
    ValueError
        For a bad argument, or a store holding arrays of these files made
        otherwise (see `overwrite`).
    """
    from ._io import expand, resampler, sample_rate_of

    if resume not in (True, False, "content"):
        raise ValueError(f"resume must be True, False or 'content', not {resume!r}")
    if workers is not None:
        workers = _positive("workers", workers)
    files = expand(list(paths))
    group = _open_group(store, "a")
    root = group.attrs.get(_ROOT)
    if root is None:
        root = common_folder(files)
    keys, outside = _keys(files, root)
    report = Report()
    for path in outside:
        report.failed[path] = (f"lies outside {root}, the folder this store's keys are "
                               "relative to; write it to another store"
                               if os.path.exists(path) else f"No such audio file: {path!r}")
    run = uuid.uuid4().hex
    configs: Dict[int, _Config] = {}
    todo: List[_Task] = []
    stale: List[str] = []
    for path, key in keys.items():
        try:
            rate = sample_rate_of(path)
            if callable(config) and not isinstance(config, _Config):
                if rate not in configs:
                    configs[rate] = config(rate)
                chosen = configs[rate]
            else:
                chosen = config
            made_by = _made_by(chosen, resampler(rate, chosen.sample_rate) if resample else None)
            attrs = _attributes(group, key)
            if attrs.get(_COMPLETE):
                if not _made_alike(attrs, made_by):
                    if not overwrite:
                        stale.append(_difference(key, attrs, made_by))
                elif resume and _unchanged(attrs, path, content=resume == "content"):
                    report.skipped[path] = key
                    continue
        except (OSError, RuntimeError, ValueError) as error:  # one file's problem is its own
            report.failed[path] = _reason(path, error)
            continue
        todo.append(_Task(path, key, made_by, rate, run))
    if stale:
        raise ValueError(f"the store {store!r} holds {len(stale)} array(s) of these files made "
                         f"otherwise than this run would make them; {stale[0]}. Write to "
                         "another store, or pass overwrite=True (vorl features --overwrite) "
                         "to redo those arrays")
    if not todo:
        return report
    if not group.attrs.get(_ROOT):
        group.attrs[_ROOT] = root
    for task in todo:
        parent = task.key.rpartition("/")[0]
        if parent:
            group.require_group(parent)  # made here, not by two tasks at once
    with _client(client, workers) as running:
        from dask.distributed import as_completed

        futures = {running.submit(extract_one, task, store, 1, pure=False): task
                   for task in todo}
        for future in as_completed(futures):
            task = futures[future]
            try:
                future.result()
            except Exception as error:  # one file's failure is that file's only
                report.failed[task.path] = _reason(task.path, error)
                continue
            report.done[task.path] = task.key
    # Nothing reported done that is not complete in the store as this run made it.
    group = _open_group(store, "r")
    for task in todo:
        if task.path in report.done:
            attrs = _attributes(group, task.key)
            if not (attrs.get(_COMPLETE) and _made_alike(attrs, task.made_by)):
                del report.done[task.path]
                report.failed[task.path] = "its array is not complete in the store"
    return report


def _positive(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
    return int(value)


def _reason(path: str, error: BaseException) -> str:
    text = str(error)
    return text if path in text or os.path.basename(path) in text else \
        f"{type(error).__name__}: {text}"


def _difference(key: str, attrs: Mapping[str, Any], made_by: Mapping[str, Any]) -> str:
    def made(values: Mapping[str, Any]) -> str:
        text = repr(configuration(values["configuration"])) if values.get("configuration") \
            else "an unknown configuration"
        text += f" with vorl {values.get('vorl_version')}"
        if values.get("resampler"):
            resampler = values["resampler"]
            text += f", resampled by {resampler['name']} {resampler['version']}"
        return text

    return f"e.g. {key!r} was made by {made(attrs)}; this run makes {made(made_by)}"


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
        self._keys = sorted(self._complete(self._group, ""))

    @staticmethod
    def _complete(group: Any, prefix: str) -> Iterator[str]:
        for name, array in group.arrays():
            if array.attrs.get(_COMPLETE):
                yield prefix + name
        for name, sub in group.groups():
            yield from Corpus._complete(sub, f"{prefix}{name}/")

    def __getitem__(self, key: str) -> Any:
        if key not in self._keys:
            raise KeyError(key)
        return self._group[key]

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
        return dict(self[key].attrs)

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
