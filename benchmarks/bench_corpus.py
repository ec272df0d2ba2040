"""Corpus throughput: vorl.corpus.extract on a LocalCluster of 2 worker
processes against one process doing the same tasks (computing each file and
storing it in a Zarr store) one after another, with one thread per file, on 16
files of 30 s of 44.1 kHz audio each. The time of computing the files without
storing them is printed too.

Then short files, as speech corpora hold them: 2,000 files of 0.1 s at 16 kHz
on 2 workers, in ms per file (target: at most 1.5), beside what each file
costs in one process: computing it alone, and computing and storing it as a
worker does, by stage.

The cluster is started, and its workers have imported vorl, soundfile and
Zarr, before the clock runs (the start-up is printed apart): on a real corpus
it is paid once.

    .venv/bin/python benchmarks/bench_corpus.py [--dir /dev/shm]

--dir puts the files and stores in another folder (a tmpfs, to see vorl's own
costs apart from a disk's: many short files make thousands of small files).
"""
import argparse
import contextlib
import functools
import os
import tempfile
import time
import warnings

import numpy as np
import soundfile

import vorl
from vorl import corpus
from vorl.corpus import _store
from vorl.corpus._extract import CLUSTER_CONFIG
from vorl.corpus._metadata import made_by_of
from vorl.corpus._store import Task

RATE, FILES, SECONDS = 44100, 16, 30
SHORT_RATE, SHORT_FILES, SHORT_SECONDS = 16000, 2000, 0.1


def _warm_up():
    import soundfile  # noqa: F401
    import zarr  # noqa: F401

    import vorl.corpus  # noqa: F401


def main():
    from dask.distributed import Client, LocalCluster

    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=None, help="where files and stores go")
    folder = parser.parse_args().dir
    config = vorl.Gammatone(RATE)
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        rng = np.random.default_rng(0)
        paths = []
        for i in range(FILES):
            path = os.path.join(tmp, f"f{i:02d}.wav")
            soundfile.write(path, 0.1 * rng.standard_normal(RATE * SECONDS), RATE, "PCM_16")
            paths.append(path)

        start = time.perf_counter()
        for path in paths:
            config.from_file(path, threads=1)
        compute_only = time.perf_counter() - start
        made_by = made_by_of(config, None)
        start = time.perf_counter()
        for path in paths:
            task = Task(path, os.path.basename(path), made_by, RATE, "bench")
            corpus.extract_one(task, os.path.join(tmp, "one.zarr"), 1)
        one_process = time.perf_counter() - start

        warnings.simplefilter("ignore")
        import dask

        dask.config.set(CLUSTER_CONFIG)  # the cluster as extract starts its own
        for workers in (1, 2):
            started = time.perf_counter()
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=":0") as cluster, Client(cluster) as client:
                client.run(_warm_up)
                ready = time.perf_counter()
                report = corpus.extract(paths, config, os.path.join(tmp, f"w{workers}.zarr"),
                                        client=client, resume=False)
                took = time.perf_counter() - ready
            assert len(report.done) == FILES, report
            print(f"extract, {workers} worker(s): {took:6.2f} s  "
                  f"({one_process / took:.2f}x one process; cluster start {ready - started:.1f} s)")
    audio = FILES * SECONDS
    print(f"one process, the same tasks in turn: {one_process:6.2f} s for {audio} s of audio "
          f"(computing alone: {compute_only:.2f} s)")
    print("target: 2 workers at least 1.7x one process")
    short_files(folder)


# What a worker's file costs, by stage: each of these functions of the store,
# timed where the writer calls it (not inside another of them); the rest is
# opening, reading and computing the file and writing its rows.
STAGES = {"attributes_of": "reading its attributes (resume)",
          "create_array": "creating its array",
          "holds_run": "checking its chunks (completion)",
          "put_attributes": "writing its metadata and mark"}


@contextlib.contextmanager
def stages_timed():
    """Seconds spent in each of STAGES while the block runs, in a dict."""
    spent = dict.fromkeys(STAGES, 0.0)
    depth = [0]
    real = {name: getattr(_store, name) for name in STAGES}

    def timed(name, function):
        @functools.wraps(function)
        def call(*args, **kwargs):
            depth[0] += 1
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                depth[0] -= 1
                if not depth[0]:
                    spent[name] += time.perf_counter() - start
        return call

    for name, function in real.items():
        setattr(_store, name, timed(name, function))
    try:
        yield spent
    finally:
        for name, function in real.items():
            setattr(_store, name, function)


def short_files(folder):
    """Per-file cost of a corpus of short files."""
    import dask
    from dask.distributed import Client, LocalCluster

    config = vorl.Cochleagram(SHORT_RATE)
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        rng = np.random.default_rng(1)
        paths = []
        for i in range(SHORT_FILES):
            path = os.path.join(tmp, "short", f"s{i:04d}.wav")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            soundfile.write(path, 0.1 * rng.standard_normal(int(SHORT_RATE * SHORT_SECONDS)),
                            SHORT_RATE, "PCM_16")
            paths.append(path)
        sample = paths[:200]
        start = time.perf_counter()
        for path in sample:
            config.from_file(path, threads=1)
        compute = (time.perf_counter() - start) / len(sample)
        made_by = made_by_of(config, None)
        tasks = [Task(path, os.path.basename(path), made_by, SHORT_RATE, "bench")
                 for path in sample]
        # As a worker does it: one batch of files, one after another (once
        # before, for Zarr's imports and first calls).
        assert not any(_store.run_batch(tasks[:20], os.path.join(tmp, "warm.zarr")))
        with stages_timed() as spent:
            start = time.perf_counter()
            assert not any(_store.run_batch(tasks, os.path.join(tmp, "one.zarr")))
            stored = time.perf_counter() - start
        with dask.config.set(CLUSTER_CONFIG), \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                             dashboard_address=":0") as cluster, Client(cluster) as client:
            client.run(_warm_up)
            start = time.perf_counter()
            report = corpus.extract(paths, config, os.path.join(tmp, "short.zarr"),
                                    client=client)
            took = time.perf_counter() - start
            assert len(report.done) == SHORT_FILES, report
            start = time.perf_counter()
            again = corpus.extract(paths, config, os.path.join(tmp, "short.zarr"),
                                   client=client)
            resumed = time.perf_counter() - start
            assert len(again.skipped) == SHORT_FILES, again
    import zarr

    # The store's format and files are Zarr's version's.
    print(f"{SHORT_FILES} files of {SHORT_SECONDS:g} s at {SHORT_RATE} Hz, 2 workers, Zarr "
          f"{zarr.__version__}: {took / SHORT_FILES * 1e3:.2f} ms per file (target <= 1.5); "
          f"resumed {resumed / SHORT_FILES * 1e3:.2f} ms per file")
    print(f"  one process, per file: computing {compute * 1e3:.2f} ms, computing and storing "
          f"{stored / len(sample) * 1e3:.2f} ms, of which:")
    for name, seconds in spent.items():
        print(f"    {STAGES[name]:<34} {seconds / len(sample) * 1e3:.2f} ms")
    rest = stored - sum(spent.values())
    print(f"    {'opening, reading, computing, rows':<34} {rest / len(sample) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
