"""Corpora on a real Dask LocalCluster of two worker processes, into Zarr stores."""
import os
import signal
import threading
import time

import numpy as np
import pytest
import soundfile

pytest.importorskip("dask.distributed")
pytest.importorskip("zarr")
# Dask's sockets and subprocesses are closed by its own machinery, not always
# before the collector notices.
pytestmark = [pytest.mark.filterwarnings("ignore::ResourceWarning"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning"),
              pytest.mark.filterwarnings("ignore::DeprecationWarning")]

import vorl
from vorl import corpus

RATE = 16000


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """WAV and FLAC files, two of the same stem in different folders, and a corrupt one."""
    root = tmp_path_factory.mktemp("corpus")
    (root / "sub").mkdir()
    rng = np.random.default_rng(4)
    made = []
    for name, subtype, seconds in [("speech.wav", "PCM_16", 1.0), ("speech.flac", "PCM_24", 1.5),
                                   ("sub/speech.wav", "FLOAT", 0.7), ("sub/long.wav", "PCM_16", 6)]:
        soundfile.write(root / name, 0.3 * rng.standard_normal((int(seconds * RATE), 2)), RATE,
                        subtype=subtype)
        made.append(root / name)
    (root / "broken.wav").write_bytes(b"RIFF not really audio")
    return root, made, root / "broken.wav"


@pytest.fixture(scope="module")
def client():
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as c:
        yield c


CONFIG = vorl.Cochleagram(RATE, num_bands=16, channel=None, temporal_integration=0.005)


def expected(path):
    signal, _ = vorl.load(path)
    return CONFIG(signal)


def test_extract_stores_every_file_bit_for_bit(files, client, tmp_path):
    root, good, broken = files
    store = tmp_path / "f.zarr"
    report = corpus.extract([*good, broken], CONFIG, str(store), client=client)
    assert set(report.done.values()) == {"speech.wav", "speech.flac", "sub/speech.wav",
                                         "sub/long.wav"}
    assert list(report.failed) == [str(broken)] and "Cannot read audio file" in str(report)
    opened = corpus.open(str(store))
    assert sorted(opened) == sorted(report.done.values())
    for path, key in report.done.items():
        assert np.array_equal(opened[key][...], expected(path))
        meta = opened.metadata(key)
        assert meta["sample_rate"] == RATE and meta["hop_length"] == 512
        assert meta["center_frequencies"] == list(CONFIG.center_frequencies)
        assert meta["vorl_version"] == vorl.__version__ and meta["source"]["path"] == path
        assert opened.configuration(key) == CONFIG

    again = corpus.extract([*good, broken], CONFIG, str(store), client=client)
    assert not again.done and len(again.skipped) == 4 and list(again.failed) == [str(broken)]


def test_interrupted_and_changed_files_are_redone(files, client, tmp_path):
    import zarr

    root, good, _ = files
    store = tmp_path / "g.zarr"
    corpus.extract(good[:2], CONFIG, str(store), client=client)
    group = zarr.open_group(str(store), mode="a")
    del group["speech.wav"].attrs["vorl_complete"]  # as if its task had been cut short
    group["speech.wav"][...] = 0
    os.utime(good[1], ns=(time.time_ns(), time.time_ns()))  # speech.flac changed
    report = corpus.extract(good[:2], CONFIG, str(store), client=client)
    assert sorted(report.done.values()) == ["speech.flac", "speech.wav"]
    assert np.array_equal(corpus.open(str(store))["speech.wav"][...], expected(good[0]))


def test_a_worker_killed_mid_run(files, tmp_path):
    from dask.distributed import Client, LocalCluster

    root, good, _ = files
    longs = []
    for i in range(6):  # work long enough to kill a worker in the middle of it
        path = tmp_path / f"long{i}.wav"
        soundfile.write(path, np.random.default_rng(i).standard_normal(RATE * 20) * 0.1, RATE)
        longs.append(path)
    config = vorl.Gammatone(RATE, num_bands=64)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        killed = []

        def kill_a_busy_worker():
            while not killed:
                busy = [w for w, tasks in client.processing().items() if tasks]
                if busy:
                    os.kill(pids[busy[0]], signal.SIGKILL)
                    killed.append(busy[0])
                time.sleep(0.01)

        threading.Thread(target=kill_a_busy_worker, daemon=True).start()
        report = corpus.extract(longs, config, str(tmp_path / "k.zarr"), client=client)
    assert killed
    assert not report.failed and len(report.done) == 6
    opened = corpus.open(str(tmp_path / "k.zarr"))
    for path in longs:
        signal_, _ = vorl.load(path)
        assert np.array_equal(opened[path.name][...], config(signal_))


def test_keys_keep_folders_apart(files):
    root, good, _ = files
    keys = corpus.keys_for([*good, good[0]])
    assert sorted(keys.values()) == ["speech.flac", "speech.wav", "sub/long.wav",
                                     "sub/speech.wav"]
