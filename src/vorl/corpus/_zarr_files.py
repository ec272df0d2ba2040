"""Arrays of a Zarr store on the local file system, written and read as the files
they are: metadata, attributes and one file per chunk, each written whole under a
temporary name and then renamed into place, as Zarr writes them.

Zarr spends more of its own Python creating, writing, re-reading and marking an
array than a short file takes to compute: about 0.6 ms under Zarr 2, 3.5 ms
under Zarr 3. The layout stays Zarr's: the metadata are those Zarr writes for an
array of the same kind (see `_store.create_array`), in which only the shape and
the chunks' shape are set here, and only arrays of uncompressed little-endian
chunks in C order are written here.
"""
from __future__ import annotations

import contextlib
import itertools
import json
import math
import os
import shutil
import uuid
from dataclasses import dataclass
from typing import Any, Dict, Iterator, Mapping, Optional, Tuple

import numpy as np


@dataclass(frozen=True)
class Layout:
    """Where a format keeps a node's metadata and an array's attributes."""

    zarr_format: int
    array: str  # an array's metadata file
    group: str  # a group's metadata file (format 3: the same file for both)
    attributes: Optional[str]  # an array's attributes file; None: in its metadata


FORMAT_3 = Layout(3, "zarr.json", "zarr.json", None)
FORMAT_2 = Layout(2, ".zarray", ".zgroup", ".zattrs")
_PLAIN_CODECS = [{"name": "bytes", "configuration": {"endian": "little"}}]
_DEFAULT_KEYS = {"name": "default", "configuration": {"separator": "/"}}


def folder_of(group: Any) -> Optional[Tuple[str, Layout]]:
    """The folder of `group` and its format's layout, where its store is a local
    folder as Zarr opens a path (Zarr 3's LocalStore, Zarr 2's DirectoryStore);
    None for any other store."""
    import zarr.storage

    store = group.store
    local = getattr(zarr.storage, "LocalStore", None)  # Zarr 3
    if local is not None:
        if not isinstance(store, local):
            return None
        root, layout = store.root, FORMAT_3 if group.metadata.zarr_format == 3 else FORMAT_2
    # Zarr 2: not a subclass, which may name chunks otherwise.
    elif type(store) is getattr(zarr.storage, "DirectoryStore", None):
        root, layout = store.path, FORMAT_2
    else:
        return None
    return os.path.join(os.fspath(root), *group.path.split("/")), layout


def writable(metadata: Mapping[str, Any]) -> bool:
    """Whether an array of this metadata is one this module writes: regular,
    uncompressed chunks of little-endian numbers in C order, under Zarr's
    default chunk names, with a numeric fill value."""
    if not isinstance(metadata.get("fill_value"), (int, float)):
        return False
    if metadata.get("zarr_format") == 3:
        return (metadata.get("node_type") == "array"
                and metadata.get("codecs") == _PLAIN_CODECS
                and metadata.get("chunk_key_encoding") == _DEFAULT_KEYS
                and metadata.get("chunk_grid", {}).get("name") == "regular"
                and not metadata.get("storage_transformers"))
    return (metadata.get("zarr_format") == 2 and metadata.get("compressor") is None
            and not metadata.get("filters") and metadata.get("order") == "C"
            and metadata.get("dimension_separator", ".") == "."
            and isinstance(metadata.get("dtype"), str) and metadata["dtype"][0] in "<|")


def with_shape(metadata: Dict[str, Any], shape: Tuple[int, ...],
               chunks: Tuple[int, ...]) -> Dict[str, Any]:
    """`metadata` for an array of `shape` in chunks of `chunks`."""
    metadata["shape"] = list(shape)
    if metadata["zarr_format"] == 3:
        metadata["chunk_grid"]["configuration"]["chunk_shape"] = list(chunks)
    else:
        metadata["chunks"] = list(chunks)
    return metadata


def _put(path: str, data: bytes) -> None:
    """Writes `data` as the file `path`, which holds either its old bytes or all
    the new ones, never part of them."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    partial = f"{path}.{uuid.uuid4().hex}.partial"
    try:
        with open(partial, "wb") as file:
            file.write(data)
        os.replace(partial, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise


def _put_json(path: str, value: Mapping[str, Any]) -> None:
    _put(path, json.dumps(value, allow_nan=True).encode())


def _node(folder: str, path: str) -> str:
    return os.path.join(folder, *path.split("/"))


def _read_json(path: str) -> Optional[Dict[str, Any]]:
    """The JSON object in the file `path`; None where there is none."""
    try:
        with open(path, "rb") as file:
            return dict(json.loads(file.read()))
    except (FileNotFoundError, NotADirectoryError):
        return None


def _is_array(where: str, layout: Layout) -> bool:
    """Whether the folder `where` holds an array (not a group, not nothing)."""
    if layout.attributes is not None:  # format 2: an array has its own file
        return os.path.isfile(os.path.join(where, layout.array))
    metadata = _read_json(os.path.join(where, layout.array))
    return metadata is not None and metadata.get("node_type") == "array"


def attributes(folder: str, layout: Layout, path: str) -> Dict[str, Any]:
    """The attributes of the array at `path` below `folder`; empty where there is
    no array."""
    where = _node(folder, path)
    if layout.attributes is None:  # format 3: in the metadata, read once
        metadata = _read_json(os.path.join(where, layout.array)) or {}
        return dict(metadata.get("attributes") or {}) if metadata.get("node_type") == "array" \
            else {}
    if not _is_array(where, layout):
        return {}
    return _read_json(os.path.join(where, layout.attributes)) or {}


def parents_exist(folder: str, layout: Layout, path: str) -> bool:
    """Whether every folder from `folder` down to `path` below it is a group.

    Raises
    ------
    ValueError
        If one of them is an array, which can hold no other node (as Zarr says).
    """
    where = folder
    for part in path.split("/"):
        where = os.path.join(where, part)
        if _is_array(where, layout):
            raise ValueError(f"A parent of {where!r} is an array - only groups may have "
                             "child nodes.")
        if not os.path.isfile(os.path.join(where, layout.group)):
            return False
    return True


class FileArray:
    """An array written as files: to the writer, a Zarr array that takes its rows
    by whole chunks (``array[..., start:stop, :] = rows``) and counts its chunks
    afresh from the folder.

    Parameters
    ----------
    where : str
        The array's folder.
    layout : Layout
        Its format's.
    metadata : dict
        Its metadata, as `writable` takes them (format 3: with its attributes).
    """

    def __init__(self, where: str, layout: Layout, metadata: Dict[str, Any]) -> None:
        self.where = where
        self.layout = layout
        self.metadata = metadata
        self.shape: Tuple[int, ...] = tuple(metadata["shape"])
        if layout.zarr_format == 3:
            self.chunks: Tuple[int, ...] = tuple(metadata["chunk_grid"]["configuration"]
                                                 ["chunk_shape"])
            self.dtype = np.dtype(metadata["data_type"]).newbyteorder("<")
        else:
            self.chunks = tuple(metadata["chunks"])
            self.dtype = np.dtype(metadata["dtype"])
        self.ndim = len(self.shape)
        self.fill_value = metadata["fill_value"]

    @classmethod
    def create(cls, folder: str, layout: Layout, path: str, metadata: Dict[str, Any],
               attributes: Mapping[str, Any]) -> "FileArray":
        """Makes the array at `path` below `folder` afresh, with `attributes`:
        whatever lay there is removed first, as Zarr does when it overwrites.
        Its parents must be groups."""
        where = _node(folder, path)
        if os.path.isdir(where) and not os.path.islink(where):
            shutil.rmtree(where)
        elif os.path.lexists(where):
            os.unlink(where)
        array = cls(where, layout, metadata)
        if layout.attributes is not None:  # else the attributes' write writes both
            _put_json(os.path.join(where, layout.array), metadata)
        array.put_attributes(attributes)
        return array

    def put_attributes(self, attributes: Mapping[str, Any]) -> None:
        """Makes `attributes` the whole of the array's attributes, in one write."""
        if self.layout.attributes is None:
            self.metadata["attributes"] = dict(attributes)
            _put_json(os.path.join(self.where, self.layout.array), self.metadata)
        else:
            _put_json(os.path.join(self.where, self.layout.attributes), attributes)

    @property
    def nchunks(self) -> int:
        return math.prod(-(-size // chunk) for size, chunk in zip(self.shape, self.chunks))

    def _chunk_name(self, index: Tuple[int, ...]) -> str:
        """The path of a chunk's file below the array's folder."""
        if self.layout.zarr_format == 3:
            return os.path.join("c", *map(str, index))
        return ".".join(map(str, index))

    def _chunk_names(self) -> Iterator[str]:
        counts = [range(-(-size // chunk)) for size, chunk in zip(self.shape, self.chunks)]
        return map(self._chunk_name, itertools.product(*counts))

    @property
    def nchunks_initialized(self) -> int:
        """How many of the array's chunks its folder holds now."""
        return sum(os.path.isfile(os.path.join(self.where, name))
                   for name in self._chunk_names())

    def __setitem__(self, index: Any, rows: np.ndarray) -> None:
        # Rows go in by whole chunks along the frame axis (the last may be the
        # array's end); every other axis is one chunk, written whole.
        if not (isinstance(index, tuple) and len(index) == 3 and index[0] is Ellipsis
                and isinstance(index[1], slice) and index[2] == slice(None)):
            raise TypeError(f"a FileArray takes rows as array[..., start:stop, :], not {index!r}")
        start, stop, step = index[1].indices(self.shape[-2])
        rows = np.asarray(rows)
        expected = self.shape[:-2] + (stop - start, self.shape[-1])
        if step != 1 or rows.shape != expected:
            raise ValueError(f"rows of shape {rows.shape} for {expected} at {start}:{stop}")
        if self.chunks[:-2] != self.shape[:-2] or self.chunks[-1] != self.shape[-1]:
            raise ValueError("a FileArray is chunked along its frames only")
        chunk = self.chunks[-2]
        if start % chunk or (stop % chunk and stop != self.shape[-2]):
            raise ValueError(f"rows {start}:{stop} are not whole chunks of {chunk}")
        leading = (0,) * (self.ndim - 2)
        for at in range(start, stop, chunk):
            part = rows[..., at - start:at - start + chunk, :]
            if part.shape[-2] < chunk:  # the last chunk, stored whole, filled out
                whole = np.full(self.chunks, self.fill_value, self.dtype)
                whole[..., :part.shape[-2], :] = part
                part = whole
            data = np.ascontiguousarray(part, dtype=self.dtype).tobytes()
            _put(os.path.join(self.where, self._chunk_name(leading + (at // chunk, 0))), data)
