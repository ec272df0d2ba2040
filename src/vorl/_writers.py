"""Output files of features, written as the rows come (bounded memory) and only
whole: a `.npy` with its `.json` beside it, and an `.npz` archive. The Zarr writer
is the corpus's (`vorl.corpus`)."""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Dict, Iterator, Optional, Tuple

import numpy as np


class Unwritable(Exception):
    """An output that can no longer be written whole (a full disk under an archive)."""


def write_npy(target: Path, blocks: Iterator[np.ndarray], shape: Tuple[int, int],
               metadata: Optional[str] = None) -> None:
    """Writes the rows as they come, under a temporary name that becomes `target`
    only once every row is written; an interrupted run leaves no `target`.

    With `metadata`, it goes into the `.json` beside `target`, also under a
    temporary name, renamed into place before the rows and after any earlier
    `target` is removed: a `.npy` only ever stands beside its own `.json`.
    """
    partial = target.with_name(target.name + ".part")
    about = target.with_suffix(".json")
    about_partial = about.with_name(about.name + ".part")
    try:
        with open(partial, "wb") as out:
            np.lib.format.write_array_header_1_0(
                out, {"descr": np.lib.format.dtype_to_descr(np.dtype(np.float64)),
                      "fortran_order": False, "shape": shape})
            written = 0
            for block in blocks:
                out.write(np.ascontiguousarray(block, dtype=np.float64).tobytes())
                written += len(block)
        if written != shape[0]:
            raise ValueError(f"the file gave {written} frames, its header promised {shape[0]}")
        if metadata is not None:
            about_partial.write_text(metadata)
            target.unlink(missing_ok=True)
            os.replace(about_partial, about)
        os.replace(partial, target)
    except BaseException:
        partial.unlink(missing_ok=True)
        about_partial.unlink(missing_ok=True)
        raise


class NpzArchive:
    """An .npz written array by array as the rows come (bounded memory), with a
    `metadata` entry (JSON) naming every array's source and settings; it
    exists under its name only once closed, and only whole: a member that
    cannot be written (a full disk) means no archive at all."""

    METADATA = "metadata"  # the member np.load names so

    def __init__(self, target: Path) -> None:
        import zipfile

        self.target = target
        self.partial = target.with_name(target.name + ".part")
        self.zip: Optional[zipfile.ZipFile] = zipfile.ZipFile(self.partial, "w", allowZip64=True)
        self.metadata: Dict[str, object] = {}

    def add(self, key: str, blocks: Iterator[np.ndarray], shape: Tuple[int, int],
            metadata: Dict[str, object]) -> None:
        """One array, first into a file of its own, so that a file failing half-way
        leaves nothing in the archive. Raises `Unwritable` if the archive or that
        file cannot be written: the archive would then lack a member."""
        assert self.zip is not None
        self.check_name(key)
        member = self.partial.with_name(self.partial.name + ".member.npy")
        # Reading the file raises ValueError (AudioFile turns the system's errors
        # into it), so an OSError here is the archive's own: a full disk.
        try:
            write_npy(member, blocks, shape)
            self.zip.write(member, arcname=f"{key}.npy")
        except OSError as error:
            raise Unwritable(f"cannot write {self.target}: {error}; no archive written") from error
        finally:
            member.unlink(missing_ok=True)
        self.metadata[key] = metadata

    def check_name(self, key: str) -> None:
        """Refuses a key whose member np.load would not give back: the metadata's
        name, one already written, or one whose name with ".npy" dropped is
        another's (np.load looks a name up with and without it)."""
        names = {self.METADATA, *self.metadata}
        clash = key in names or (key.endswith(".npy") and key[:-4] in names) or \
            any(other.endswith(".npy") and other[:-4] == key for other in self.metadata)
        if clash:
            raise ValueError(f"its name in the archive, {key!r}, is taken by "
                             + ("the archive's metadata" if key in (self.METADATA,
                                                                     self.METADATA + ".npy")
                                else "another member") + "; write it to a folder instead")

    def close(self) -> None:
        assert self.zip is not None
        try:
            with self.zip.open(f"{self.METADATA}.npy", "w") as out:
                np.lib.format.write_array(out, np.array(json.dumps(self.metadata)))
            self.zip.close()
            self.zip = None
            os.replace(self.partial, self.target)
        except OSError as error:
            raise Unwritable(f"cannot write {self.target}: {error}; no archive written") from error

    def discard(self) -> None:
        if self.zip is not None:
            try:
                self.zip.close()
            except OSError:  # a full disk: the partial archive goes anyway
                pass
            self.zip = None
        self.partial.unlink(missing_ok=True)
