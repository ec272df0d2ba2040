"""Corpora: the features of many audio files, on a Dask cluster, into a Zarr store.

One task per file; each reads its file in blocks (bounded memory, any length)
and writes one array of the store, under a key made from the file's path
relative to the files' common folder. An array counts as done only once its
completion mark is written, after its data and its metadata, so a file whose
task was interrupted (or whose worker died) is done again on the next run.

    >>> from vorl import corpus, Cochleagram
    >>> report = corpus.extract(paths, Cochleagram(16000), "features.zarr", workers=4)
    >>> for key, gram in corpus.open("features.zarr").items(): ...

Needs the optional extra: ``pip install 'vorl[corpus]'`` (Dask distributed and Zarr).
"""
from __future__ import annotations

import itertools
import os
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ._gammatone import Cochleagram, Gammatone, _Config

_COMPLETE = "vorl_complete"
_CONFIGS = {"Gammatone": Gammatone, "Cochleagram": Cochleagram}
_ROWS_PER_CHUNK = 4096

PathLike = Union[str, "os.PathLike[str]"]


@dataclass
class Report:
    """What `extract` did with each file: its key in the store, or why it failed."""

    done: Dict[str, str] = field(default_factory=dict)  #: path -> key, computed in this run
    skipped: Dict[str, str] = field(default_factory=dict)  #: path -> key, unchanged since
    failed: Dict[str, str] = field(default_factory=dict)  #: path -> reason

    def __str__(self) -> str:
        lines = [f"{len(self.done)} done, {len(self.skipped)} skipped, "
                 f"{len(self.failed)} failed"]
        lines += [f"  {path}: {reason}" for path, reason in self.failed.items()]
        return "\n".join(lines)


def keys_for(paths: Sequence[PathLike]) -> Dict[str, str]:
    """The store key of each file: its path relative to the files' common folder,
    with its suffix, "/"-separated ("sub/speech.wav"). Distinct files get
    distinct keys; the same file named twice is one file."""
    resolved = [Path(p).resolve() for p in paths]
    folders = [str(p.parent) for p in resolved]
    root = Path(os.path.commonpath(folders)) if folders else Path(".")
    return {os.fspath(p): p.relative_to(root).as_posix() for p in resolved}


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


def _source(path: str) -> Dict[str, Any]:
    stat = os.stat(path)
    return {"path": path, "size": stat.st_size, "mtime_ns": stat.st_mtime_ns}


def metadata_of(config: _Config, path: PathLike) -> Dict[str, Any]:
    """What is stored beside the features of a file: sample rate, frame and hop
    length, band centre frequencies, the configuration, the library version,
    and the source file's path, size and modification time."""
    from . import __version__

    return {"sample_rate": config.sample_rate, "frame_length": config.frame_length,
            "hop_length": config.hop_length,
            "center_frequencies": [float(f) for f in config.center_frequencies],
            "configuration": describe(config), "vorl_version": __version__,
            "source": _source(os.fspath(Path(path).resolve()))}


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


def _is_complete(group: Any, key: str, source: Mapping[str, Any]) -> bool:
    try:
        attrs = dict(group[key].attrs)
    except KeyError:
        return False
    return bool(attrs.get(_COMPLETE)) and attrs.get("source") == dict(source)


def extract_one(path: str, key: str, described: Mapping[str, Any], store: Any,
                threads: Optional[int] = None) -> str:
    """Computes one file into the store under `key` (a task of `extract`)."""
    config = configuration(described)
    source = _source(path)
    frames, blocks = config._open_file(path, threads)  # the file's checks come first
    first = next(blocks)
    group = _open_group(store, "a")
    shape = first.shape[:-2] + (frames, first.shape[-1])
    array = _create(group, key, shape, first.dtype)
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
    array.attrs.update({**metadata_of(config, path), "source": source})
    array.attrs[_COMPLETE] = True  # last: the array counts only from here
    return key


def extract(paths: Sequence[PathLike], config: _Config, store: Any, *,
            client: Any = None, workers: Optional[int] = None, resume: bool = True) -> Report:
    """The features of every file into a Zarr store, one Dask task per file.

    Parameters
    ----------
    paths : sequence of paths
        Audio files; the same name in different folders is kept apart (see
        `keys_for`).
    config : Gammatone or Cochleagram
        The analysis; its sample rate must be each file's.
    store : str, path or Zarr store
        A folder, or any store URL Zarr takes.
    client : dask.distributed.Client, optional
        Where the tasks run; by default a LocalCluster of `workers` processes
        is started for this call (on a cluster: ``Client("tcp://scheduler:8786")``).
    workers : int, optional
        Processes of the local cluster; default the cores of this machine.
    resume : bool
        Skip files whose array is complete and whose source (path, size,
        modification time) is unchanged.

    Returns
    -------
    Report
        What was done, skipped, or failed (with the reason) for each file. A
        file that fails does not stop the others.
    """
    from dask.distributed import Client, LocalCluster

    keys = keys_for(paths)
    group = _open_group(store, "a")
    report = Report()
    todo: List[Tuple[str, str]] = []
    for path, key in keys.items():
        try:
            if resume and _is_complete(group, key, _source(path)):
                report.skipped[path] = key
                continue
        except OSError as error:
            report.failed[path] = str(error)
            continue
        parent = key.rpartition("/")[0]
        if parent:
            group.require_group(parent)  # made here, not by two tasks at once
        todo.append((path, key))
    if not todo:
        return report

    own = client is None
    if own:
        import dask

        # Workers sample their own stacks for Dask's profiler by default; here that
        # costs several per cent of the work and shows nobody anything.
        with dask.config.set({"distributed.worker.profile.enabled": False}):
            cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1,
                                   threads_per_worker=1, processes=True,
                                   dashboard_address=":0")
        client = Client(cluster)
    try:
        described = describe(config)
        futures = {client.submit(extract_one, path, key, described, store, 1, pure=False): path
                   for path, key in todo}
        from dask.distributed import as_completed

        for future in as_completed(futures):
            path = futures[future]
            try:
                report.done[path] = future.result()
            except Exception as error:  # one file's failure is that file's only
                report.failed[path] = f"{type(error).__name__}: {error}"
    finally:
        if own:
            client.close()
            cluster.close()
    return report


class Corpus(Mapping[str, Any]):
    """The complete arrays of a store written by `extract`, by key; each is a
    Zarr array (read with ``[...]`` or ``np.asarray``)."""

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
        """Sample rate, frame and hop length, centre frequencies, the configuration,
        the library version and the source (path, size, modification time)."""
        return dict(self[key].attrs)

    def configuration(self, key: str) -> _Config:
        """The configuration that made the array."""
        return configuration(self.metadata(key)["configuration"])


def open(store: Any) -> Corpus:  # noqa: A001 - the module's verb, as in zarr.open
    """The arrays of a store written by `extract`, with their metadata."""
    return Corpus(store)
