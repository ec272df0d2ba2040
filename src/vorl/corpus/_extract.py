"""`extract`: the files of a corpus into a store, on a Dask cluster, short files
grouped into tasks; what it did, in a `Report`."""
from __future__ import annotations

import contextlib
import os
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .._config import Config
from .._validate import positive_count
from ._common import PathLike
from ._keys import common_folder, key_map, real_path, store_path
from ._lock import store_lock
from ._metadata import cepstral, made_by_of
from ._store import (
    COMPLETE,
    ROOT,
    RUN,
    STORE_MADE_BY,
    Task,
    attributes_of,
    existing_group,
    made_alike,
    open_group,
    reason_of,
    recorded_arrays,
    remove_made_otherwise,
    run_batch,
    store_entry,
    unchanged,
)


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
        from .._io import passed_over_summary

        lines = [f"{len(self.done)} done, {len(self.skipped)} skipped, "
                 f"{len(self.failed)} failed"]
        lines += [f"  {path}: {reason}" for path, reason in self.failed.items()]
        if self.passed_over:
            lines.append("  " + passed_over_summary(self.passed_over))
        if self.removed:
            lines.append(f"  {len(self.removed)} array(s) of another configuration removed")
        return "\n".join(lines)


# Files are grouped into Dask tasks of at least this many bytes of audio (a
# minute of 16 kHz speech), so that short files do not each pay a task's and a
# store's overhead, and of at most a quarter of each worker's share of the files.
BATCH_BYTES = 2 << 20


def batches(todo: Sequence[Task], parallel: int) -> List[List[Task]]:
    """The tasks in groups, in order: a long file alone, short ones together."""
    most = max(1, -(-len(todo) // (4 * max(parallel, 1))))
    batches: List[List[Task]] = []
    size = 0
    for task in todo:
        try:
            length = os.path.getsize(task.path)
        except OSError:
            length = BATCH_BYTES  # its own task, which says what is wrong
        if (not batches or size >= BATCH_BYTES or length >= BATCH_BYTES
                or len(batches[-1]) >= most):
            batches.append([])
            size = 0
        batches[-1].append(task)
        size += length
    return batches


ConfigLike = Union[Config, Callable[[int], Config]]


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
    from .._io import expand

    if resume not in (True, False, "content"):
        raise ValueError(f"resume must be True, False or 'content', not {resume!r}")
    if workers is not None:
        workers = positive_count("workers", workers)
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    if gfcc is None and deltas:
        raise ValueError("deltas go with gfcc: the deltas of cepstral coefficients")
    features = None if gfcc is None else cepstral(gfcc, deltas)
    files, passed_over = expand(list(paths))
    run = uuid.uuid4().hex
    with store_lock(store, run):
        report = _extract(files, config, store, client, workers, resume, overwrite, resample,
                          run, None if root is None else real_path(root), features)
    report.passed_over = passed_over
    return report


def _extract(files: List[str], config: ConfigLike, store: Any, client: Any,
             workers: Optional[int], resume: Union[bool, str], overwrite: bool,
             resample: bool, run: str, root: Optional[str],
             features: Optional[Mapping[str, Any]] = None) -> Report:
    """`extract` once the store is locked."""
    from .._io import check_openable, resampler, sample_rate_of

    existing = existing_group(store)
    if root is None:
        root = None if existing is None else existing.attrs.get(ROOT)
    if root is None:
        root = common_folder(files)
    keys, outside = key_map(files, root)
    report = Report()
    for path in outside:
        report.failed[path] = (f"lies outside {root}, the folder this store's keys are "
                               "relative to; write it to another store"
                               if os.path.exists(path) else f"No such audio file: {path!r}")
    configs: Dict[int, Config] = {}
    made_bys: Dict[Tuple[int, int], Dict[str, Any]] = {}  # (analysis rate, file rate)
    # One configuration and no resampling: the worker checks each file's rate as
    # it opens it, so here a file is only checked to open (no header is parsed).
    one = isinstance(config, Config) and not resample
    todo: List[Task] = []
    for path, key in keys.items():
        try:
            if one:
                check_openable(path)
                rate = config.sample_rate  # type: ignore[union-attr]
            else:
                rate = sample_rate_of(path)
            if callable(config) and not isinstance(config, Config):
                if rate not in configs:
                    configs[rate] = config(rate)
                chosen = configs[rate]
            else:
                chosen = configs.setdefault(config.sample_rate, config)
            which = (chosen.sample_rate, rate)
            if which not in made_bys:
                made_bys[which] = made_by_of(
                    chosen, resampler(rate, chosen.sample_rate) if resample else None, features)
        except (OSError, RuntimeError, ValueError) as error:  # one file's problem is its own
            report.failed[path] = reason_of(path, error)
            continue
        todo.append(Task(path, key, made_bys[which], rate, run, content=resume == "content"))
    if not todo:
        return report
    made = {str(rate): store_entry(made_by_of(c, None, features)) for rate, c in configs.items()}
    recorded = {} if existing is None else recorded_arrays(existing)
    differing = [(rate, recorded[rate], entry) for rate, entry in made.items()
                 if rate in recorded and recorded[rate] != entry]
    # Each array's attributes, read once: for what was made otherwise, and for resuming.
    attrs_of = {} if existing is None else {t.key: attributes_of(existing, t.key) for t in todo}
    stale = [t for t in todo if attrs_of.get(t.key, {}).get(COMPLETE)
             and not made_alike(attrs_of[t.key], t.made_by)]
    if (differing or stale) and not overwrite:
        raise ValueError(f"the store {store!r} was made otherwise than this run would make "
                         f"it: {_difference(differing, stale, existing)}. Write to another "
                         "store, or pass overwrite=True (vorl features --overwrite) to redo "
                         "the whole store in this run's configuration")
    group = open_group(store, "a")
    if differing or stale:  # with overwrite: the whole store in this run's configuration
        report.removed = remove_made_otherwise(group, made, {t.key for t in todo})
        recorded = {}
        attrs_of = {t.key: attributes_of(group, t.key) for t in todo}
    if resume:
        remaining = []
        for task in todo:
            attrs = attrs_of.get(task.key, {})
            if (attrs.get(COMPLETE) and made_alike(attrs, task.made_by)
                    and unchanged(attrs, task.path, content=resume == "content")):
                report.skipped[task.path] = task.key
            else:
                remaining.append(task)
        todo = remaining
    if group.attrs.get(ROOT) != root:
        group.attrs[ROOT] = root
    group.attrs[STORE_MADE_BY] = {**recorded, **made}
    if not todo:
        return report
    for task in todo:
        parent = store_path(task.key).rpartition("/")[0]
        if parent:
            group.require_group(parent)  # made here, not by two tasks at once
    # Nothing is reported done that is not complete in the store as this run
    # made it, read here, where the run's store is opened: this catches writes
    # that landed elsewhere. A batch is checked as it ends, while others run (an
    # array this run completed is never written again in it).
    written = open_group(store, "r")
    with _client(client, workers) as running:
        from dask.distributed import as_completed

        parallel = len(running.scheduler_info().get("workers", {})) or workers or 1
        futures = {running.submit(run_batch, batch, store, pure=False): batch
                   for batch in batches(todo, parallel)}
        for future in as_completed(futures):
            batch = futures[future]
            try:
                failures = future.result()
            except Exception as error:  # the task itself was lost (its worker died twice)
                failures = [reason_of(task.path, error) for task in batch]
            for task, failure in zip(batch, failures):
                attrs = attributes_of(written, task.key) if failure is None else {}
                if failure is None and not (attrs.get(COMPLETE) and attrs.get(RUN) == run
                                            and made_alike(attrs, task.made_by)):
                    failure = "its array is not complete in the store"
                if failure is None:
                    report.done[task.path] = task.key
                else:
                    report.failed[task.path] = failure
    return report


def _positive(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
    return int(value)


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


def _difference(differing: List[Tuple[str, Any, Any]], stale: List[Task], group: Any) -> str:
    """What differs between the store and this run, field by field."""
    if differing:
        rate, stored, this = differing[0]
        return f"at {rate} Hz, " + "; ".join(_fields(stored, this))
    task = stale[0]
    return f"{task.key!r}: " + "; ".join(_fields(attributes_of(group, task.key), task.made_by))


# The Dask configuration of the cluster that `extract` starts itself:
# - workers sample their own stacks for Dask's profiler by default, which here
#   costs several per cent of the work and shows nobody anything;
# - Dask starts workers with MALLOC_TRIM_THRESHOLD_=65536, which turns glibc's
#   adaptive threshold off, so that every allocation of 128 KiB or more (a
#   block of samples, of rows) maps fresh pages from the system: workers
#   computed long files 15-20% slower than one process did.
CLUSTER_CONFIG = {"distributed.worker.profile.enabled": False,
                  "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}


@contextlib.contextmanager
def _client(client: Any, workers: Optional[int]) -> Iterator[Any]:
    """The caller's client, or one of a LocalCluster that lives for the block."""
    if client is not None:
        yield client
        return
    import dask
    from dask.distributed import Client, LocalCluster

    with dask.config.set(CLUSTER_CONFIG):
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1,
                               threads_per_worker=1, processes=True, dashboard_address=":0")
    try:
        with Client(cluster) as own:
            yield own
    finally:
        cluster.close()
