"""Corpora on a real Dask LocalCluster of two worker processes, into Zarr stores."""
import os
from pathlib import Path
import signal
import subprocess
import sys
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


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """Files at four rates in four formats, the same names in different folders."""
    root = tmp_path_factory.mktemp("mixed")
    rng = np.random.default_rng(21)
    for name, rate, fmt in [("a/speech.wav", 16000, "WAV"), ("b/speech.wav", 48000, "WAV"),
                            ("b/speech.flac", 22050, "FLAC"), ("c/tone.ogg", 44100, "OGG"),
                            ("c/speech.mp3", 48000, "MP3")]:
        (root / name).parent.mkdir(exist_ok=True)
        soundfile.write(root / name, 0.2 * rng.standard_normal((int(0.8 * rate), 2)), rate,
                        format=fmt)
    return root


def direct(path, cls=vorl.Gammatone, **kwargs):
    signal, rate = vorl.load(path)
    return cls(rate, **kwargs)(signal)


def test_mixed_rates_and_names_through_every_output(mixed, client, tmp_path, capsys):
    import json

    from vorl.cli import main

    files = sorted(str(p) for p in mixed.rglob("*.*"))
    keys = corpus.keys_for(files)
    assert sorted(keys.values()) == ["a/speech.wav", "b/speech.flac", "b/speech.wav",
                                     "c/speech.mp3", "c/tone.ogg"]
    address = ["--scheduler", client.scheduler.address]
    assert main(["features", str(mixed), "-o", str(tmp_path / "f.zarr"), *address]) == 0
    assert "different sample rates" in capsys.readouterr().err
    assert main(["features", str(mixed), "-o", str(tmp_path / "all.npz"), "--quiet"]) == 0
    assert main(["features", str(mixed), "-o", str(tmp_path / "grams"), "--quiet"]) == 0
    stored = corpus.open(str(tmp_path / "f.zarr"))
    with np.load(tmp_path / "all.npz") as archive:
        assert sorted(stored) == sorted(keys.values()) == sorted(set(archive.files) - {"metadata"})
        for path, key in keys.items():
            want = direct(path, vorl.Cochleagram)  # the command's default
            assert np.array_equal(stored[key][...], want), key
            assert np.array_equal(archive[key], want), key
            assert np.array_equal(np.load(tmp_path / "grams" / f"{key}.npy"), want), key
            meta = json.loads((tmp_path / "grams" / f"{key}.json").read_text())
            assert meta["sample_rate"] == meta["source"]["sample_rate"] == soundfile.info(path).samplerate
    assert main(["features", str(mixed), "-o", str(tmp_path / "f.zarr"), *address]) == 0
    assert "0 done, 5 unchanged" in capsys.readouterr().err


def test_keys_stay_with_the_store_for_subsets_supersets_and_bad_paths(mixed, client, tmp_path):
    store = str(tmp_path / "s.zarr")
    some = [mixed / "a/speech.wav", mixed / "b/speech.wav"]
    config = vorl.Cochleagram  # each file at its own rate
    report = corpus.extract(some[:1] + [tmp_path / "nowhere" / "x.wav"], config, store,
                            client=client)
    assert list(report.done.values()) == ["speech.wav"]  # keys relative to a/
    assert "No such audio file" in report.failed[str(tmp_path / "nowhere" / "x.wav")]
    report = corpus.extract(some, config, store, client=client)
    assert report.skipped == {str(some[0]): "speech.wav"}
    assert "outside" in report.failed[str(some[1])]  # b/ is not below a/: refused, not rekeyed
    assert sorted(corpus.open(store)) == ["speech.wav"]


def test_a_store_made_otherwise_is_refused_or_overwritten(mixed, client, tmp_path):
    store = str(tmp_path / "o.zarr")
    files = [mixed / "a/speech.wav", mixed / "b/speech.flac"]
    corpus.extract(files, lambda rate: vorl.Gammatone(rate, num_bands=64), store, client=client)
    narrower = lambda rate: vorl.Gammatone(rate, num_bands=48)  # noqa: E731
    with pytest.raises(ValueError, match=r"num_bands 64 in the store, 48 in this run") as refused:
        corpus.extract(files, narrower, store, client=client)
    # Only the fields that differ, not two whole configurations.
    assert "low_Hz" not in str(refused.value) and "overwrite=True" in str(refused.value)
    report = corpus.extract(files, narrower, store, client=client, overwrite=True)
    assert len(report.done) == 2
    stored = corpus.open(store)
    for path in files:
        key = corpus.keys_for(files)[str(path)]
        assert np.array_equal(stored[key][...], direct(path, num_bands=48))
        assert stored.configuration(key).num_bands == 48


def test_resume_by_content_sees_files_copied_with_their_times(mixed, client, tmp_path):
    import shutil

    path = tmp_path / "c.wav"
    shutil.copy2(mixed / "a/speech.wav", path)
    store = str(tmp_path / "c.zarr")
    corpus.extract([path], vorl.Cochleagram, store, client=client)
    data, rate = soundfile.read(path)
    stat = path.stat()
    soundfile.write(path, -data, rate, subtype="PCM_16")  # other bytes, same size and time
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert len(corpus.extract([path], vorl.Cochleagram, store, client=client).skipped) == 1
    report = corpus.extract([path], vorl.Cochleagram, store, client=client, resume="content")
    assert len(report.done) == 1
    assert np.array_equal(corpus.open(store)["c.wav"][...], direct(path, vorl.Cochleagram))
    with pytest.raises(ValueError, match="resume must be"):
        corpus.extract([path], vorl.Cochleagram, store, client=client, resume="sometimes")


def test_resampled_corpus_records_the_resampler(mixed, client, tmp_path):
    import soxr

    store = str(tmp_path / "r.zarr")
    config = vorl.Cochleagram(16000, num_bands=24)
    files = [mixed / "a/speech.wav", mixed / "c/speech.mp3"]
    failed = corpus.extract(files, config, store, client=client).failed
    assert "48000 samples per second" in failed[str(files[1])] and "resample=True" in failed[str(files[1])]
    report = corpus.extract(files, config, store, client=client, resample=True)
    assert len(report.done) == 1 and len(report.skipped) == 1
    meta = corpus.open(store).metadata("c/speech.mp3")
    assert meta["source"]["sample_rate"] == 48000 and meta["sample_rate"] == 16000
    assert meta["resampler"] == {"name": "soxr", "version": soxr.__version__, "quality": "VHQ"}
    signal, _ = vorl.load(files[1], sample_rate=16000)
    assert np.array_equal(corpus.open(store)["c/speech.mp3"][...], config(signal))


@pytest.mark.parametrize("workers", [0, -1, 1.5, True])
def test_workers_must_be_a_positive_integer(files, workers, tmp_path):
    with pytest.raises(ValueError, match="workers must be a positive integer"):
        corpus.extract(files[1], CONFIG, str(tmp_path / "w.zarr"), workers=workers)


def test_a_worker_killed_after_finishing_files_loses_nothing(tmp_path):
    """Dask recomputes the results of a dead worker; those arrays are complete
    already and must stay so, and every file reported done is in the store."""
    from dask.distributed import Client, LocalCluster

    # Seven short files and a long one: while one worker computes the long file,
    # the other is idle with finished files for seconds, and is killed then.
    paths = []
    for i, seconds in enumerate([5] * 7 + [150]):
        path = tmp_path / f"f{i}.wav"
        soundfile.write(path, np.random.default_rng(i).standard_normal(RATE * seconds) * 0.1,
                        RATE)
        paths.append(path)
    config = vorl.Gammatone(RATE, num_bands=96, hop_length=256)
    store = str(tmp_path / "d.zarr")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        killed, finished, written = [], threading.Event(), {}

        def kill_a_worker_holding_results():
            while not killed and not finished.is_set():
                processing = client.processing()
                idle = [w for w, keys in client.has_what().items()
                        if keys and not processing.get(w)]
                if idle and sum(map(len, processing.values())) == 1:
                    complete = list(corpus.open(store))
                    written.update({str(p): p.stat().st_mtime_ns for key in complete
                                    for p in Path(store, key).rglob("*") if p.is_file()})
                    os.kill(pids[idle[0]], signal.SIGKILL)
                    killed.append(idle[0])
                time.sleep(0.005)

        killer = threading.Thread(target=kill_a_worker_holding_results, daemon=True)
        killer.start()
        report = corpus.extract(paths, config, store, client=client)
        finished.set()
        killer.join()
        assert killed and not report.failed and len(report.done) == 8
        # Dask may still be recomputing the dead worker's files: they stay complete.
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline or any(client.processing().values()):
            assert len(corpus.open(store)) == 8
            time.sleep(0.02)
        # The arrays complete when the worker died were not written again.
        assert written and all(Path(f).stat().st_mtime_ns == t for f, t in written.items())
        opened = corpus.open(store)
        for path in paths:
            assert np.array_equal(opened[path.name][...],
                                  direct(path, num_bands=96, hop_length=256))


def _stored_dimensions(array):
    """The axes' names as the store holds them: Zarr 3's dimension names, or the
    attribute xarray reads from Zarr 2."""
    return tuple(array.metadata.dimension_names if hasattr(array, "metadata")
                 else array.attrs["_ARRAY_DIMENSIONS"])


def test_arrays_travel_as_dataarrays_and_batches(files, client, tmp_path):
    root, good, _ = files
    store = str(tmp_path / "t.zarr")
    config = vorl.Cochleagram(RATE, num_bands=16, frame_duration=0.025, hop_duration=0.01)
    corpus.extract(good, config, store, client=client)
    opened = corpus.open(store)
    assert _stored_dimensions(opened["speech.wav"]) == ("frame", "band")
    array = opened.dataarray("sub/long.wav")
    assert array.dims == ("frame", "band") and array.name == "sub/long.wav"
    assert np.array_equal(array.values, expected_rows(good[3], config))
    assert np.allclose(array["time"], (np.arange(array.shape[0]) * 160 + 200) / RATE)
    assert np.array_equal(array["frequency"], config.center_frequencies)
    assert array.attrs["hop_length"] == 160 and "_ARRAY_DIMENSIONS" not in array.attrs
    stack, lengths, keys = opened.batch()
    assert keys == sorted(opened) and stack.dtype == np.float32
    assert stack.shape == (4, lengths.max(), 16) and list(lengths) == [
        opened[k].shape[0] for k in keys]
    for i, key in enumerate(keys):
        assert np.array_equal(stack[i, :lengths[i]], opened[key][...].astype(np.float32))
        assert np.all(stack[i, lengths[i]:] == 0)
    two, _, chosen = opened.batch(["sub/long.wav", "speech.wav"], dtype=np.float64, pad=-1.0)
    assert chosen == ["sub/long.wav", "speech.wav"] and two.dtype == np.float64
    assert np.all(two[1, lengths[keys.index("speech.wav")]:] == -1.0)


def expected_rows(path, config):
    return config(vorl.load(path)[0])


def test_a_moved_corpus_keeps_its_store_with_root(tmp_path, client):
    import shutil

    before = tmp_path / "before"
    for i, name in enumerate(["a.wav", "sub/b.wav"]):
        (before / name).parent.mkdir(parents=True, exist_ok=True)
        soundfile.write(before / name, np.random.default_rng(i).standard_normal(RATE) * 0.1,
                        RATE)
    store = str(tmp_path / "m.zarr")
    config = vorl.Cochleagram(RATE, num_bands=16)
    assert len(corpus.extract([before], config, store, client=client).done) == 2
    after = tmp_path / "elsewhere" / "after"
    after.parent.mkdir()
    shutil.move(before, after)  # times kept
    moved = corpus.extract([after], config, store, client=client)
    assert len(moved.failed) == 2 and "outside" in next(iter(moved.failed.values()))
    report = corpus.extract([after], config, store, client=client, root=after)
    assert sorted(report.skipped.values()) == ["a.wav", "sub/b.wav"] and not report.done
    # The store remembers its new place: later runs need no root.
    assert len(corpus.extract([after / "a.wav"], config, store, client=client).skipped) == 1


def test_cepstra_and_their_deltas_through_every_output(files, client, tmp_path, capsys):
    import json

    from vorl.cli import main

    root, good, _ = files
    long = good[3]  # 6 s: several blocks of the file
    signal, _ = vorl.load(long)
    ceps = vorl.gfcc(signal, RATE, num_ceps=13)
    want = np.concatenate([ceps, vorl.delta(ceps), vorl.delta(ceps, order=2)], axis=-1)
    assert main(["features", str(long), "-o", str(tmp_path / "g"), "--gfcc", "13",
                 "--deltas", "2", "--quiet"]) == 0
    assert np.array_equal(np.load(tmp_path / "g" / "long.wav.npy"), want)
    meta = json.loads((tmp_path / "g" / "long.wav.json").read_text())
    assert meta["features"] == {"kind": "gfcc", "num_ceps": 13, "deltas": 2,
                                "compression": "cuberoot", "lifter": 0, "delta_width": 9}
    assert main(["features", str(long), "-o", str(tmp_path / "g.npz"), "--gfcc", "13",
                 "--deltas", "2", "--quiet"]) == 0
    with np.load(tmp_path / "g.npz") as archive:
        assert np.array_equal(archive["long.wav"], want)
    store = str(tmp_path / "g.zarr")
    address = ["--scheduler", client.scheduler.address]
    assert main(["features", str(long), "-o", store, "--gfcc", "13", "--deltas", "2",
                 "--quiet", *address]) == 0
    opened = corpus.open(store)
    assert np.array_equal(opened["long.wav"][...], want)
    assert opened.dataarray("long.wav").dims == ("frame", "cepstrum")
    assert _stored_dimensions(opened["long.wav"]) == ("frame", "cepstrum")
    # Rows into a store of cepstra: made otherwise, refused naming what differs.
    assert main(["features", str(long), "-o", store, *address]) == 2
    assert "features" in capsys.readouterr().err
    assert main(["features", str(long), "-o", str(tmp_path / "x"), "--deltas", "1"]) == 2
    assert "--deltas goes with --gfcc" in capsys.readouterr().err


def test_the_cluster_extract_starts_leaves_glibc_trimming_as_it_was(tmp_path):
    """Dask's nannies give workers MALLOC_TRIM_THRESHOLD_=65536, which costs long
    files 15-20% (every large buffer mapped afresh); `extract`'s own cluster
    does not. In a fresh process: an earlier cluster leaves the variable set in
    its parent, where later workers inherit it."""
    script = tmp_path / "workers_env.py"
    script.write_text(
        "import os\n"
        "from vorl.corpus._extract import _client\n"
        "if __name__ == '__main__':\n"
        "    with _client(None, 1) as client:\n"
        "        print(list(client.run(os.environ.get, 'MALLOC_TRIM_THRESHOLD_').values()))\n")
    env = {k: v for k, v in os.environ.items() if k != "MALLOC_TRIM_THRESHOLD_"}
    done = subprocess.run([sys.executable, str(script)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().splitlines()[-1] == "[None]"


def _zarr3():
    import zarr

    return hasattr(zarr.Group, "create_array")


def test_a_store_of_zarrs_format_2_takes_more_files_under_either_zarr(files, client, tmp_path):
    """A store made by Zarr 2 goes on in format 2 after an upgrade to Zarr 3."""
    import zarr

    _, good, _ = files
    store = str(tmp_path / "v2.zarr")
    zarr.open_group(store, mode="w", **({"zarr_format": 2} if _zarr3() else {}))
    assert len(corpus.extract(good[:1], CONFIG, store, client=client).done) == 1
    report = corpus.extract(good[:3], CONFIG, store, client=client)
    assert len(report.done) == 2 and len(report.skipped) == 1 and not report.failed
    opened = corpus.open(store)
    for path in good[:3]:
        key = path.name if path.parent.name != "sub" else f"sub/{path.name}"
        assert (tmp_path / "v2.zarr" / key / ".zarray").is_file()
        assert opened[key].attrs["_ARRAY_DIMENSIONS"] == ["channel", "frame", "band"]
        assert "_ARRAY_DIMENSIONS" not in opened.metadata(key)
        assert np.array_equal(opened.dataarray(key).values, expected(path))


@pytest.mark.skipif(_zarr3(), reason="Zarr 3 reads both formats")
def test_a_store_of_zarrs_format_3_is_refused_by_zarr_2_and_left_as_it_was(files, tmp_path):
    _, good, _ = files
    store = tmp_path / "v3.zarr"
    store.mkdir()
    (store / "zarr.json").write_text('{"zarr_format": 3, "node_type": "group"}')
    for call in (lambda: corpus.extract(good[:1], CONFIG, str(store), workers=1),
                 lambda: corpus.open(str(store))):
        with pytest.raises(ValueError, match="format 3, which Zarr 2.* needs Zarr 3"):
            call()
    assert sorted(p.name for p in store.iterdir()) == ["zarr.json"]
