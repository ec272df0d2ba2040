"""One writing run per store: a lock file beside a store in a folder, held with
`flock` and naming the process that holds it."""
from __future__ import annotations

import contextlib
import json
import os
import socket
import time
import warnings
from typing import Any, Iterator, List, Optional

# Beside the store's folder, not in it: Zarr 3 warns of anything in a store that is
# not its own, and a reader would see that while a run holds the lock.
LOCK_SUFFIX = ".vorl-lock"


class StoreLocked(RuntimeError):
    """Another run is writing to the store (`extract` admits one at a time)."""


def _lock_file(store: Any) -> Optional[str]:
    """The lock's path for a store in a local folder, beside it; None for other
    stores (in memory, or behind a URL), which `extract` does not lock. Links
    are resolved: a store named through a link to it, or to a folder above
    it, has the same lock."""
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
    return os.path.realpath(os.fspath(name)) + LOCK_SUFFIX


def _holder(text: str) -> str:
    try:
        who = json.loads(text)
        return f"process {who['pid']} on {who['host']} (started {who['started']})"
    except (ValueError, KeyError, TypeError):
        return "an unknown process"


@contextlib.contextmanager
def store_lock(store: Any, run: str) -> Iterator[None]:
    """Holds the store's lock for the block: an advisory lock (flock) on a file
    beside the store, which the system releases when its holder dies, holding
    the holder's host, process and start. A lock file left with a holder in it
    was left by a run that died: it is taken over, with a warning naming it."""
    import fcntl

    path = _lock_file(store)
    if path is None:
        yield
        return
    folder = path[:-len(LOCK_SUFFIX)]
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
