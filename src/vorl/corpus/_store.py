"""The Zarr writer: a file's rows into one array of the store, its metadata and
completion mark written last, once every chunk is there; and what a store holds.
In a local store, arrays are written and read as files (`_zarr_files`), in
the layout Zarr gives them."""
from __future__ import annotations

import functools
import itertools
import json
import os
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, cast

import numpy as np

from .._config import Config
from ._keys import key_of, real_path, store_path
from ._metadata import configuration, opened, shared_metadata, source_of
from ._zarr_files import FileArray, Layout, folder_of, parents_exist
from ._zarr_files import attributes as file_attributes
from ._zarr_files import with_shape, writable

COMPLETE = "vorl_complete"
RUN = "vorl_run"  # the run that wrote an array


ROOT = "vorl_root"  # a store's attribute: the folder its keys are relative to
# A store's attribute: sample rate -> what its arrays at that rate are made by
# (configuration and library version), so that files added later are checked too.
STORE_MADE_BY = "vorl_made_by"
ROWS_PER_CHUNK = 4096


def _zarr3_installed() -> bool:
    """Whether the installed Zarr is Zarr 3 (else Zarr 2)."""
    import zarr

    return hasattr(zarr.Group, "create_array")


def _check_readable(store: Any) -> None:
    """Refuses a folder of Zarr's format 3 under Zarr 2, which takes it for no
    store at all (and in mode "a" would make one of format 2 in it)."""
    import zarr

    if not _zarr3_installed() and isinstance(store, (str, os.PathLike)) \
            and os.path.isfile(os.path.join(os.fspath(store), "zarr.json")):
        raise ValueError(f"{os.fspath(store)!r} is a store of Zarr's format 3, which Zarr "
                         f"{zarr.__version__} cannot read: it needs Zarr 3 "
                         "(pip install 'zarr>=3', on Python 3.11 or later)")


def open_group(store: Any, mode: str) -> Any:
    import zarr

    _check_readable(store)
    return zarr.open_group(store, mode=cast(Any, mode))  # one of Zarr's modes


def existing_group(store: Any) -> Any:
    """The store's group, read-only; None where there is no store yet."""
    _check_readable(store)
    try:
        return open_group(store, "r")
    except (FileNotFoundError, KeyError, ValueError, LookupError) as error:
        # Zarr 2 says GroupNotFoundError (a KeyError), Zarr 3 FileNotFoundError.
        if isinstance(store, (str, os.PathLike)) and os.path.isdir(os.fspath(store)) \
                and os.listdir(os.fspath(store)):
            raise ValueError(f"{os.fspath(store)!r} is not a Zarr store: {error}") from None
        return None


def dimensions(ndim: int, cepstra: bool = False) -> Tuple[str, ...]:
    """Names of an array's axes: (channel,) frame, band (or cepstrum)."""
    return ("channel", "frame", "cepstrum" if cepstra else "band")[3 - ndim:]


def zarr3(group: Any) -> bool:
    """Whether `group` is a Zarr 3 group (else Zarr 2's)."""
    # Asked of the class: a Zarr 2 group looks a missing attribute up as a member
    # in its store, which costs a tenth of a millisecond.
    return hasattr(type(group), "create_array")


def format3(group: Any) -> bool:
    """Whether `group` is stored in Zarr's format 3, whose arrays name their axes
    in their metadata. Zarr 3 also writes format 2, to a store made by Zarr 2."""
    return zarr3(group) and group.metadata.zarr_format == 3


@functools.lru_cache(maxsize=None)
def _metadata_text(layout: Layout, dtype: str, ndim: int, cepstra: bool) -> Optional[str]:
    """The metadata (JSON) that Zarr writes in `layout`'s format for an array that
    `create_array` makes of this kind, without attributes, made once per process;
    None if `_zarr_files` does not write such arrays."""
    import zarr

    if _zarr3_installed():
        from zarr.storage import MemoryStore

        stored: Dict[str, Any] = {}
        group = zarr.open_group(MemoryStore(store_dict=stored), mode="w",
                                zarr_format=cast(Any, layout.zarr_format))
        create_array(group, "a", (1,) * ndim, dtype, cepstra)
        text = stored["a/" + layout.array].to_bytes()
    else:
        stored = {}
        create_array(zarr.open_group(stored, mode="w"), "a", (1,) * ndim, dtype, cepstra)
        text = stored["a/" + layout.array]
    return text.decode() if writable(json.loads(text)) else None


def put_attributes(group: Any, array: Any, attributes: Mapping[str, Any],
                   cepstra: bool = False) -> None:
    """Makes `attributes` the whole of the attributes of `array` (of `group`), in
    one write; in format 2 with the axes' names (``_ARRAY_DIMENSIONS``, as xarray
    reads them)."""
    whole = dict(attributes)
    if not format3(group):
        whole["_ARRAY_DIMENSIONS"] = list(dimensions(array.ndim, cepstra))
    if isinstance(array, FileArray):
        array.put_attributes(whole)
    else:
        array.attrs.put(whole)


def create_array(group: Any, path: str, shape: Tuple[int, ...], dtype: Any,
            cepstra: bool = False, attributes: Optional[Mapping[str, Any]] = None) -> Any:
    # Uncompressed: feature values have little to compress, and compressing them
    # would cost about as much as computing them. Every chunk is stored, even one
    # of zeros, so that a complete array has all its chunks (see `holds_run`).
    # Axes are named as format 3 names them, and as xarray reads them in format 2.
    chunks = shape[:-2] + (min(ROWS_PER_CHUNK, max(shape[-2], 1)), shape[-1])
    names = dimensions(len(shape), cepstra)
    attrs = dict(attributes or {})
    if not format3(group):
        attrs["_ARRAY_DIMENSIONS"] = list(names)
    files = None if group.read_only else folder_of(group)
    text = files and _metadata_text(files[1], np.dtype(dtype).str, len(shape), cepstra)
    if files and text:
        folder, layout = files
        parent = path.rpartition("/")[0]
        if parent and not parents_exist(folder, layout, parent):
            group.require_group(parent)
        return FileArray.create(folder, layout, path,
                                with_shape(json.loads(text), shape, chunks), attrs)
    if zarr3(group):
        named = {"dimension_names": names} if format3(group) else {}
        return group.create_array(path, shape=shape, chunks=chunks, dtype=dtype, overwrite=True,
                                  compressors=None, config={"write_empty_chunks": True},
                                  attributes=attrs, **named)
    array = group.create_dataset(path, shape=shape, chunks=chunks, dtype=dtype, overwrite=True,
                                 compressor=None, write_empty_chunks=True)
    array.attrs.put(attrs)
    return array


def attributes_of(group: Any, key: str) -> Dict[str, Any]:
    """The attributes of the array of `key`, read afresh; empty if there is none.

    In a local store they are read from the array's files, without opening the
    array (which costs Zarr 2 twice the time, Zarr 3 over ten times): a run
    reads every array's attributes before it starts and as each batch ends."""
    path = store_path(key)
    files = folder_of(group)
    if files:
        return file_attributes(files[0], files[1], path)
    try:
        node = group[path]
    except KeyError:
        return {}
    return dict(node.attrs) if hasattr(node, "dtype") else {}  # a group is no array


def made_alike(attrs: Mapping[str, Any], made_by: Mapping[str, Any]) -> bool:
    # Rows carry no "features" entry: GFCC arrays are never alike to rows.
    return (all(attrs.get(name) == value for name, value in made_by.items())
            and ("features" in attrs) == ("features" in made_by))


def unchanged(attrs: Mapping[str, Any], path: str, content: bool) -> bool:
    """Whether the stored source is the file at `path` as it is now: the same size
    and modification time, or (`content`) the same size and bytes. The array's key
    is the file's path relative to the store's folder, so the same key is the same
    file (or, in a corpus moved with ``root=``, the same file moved)."""
    from .._io import digest

    stored = attrs.get("source") or {}
    stat = os.stat(path)
    if stored.get("size") != stat.st_size:
        return False
    if content:
        return stored.get("blake2b") == digest(path)
    return stored.get("mtime_ns") == stat.st_mtime_ns


@dataclass(frozen=True)
class Task:
    """One file's work, as sent to a worker: plain values only."""

    path: str
    key: str
    made_by: Dict[str, Any]  # the configuration (`describe`), library version, resampler
    file_rate: int
    run: str  # this run's identity, written with the array
    content: bool = False  # compare the file's bytes before and after reading it


def holds_run(group: Any, array: Any, key: str, run: str) -> bool:
    """Whether the array of `key` in `group`, as the store holds it now, is still
    `array`, the one this run made (no other run re-created it), and holds every
    chunk. Both are read afresh: the attributes, and the chunks' names."""
    return bool(attributes_of(group, key).get(RUN) == run
                and array.nchunks_initialized == array.nchunks)


class Writer:
    """What the files of one Dask task share: the store's group, opened once, and
    each analysis (configuration, resampler, features) with the part of its
    metadata that does not depend on the file, made once."""

    def __init__(self, store: Any) -> None:
        self.group = open_group(store, "a")
        self.analyses: Dict[str, Tuple[Config, Dict[str, Any]]] = {}

    def analysis(self, made_by: Mapping[str, Any]) -> Tuple[Config, Dict[str, Any]]:
        """The configuration of `made_by` and the metadata all its arrays share."""
        name = json.dumps(made_by, sort_keys=True)
        if name not in self.analyses:
            config = configuration(made_by["configuration"])
            self.analyses[name] = (config, shared_metadata(config, made_by))
        return self.analyses[name]

    def write(self, task: Task, threads: Optional[int] = 1) -> str:
        """See `extract_one`."""
        from .._io import file_state, read_unchanged

        path = store_path(task.key)
        attrs = attributes_of(self.group, task.key)
        if attrs.get(COMPLETE) and attrs.get(RUN) == task.run:
            return task.key
        config, shared = self.analysis(task.made_by)
        features = task.made_by.get("features")
        before = file_state(task.path, task.content)
        # Every array stores its source's digest; a content check has just taken it.
        source = source_of(real_path(task.path), content=not task.content)
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
        array = create_array(self.group, path, shape, first.dtype, features is not None,
                        {RUN: task.run})
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
        if not holds_run(self.group, array, task.key, task.run):
            raise RuntimeError(f"the array {task.key!r} was re-created or lost chunks while "
                               "this run wrote it (another run writing to the same store?); "
                               "it is not marked complete")
        # Last: the array counts only from here.
        put_attributes(self.group, array,
                       {**shared, "source": source, RUN: task.run, COMPLETE: True},
                       features is not None)
        return task.key


def extract_one(task: Task, store: Any, threads: Optional[int] = 1) -> str:
    """Computes one file into the store under its key (a task of `extract`).

    An array that this run has already completed (Dask recomputes the tasks of
    a worker that died after finishing them) is left as it is. The file's state
    (size, times, inode and, with ``task.content``, its bytes' digest) is taken
    before it is read and checked after: a file that changed meanwhile raises
    ValueError and its array is not marked complete.
    """
    return Writer(store).write(task, threads)


def run_batch(batch: Sequence[Task], store: Any) -> List[Optional[str]]:
    """The files of one Dask task, each None when done, else why it failed. A
    failure is a value, not an exception, so that it is reported once, in the
    run's report, and not also logged by the worker with its traceback; one
    file's failure is that file's only."""
    writer = Writer(store)
    failures: List[Optional[str]] = []
    for task in batch:
        try:
            writer.write(task)
            failures.append(None)
        except Exception as error:
            failures.append(reason_of(task.path, error))
    return failures


def store_entry(made_by: Mapping[str, Any]) -> Dict[str, Any]:
    """What a store records of a sample rate's arrays: what made them, but the
    resampler, which differs between files of different rates."""
    return {name: value for name, value in made_by.items() if name != "resampler"}


def arrays_of(group: Any, prefix: str = "") -> Iterator[Tuple[str, Any]]:
    """(path, array) of every array in the store, complete or not."""
    for name, array in group.arrays():
        yield prefix + name, array
    for name, sub in group.groups():
        yield from arrays_of(sub, f"{prefix}{name}/")


def recorded_arrays(group: Any) -> Dict[str, Dict[str, Any]]:
    """Sample rate -> what made the store's arrays at that rate: as the store
    records it, or, in a store made before it did, as its complete arrays say."""
    recorded = group.attrs.get(STORE_MADE_BY)
    if recorded is not None:
        return dict(recorded)
    found: Dict[str, Dict[str, Any]] = {}
    for _path, array in arrays_of(group):
        attrs = array.attrs
        if attrs.get(COMPLETE) and attrs.get("configuration"):
            rate = str(attrs["configuration"]["arguments"]["sample_rate"])
            found.setdefault(rate, store_entry({n: attrs[n] for n in
                                                 ("configuration", "vorl_version", "features")
                                                 if n in attrs}))
    return found


def remove_made_otherwise(group: Any, made: Mapping[str, Any], keys: set) -> List[str]:
    """Removes every array not made as this run makes arrays at its rate; returns
    the keys of those this run does not make again."""
    removed = []
    for path, array in list(arrays_of(group)):
        attrs = dict(array.attrs)
        rate = str(((attrs.get("configuration") or {}).get("arguments") or {})
                   .get("sample_rate"))
        entry = made.get(rate)
        if entry is not None and entry == store_entry(
                {n: attrs[n] for n in ("configuration", "vorl_version", "features")
                 if n in attrs}):
            continue
        del group[path]
        if key_of(path) not in keys:
            removed.append(key_of(path))
    return sorted(removed)


def reason_of(path: str, error: BaseException) -> str:
    text = str(error)
    return text if path in text or os.path.basename(path) in text else \
        f"{type(error).__name__}: {text}"
