"""Keys: an audio file's name in a store, made from its path relative to the folder
the store was made for, and escaped where it becomes a path of the store."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple
from urllib.parse import unquote

from ._common import PathLike


def real_path(path: PathLike) -> str:
    # realpath never raises, where Path.resolve raises on a symbolic-link loop.
    return os.path.realpath(os.fspath(path))


def real_paths(paths: Sequence[PathLike]) -> List[str]:
    """`real_path` of each path, each folder resolved once (a corpus holds many
    files per folder, and resolving a path reads each of its parts)."""
    folders: Dict[str, str] = {}
    real = []
    for path in paths:
        head, tail = os.path.split(os.fspath(path))
        if tail in ("", os.curdir, os.pardir):
            real.append(real_path(path))
            continue
        if head not in folders:
            folders[head] = real_path(head or os.curdir)
        # The file's own name may be a link too: resolved as realpath does.
        joined = os.path.join(folders[head], tail)
        real.append(real_path(joined) if os.path.islink(joined) else joined)
    return real


def file_names(paths: Sequence[PathLike]) -> List[str]:
    """Each file's name in keys and reports: its real path, or, where there is
    no file (a dangling or looping link, a missing file), its own absolute path."""
    return [real if os.path.exists(real) else os.path.abspath(path)
            for path, real in zip(paths, real_paths(paths))]


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
    real = [real_path(p) for p in paths]
    existing = [p for p in real if os.path.isfile(p)] or real
    if not existing:
        return os.getcwd()
    return os.path.commonpath([os.path.dirname(p) for p in existing])


def key_map(paths: Sequence[PathLike], root: str) -> Tuple[Dict[str, str], List[str]]:
    """(real path -> key for the files below `root`, the real paths of the others)."""
    keys: Dict[str, str] = {}
    outside: List[str] = []
    for real in file_names(paths):
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
    folder = common_folder(paths) if root is None else real_path(root)
    keys, outside = key_map(paths, folder)
    if outside:
        raise ValueError(f"{outside[0]!r} lies outside {folder!r}, which keys are relative to")
    return keys


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
