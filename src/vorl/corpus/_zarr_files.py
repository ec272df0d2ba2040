"""Arrays of Zarr's format 3 in a store on the local file system, written and read
as the files they are: a metadata file (``zarr.json``) and one file per chunk,
each written whole under a temporary name and then renamed into place, as Zarr
writes them.

Zarr 3 spends about 3.5 ms of its own Python creating, writing, re-reading and
marking one array, where a short file takes a tenth of that to compute. The
layout stays Zarr's: the metadata are those Zarr writes for an array of the same
kind (see `_store.create_array`), in which only the shape, the chunks' shape and
the attributes are set here, and only arrays whose chunks are plain little-endian
bytes, under Zarr's default chunk names, are written here.
"""
from __future__ import annotations

import contextlib
import itertools
import json
import math
import os
import shutil
import uuid
from typing import Any, Dict, Iterator, Mapping, Optional, Tuple

import numpy as np

METADATA = "zarr.json"
_PLAIN_CODECS = [{"name": "bytes", "configuration": {"endian": "little"}}]
_DEFAULT_KEYS = {"name": "default", "configuration": {"separator": "/"}}


def folder_of(group: Any) -> Optional[str]:
    """The folder of a Zarr 3 `group` of format 3 whose store is a local folder
    open for writing or reading; None for any other store."""
    from zarr.storage import LocalStore

    if not isinstance(group.store, LocalStore) or group.metadata.zarr_format != 3:
        return None
    return os.path.join(os.fspath(group.store.root), *group.path.split("/"))


def writable(metadata: Mapping[str, Any]) -> bool:
    """Whether an array of this metadata is one this module writes: regular chunks
    of plain little-endian bytes under default chunk names, a numeric fill value."""
    return (metadata.get("node_type") == "array" and metadata.get("zarr_format") == 3
            and metadata.get("codecs") == _PLAIN_CODECS
            and metadata.get("chunk_key_encoding") == _DEFAULT_KEYS
            and metadata.get("chunk_grid", {}).get("name") == "regular"
            and not metadata.get("storage_transformers")
            and isinstance(metadata.get("fill_value"), (int, float)))


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


def _node(folder: str, path: str) -> str:
    return os.path.join(folder, *path.split("/"))


def read_metadata(where: str) -> Optional[Dict[str, Any]]:
    """The metadata of the node in the folder `where`; None where there is none."""
    try:
        with open(os.path.join(where, METADATA), "rb") as file:
            return dict(json.loads(file.read()))
    except (FileNotFoundError, NotADirectoryError):
        return None


def attributes(folder: str, path: str) -> Dict[str, Any]:
    """The attributes of the array at `path` below `folder`; empty where there is
    no array."""
    metadata = read_metadata(_node(folder, path))
    if metadata is None or metadata.get("node_type") != "array":
        return {}
    return dict(metadata.get("attributes") or {})


def parents_exist(folder: str, path: str) -> bool:
    """Whether every folder from `folder` down to `path` below it is a group.

    Raises
    ------
    ValueError
        If one of them is an array, which can hold no other node (as Zarr says).
    """
    where = folder
    for part in path.split("/"):
        where = os.path.join(where, part)
        metadata = read_metadata(where)
        if metadata is None:
            return False
        if metadata.get("node_type") != "group":
            raise ValueError(f"A parent of {where!r} is an array - only groups may have "
                             "child nodes.")
    return True


class FileArray:
    """An array written as files: to the writer, a Zarr array that takes its rows
    by whole chunks (``array[..., start:stop, :] = rows``) and counts its chunks
    afresh from the folder.

    Parameters
    ----------
    where : str
        The array's folder.
    metadata : dict
        Its metadata, as `writable` takes them.
    """

    def __init__(self, where: str, metadata: Dict[str, Any]) -> None:
        self.where = where
        self.metadata = metadata
        self.shape: Tuple[int, ...] = tuple(metadata["shape"])
        self.chunks: Tuple[int, ...] = tuple(metadata["chunk_grid"]["configuration"]
                                             ["chunk_shape"])
        self.ndim = len(self.shape)
        self.dtype = np.dtype(metadata["data_type"]).newbyteorder("<")
        self.fill_value = metadata["fill_value"]

    @classmethod
    def create(cls, folder: str, path: str, metadata: Dict[str, Any]) -> "FileArray":
        """Makes the array at `path` below `folder` afresh: whatever lay there is
        removed first, as Zarr does when it overwrites. Its parents must be groups."""
        where = _node(folder, path)
        if os.path.isdir(where) and not os.path.islink(where):
            shutil.rmtree(where)
        elif os.path.lexists(where):
            os.unlink(where)
        array = cls(where, metadata)
        array._put_metadata()
        return array

    def _put_metadata(self) -> None:
        _put(os.path.join(self.where, METADATA),
             json.dumps(self.metadata, allow_nan=True).encode())

    def put_attributes(self, attributes: Mapping[str, Any]) -> None:
        """Makes `attributes` the whole of the array's attributes, in one write."""
        self.metadata["attributes"] = dict(attributes)
        self._put_metadata()

    @property
    def nchunks(self) -> int:
        return math.prod(-(-size // chunk) for size, chunk in zip(self.shape, self.chunks))

    def _chunk_names(self) -> Iterator[str]:
        counts = [range(-(-size // chunk)) for size, chunk in zip(self.shape, self.chunks)]
        for index in itertools.product(*counts):
            yield "/".join(["c", *map(str, index)])

    @property
    def nchunks_initialized(self) -> int:
        """How many of the array's chunks its folder holds now."""
        return sum(os.path.isfile(os.path.join(self.where, *name.split("/")))
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
        leading = "/".join(["c"] + ["0"] * (self.ndim - 2))
        for at in range(start, stop, chunk):
            part = rows[..., at - start:at - start + chunk, :]
            if part.shape[-2] < chunk:  # the last chunk, stored whole, filled out
                whole = np.full(self.chunks, self.fill_value, self.dtype)
                whole[..., :part.shape[-2], :] = part
                part = whole
            data = np.ascontiguousarray(part, dtype=self.dtype).tobytes()
            _put(os.path.join(self.where, *f"{leading}/{at // chunk}/0".split("/")), data)
