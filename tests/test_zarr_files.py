"""Arrays of a local Zarr store, written as files without Zarr: the same files and
bytes as Zarr writes, in either format, replaced whole or not at all."""
import json
import os

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")

from vorl.corpus import _store  # noqa: E402 - after the skips
from vorl.corpus._zarr_files import FileArray  # noqa: E402

ZARR3 = hasattr(zarr.Group, "create_array")
FORMATS = [2, 3] if ZARR3 else [2]  # Zarr 3 writes both


def _in_memory(zarr_format):
    """A group whose files Zarr itself writes, and a function giving them."""
    stored = {}
    if ZARR3:
        from zarr.storage import MemoryStore

        group = zarr.open_group(MemoryStore(store_dict=stored), mode="w", zarr_format=zarr_format)
        return group, lambda: {name: value.to_bytes() for name, value in stored.items()}
    return zarr.open_group(stored, mode="w"), lambda: dict(stored)


def _in_folder(folder, zarr_format):
    return zarr.open_group(str(folder), mode="w",
                           **({"zarr_format": zarr_format} if ZARR3 else {}))


def _files_of(folder):
    return {path.relative_to(folder).as_posix(): path.read_bytes()
            for path in folder.rglob("*") if path.is_file()}


@pytest.mark.parametrize("zarr_format", FORMATS)
@pytest.mark.parametrize("shape, dtype, cepstra", [
    ((5, 16), "float32", False),           # less than a chunk
    ((2, 4097, 8), "float64", True),       # channels; a chunk and one row
    ((8192, 4), "float32", False),         # whole chunks only
    ((0, 16), "float64", False),           # no rows, no chunks
])
def test_an_array_written_as_files_is_what_zarr_writes(tmp_path, zarr_format, shape, dtype,
                                                       cepstra):
    rows = np.random.default_rng(1).standard_normal(shape).astype(dtype)
    whole = shape[-2] // _store.ROWS_PER_CHUNK * _store.ROWS_PER_CHUNK
    by_zarr, stored = _in_memory(zarr_format)
    by_files = _in_folder(tmp_path / "s.zarr", zarr_format)
    made = []
    for group in (by_zarr, by_files):
        # As the writer does it: whole chunks first, then the rest.
        array = _store.create_array(group, "sub/a%25.wav", shape, np.dtype(dtype), cepstra,
                                    {"vorl_run": "r"})
        for start, stop in ((0, whole), (whole, shape[-2])):
            if stop > start:
                array[..., start:stop, :] = rows[..., start:stop, :]
        _store.put_attributes(group, array, {"vorl_run": "r", "list": [1, 2.5, "x"]}, cepstra)
        made.append(array)
    assert isinstance(made[1], FileArray) and not isinstance(made[0], FileArray)
    files, stored = _files_of(tmp_path / "s.zarr"), stored()
    assert sorted(files) == sorted(stored)
    for name, data in files.items():
        if name.rpartition("/")[2] in ("zarr.json", ".zarray", ".zattrs", ".zgroup"):
            assert json.loads(data) == json.loads(stored[name]), name
        else:
            assert data == stored[name], name
    assert made[1].nchunks_initialized == made[1].nchunks == made[0].nchunks
    read = zarr.open_group(str(tmp_path / "s.zarr"), mode="r")["sub/a%25.wav"]
    assert np.array_equal(read[...], rows) and read.attrs["list"] == [1, 2.5, "x"]
    assert _store.attributes_of(by_files, "sub/a%.wav") == dict(read.attrs)
    if made[1].nchunks:  # a chunk lost is seen at once
        first = (os.path.join("c", *["0"] * len(shape)) if zarr_format == 3
                 else ".".join(["0"] * len(shape)))
        os.remove(tmp_path / "s.zarr" / "sub" / "a%25.wav" / first)
        assert made[1].nchunks_initialized == made[1].nchunks - 1


@pytest.mark.parametrize("zarr_format", FORMATS)
def test_an_array_written_as_files_replaces_what_lay_there_but_never_an_arrays_parent(
        tmp_path, zarr_format):
    group = _in_folder(tmp_path / "s.zarr", zarr_format)
    group.require_group("a/b")
    _store.create_array(group, "a", (3, 4), np.dtype("float32"))
    assert not (tmp_path / "s.zarr" / "a" / "b").exists()
    assert isinstance(zarr.open_group(str(tmp_path / "s.zarr"), mode="r")["a"], zarr.Array)
    with pytest.raises(ValueError, match="is an array"):
        _store.create_array(group, "a/c", (3, 4), np.dtype("float32"))
    assert not (tmp_path / "s.zarr" / "a" / "c").exists()
    group.require_group("g")
    assert all(_store.attributes_of(group, key) == {} for key in ("a/c", "x", "g"))


@pytest.mark.parametrize("zarr_format", FORMATS)
def test_a_file_array_takes_whole_chunks_and_keeps_its_attributes_if_a_write_fails(
        tmp_path, monkeypatch, zarr_format):
    group = _in_folder(tmp_path / "s.zarr", zarr_format)
    array = _store.create_array(group, "a", (5000, 2), np.dtype("float64"), False,
                                {"vorl_run": "r"})
    rows = np.ones((5000, 2))
    for index, value, error in [(np.s_[..., 1:4097, :], rows[1:4097], ValueError),
                                (np.s_[..., 0:10, :], rows[:10], ValueError),
                                (np.s_[..., 0:4096, :], rows[:10], ValueError),
                                (np.s_[0:4096], rows[:4096], TypeError)]:
        with pytest.raises(error):
            array[index] = value
    assert array.nchunks_initialized == 0
    before = sorted(os.listdir(tmp_path / "s.zarr" / "a"))

    def failing(*args):
        raise OSError("disk full")

    monkeypatch.setattr(os, "replace", failing)
    with pytest.raises(OSError, match="disk full"):
        _store.put_attributes(group, array, {"vorl_run": "r", "vorl_complete": True})
    monkeypatch.undo()
    assert sorted(os.listdir(tmp_path / "s.zarr" / "a")) == before  # no partial file left
    attributes = _store.attributes_of(group, "a")
    assert attributes["vorl_run"] == "r" and "vorl_complete" not in attributes
