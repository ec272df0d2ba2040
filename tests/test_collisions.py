"""Nothing lost when runs, files and names collide: two runs on one store, files
replaced or cut while they are read, names that mean two things."""
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import soundfile

import vorl
from vorl.cli import main

pytest.importorskip("dask.distributed")
pytest.importorskip("zarr")
pytestmark = [pytest.mark.filterwarnings("ignore::ResourceWarning"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning"),
              pytest.mark.filterwarnings("ignore::DeprecationWarning")]

from vorl import corpus  # noqa: E402 - after the skips

RATE = 16000
CONFIG = vorl.Cochleagram(RATE, num_bands=16)


def _wav(path, seconds=0.3, seed=0, fmt="WAV"):
    path.parent.mkdir(parents=True, exist_ok=True)
    data = 0.2 * np.random.default_rng(seed).standard_normal(int(seconds * RATE))
    soundfile.write(path, data, RATE, format=fmt, subtype="PCM_16")
    return path


def _rows(path, config=CONFIG):
    return config(vorl.load(path)[0])


@pytest.fixture(scope="module")
def client():
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as c:
        yield c


# A run of `extract` in a process of its own, on one long file and one worker.
_RUN = """
import sys, vorl
from vorl import corpus
config = vorl.Gammatone(16000, num_bands=64, hop_length=128)
report = corpus.extract(sys.argv[1], config, sys.argv[2], workers=1)
print(len(report.done), len(report.failed))
"""


def _start_run(path, store):
    return subprocess.Popen([sys.executable, "-c", _RUN, str(path), str(store)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def _wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def test_a_second_run_on_a_store_is_refused_naming_the_first(tmp_path, client):
    path = _wav(tmp_path / "long.wav", seconds=240)
    store = tmp_path / "s.zarr"
    first = _start_run(path, store)
    try:
        lock = Path(f"{store}.vorl-lock")
        _wait_for(lambda: lock.exists() and lock.read_text().strip())
        with pytest.raises(corpus.StoreLocked, match=f"process {first.pid} on "):
            corpus.extract([path], CONFIG, str(store), client=client, overwrite=True)
        out, _ = first.communicate(timeout=120)
    finally:
        first.kill()
    assert out.split() == ["1", "0"]  # the first run finished its file
    stored = corpus.open(str(store))
    assert np.array_equal(stored["long.wav"][...],
                          _rows(path, vorl.Gammatone(RATE, num_bands=64, hop_length=128)))
    assert not Path(f"{store}.vorl-lock").exists()


@pytest.mark.parametrize("alias", ["link/s.zarr", "s-link.zarr", "x/../s.zarr"])
def test_a_store_named_otherwise_has_the_same_lock(tmp_path, alias):
    """Two runs on one store, one naming it through a link to it or to a folder
    above it: the second is refused."""
    (tmp_path / "x").mkdir()
    (tmp_path / "link").symlink_to(tmp_path, target_is_directory=True)
    (tmp_path / "s-link.zarr").symlink_to(tmp_path / "s.zarr", target_is_directory=True)
    with corpus._lock.store_lock(str(tmp_path / "s.zarr"), "first"):
        with pytest.raises(corpus.StoreLocked, match=f"process {os.getpid()} on "):
            with corpus._lock.store_lock(str(tmp_path / alias), "second"):
                pass
    assert not list(tmp_path.glob("*.vorl-lock"))


def test_a_lock_left_by_a_killed_run_is_taken_over_with_a_warning(tmp_path, client):
    path = _wav(tmp_path / "long.wav", seconds=240)
    store = tmp_path / "s.zarr"
    killed = _start_run(path, store)
    lock = Path(f"{store}.vorl-lock")
    _wait_for(lambda: lock.exists() and lock.read_text().strip())
    holder = json.loads(lock.read_text())
    killed.send_signal(signal.SIGKILL)
    killed.wait(timeout=30)
    with pytest.warns(UserWarning, match=f"left locked by process {holder['pid']}"):
        report = corpus.extract([path], vorl.Gammatone(RATE, num_bands=64, hop_length=128),
                                str(store), client=client)
    assert len(report.done) == 1


class _WritingElsewhere:
    """A client whose workers see another store under the run's name, as workers
    of a cluster may where a store's path means another folder to them."""

    def __init__(self, client, other):
        self.client, self.other = client, other

    def scheduler_info(self):
        return self.client.scheduler_info()

    def submit(self, function, batch, store, **options):
        return self.client.submit(function, batch, self.other, **options)


def test_files_written_to_another_store_than_the_runs_are_not_reported_done(tmp_path,
                                                                             client):
    paths = [_wav(tmp_path / f"{i}.wav", seed=i) for i in range(3)]
    store, other = str(tmp_path / "s.zarr"), str(tmp_path / "other.zarr")
    report = corpus.extract(paths, CONFIG, store, client=_WritingElsewhere(client, other))
    assert not report.done and len(report.failed) == 3
    assert set(report.failed.values()) == {"its array is not complete in the store"}
    assert sorted(corpus.open(other)) == ["0.wav", "1.wav", "2.wav"]
    # The next run on the store computes them.
    again = corpus.extract(paths, CONFIG, store, client=client)
    assert len(again.done) == 3 and not again.failed


def test_an_array_recreated_by_another_run_is_not_marked_complete(tmp_path, monkeypatch):
    """What a second run does to a first run's array: re-create it mid-write."""
    import zarr

    path = _wav(tmp_path / "a.wav", seconds=3)
    store = str(tmp_path / "r.zarr")
    made_by = corpus._metadata.made_by_of(CONFIG, None)
    real_blocks = corpus._metadata.open_rows

    def recreated_midway(*args, **kwargs):
        frames, blocks = real_blocks(*args, **kwargs)

        def rows():
            yield next(blocks)
            group = zarr.open_group(store, mode="a")
            other = corpus._store.create_array(group, "a.wav", (frames, 16), np.float64)
            corpus._store.put_attributes(group, other, {"vorl_run": "the other run"})
            yield from blocks
        return frames, rows()

    monkeypatch.setattr(corpus._metadata, "open_rows", recreated_midway)
    monkeypatch.setattr(vorl._io, "_READ_FRAMES", 4096)  # several blocks
    task = corpus._store.Task(str(path), "a.wav", made_by, RATE, "this run")
    with pytest.raises(RuntimeError, match="re-created or lost chunks"):
        corpus.extract_one(task, store)
    assert "a.wav" not in corpus.open(store)


def test_keys_that_differ_only_in_a_backslash_or_a_reserved_name_stay_apart(tmp_path, client):
    files = [_wav(tmp_path / name, seed=i) for i, name in enumerate(
        ["a/b.wav", "a\\b.wav", "zarr.json/c.wav", ".hidden.wav", "__d.wav", "100%.wav"])]
    store = str(tmp_path / "k.zarr")
    report = corpus.extract(files, CONFIG, store, client=client)
    assert not report.failed and len(set(report.done.values())) == len(files)
    stored = corpus.open(store)
    assert sorted(stored) == sorted(report.done.values())
    for path, key in report.done.items():
        assert np.array_equal(stored[key][...], _rows(path)), key
    again = corpus.extract(files, CONFIG, store, client=client)
    assert len(again.skipped) == len(files) and not again.done


@pytest.mark.parametrize("name", ["metadata", "metadata.npy"])
def test_an_input_named_like_the_archives_metadata_fails_alone(tmp_path, capsys, name):
    taken = _wav(tmp_path / "in" / name, fmt="WAV")
    other = _wav(tmp_path / "in" / "x.wav", seed=1)
    assert main(["features", str(taken), str(other), "-o", str(tmp_path / "all.npz"),
                 "--quiet"]) == 1
    assert "taken by the archive's metadata" in capsys.readouterr().err
    with np.load(tmp_path / "all.npz") as archive:
        names = archive.zip.namelist()
        assert sorted(names) == ["metadata.npy", "x.wav.npy"]  # no member twice
        assert list(json.loads(str(archive["metadata"]))) == ["x.wav"]
        assert np.array_equal(archive["x.wav"], _rows(other, vorl.Cochleagram(RATE)))


@pytest.mark.parametrize("fmt, suffix", [("WAV", "wav"), ("RF64", "wav"), ("AIFF", "aiff"),
                                         ("AU", "au"), ("W64", "w64")])
def test_a_file_cut_short_of_its_header_is_refused(tmp_path, fmt, suffix):
    path = _wav(tmp_path / f"cut.{suffix}", seconds=1, fmt=fmt)
    whole = vorl.load(path)[0]
    os.truncate(path, path.stat().st_size // 2)
    with pytest.raises(ValueError, match="samples its header counts"):
        vorl.load(path)
    with pytest.raises(ValueError, match="samples its header counts"):
        CONFIG.from_file(path)
    assert whole.shape == (1, RATE)


def _replaced_after_the_first_block(monkeypatch, path, other):
    """Reads `path` as usual, but replaces it by `other` after the first read; the
    reader goes on reading the file it opened, as it would."""
    real = vorl._io.AudioFile._reads

    def reads(self, audio, *counted):
        for i, block in enumerate(real(self, audio, *counted)):
            if i == 1:
                os.replace(other, path)
            yield block
    monkeypatch.setattr(vorl._io.AudioFile, "_reads", reads)
    monkeypatch.setattr(vorl._io, "_READ_FRAMES", 2048)


@pytest.mark.parametrize("subtype", ["PCM_16", "FLOAT", "VORBIS"])
def test_a_file_replaced_by_a_longer_or_shorter_one_once_opened_is_refused(tmp_path, subtype):
    """Samples stored one by one are asked for no further than one past their count:
    a longer file still shows its extra samples, and a file as it was reads whole."""
    import soundfile

    path = tmp_path / ("a.ogg" if subtype == "VORBIS" else "a.wav")
    rng = np.random.default_rng(0)
    soundfile.write(path, 0.1 * rng.standard_normal(1600), RATE, subtype=subtype)
    assert np.array_equal(vorl.load(path)[0][0], soundfile.read(path)[0])
    for seconds in (0.05, 0.2):
        opened = vorl._io.AudioFile(path)
        soundfile.write(path.with_name("b" + path.suffix),
                        0.1 * rng.standard_normal(int(RATE * seconds)), RATE, subtype=subtype)
        os.replace(path.with_name("b" + path.suffix), path)
        with pytest.raises(ValueError, match="changed while it was read|it was cut|holds more"):
            list(opened.blocks(4096))


@pytest.mark.parametrize("content", [False, True])
def test_a_file_replaced_while_it_is_computed_is_not_marked_done(tmp_path, monkeypatch,
                                                                    content):
    path = _wav(tmp_path / "a.wav", seconds=1, seed=1)
    other = _wav(tmp_path / "other" / "a.wav", seconds=1, seed=2)
    os.utime(other, ns=(path.stat().st_atime_ns, path.stat().st_mtime_ns))
    store = str(tmp_path / "c.zarr")
    _replaced_after_the_first_block(monkeypatch, path, other)
    task = corpus._store.Task(str(path), "a.wav", corpus._metadata.made_by_of(CONFIG, None),
                              RATE, "run", content=content)
    with pytest.raises(ValueError, match="changed while it was read"):
        corpus.extract_one(task, store)
    assert "a.wav" not in corpus.open(store)
    monkeypatch.undo()
    corpus.extract_one(task, store)  # the next run computes the new content
    assert np.array_equal(corpus.open(store)["a.wav"][...], _rows(path))


def test_the_command_writes_nothing_for_a_file_replaced_while_read(tmp_path, monkeypatch,
                                                                   capsys):
    path = _wav(tmp_path / "a.wav", seconds=1, seed=1)
    other = _wav(tmp_path / "other" / "a.wav", seconds=1, seed=2)
    _replaced_after_the_first_block(monkeypatch, path, other)
    assert main(["features", str(path), "-o", str(tmp_path / "out"), "--quiet"]) == 1
    assert "changed while it was read" in capsys.readouterr().err
    assert not list((tmp_path / "out").rglob("*.npy"))


def test_a_store_holds_one_configuration(tmp_path, client):
    first, second = _wav(tmp_path / "a.wav", seed=1), _wav(tmp_path / "b.wav", seed=2)
    store = str(tmp_path / "m.zarr")
    corpus.extract([first], vorl.Cochleagram(RATE, num_bands=16, low_Hz=50), store,
                   client=client)
    other = vorl.Cochleagram(RATE, num_bands=16, low_Hz=100)
    with pytest.raises(ValueError) as refused:  # a new file, another configuration
        corpus.extract([second], other, store, client=client)
    message = str(refused.value)
    assert "low_Hz 50.0 in the store, 100.0 in this run" in message and len(message) < 400
    assert list(corpus.open(store)) == ["a.wav"]
    report = corpus.extract([second], other, store, client=client, overwrite=True)
    assert report.removed == ["a.wav"] and list(report.done.values()) == ["b.wav"]
    stored = corpus.open(store)
    assert list(stored) == ["b.wav"] and stored.configuration("b.wav") == other
    assert len(corpus.extract([first], other, store, client=client).done) == 1


def test_one_path_as_a_string_is_one_path(tmp_path, client, monkeypatch):
    _wav(tmp_path / "a.wav")
    _wav(tmp_path / "sub" / "b.wav")
    monkeypatch.chdir(tmp_path)
    for path in ("a.wav", Path("a.wav")):
        report = corpus.extract(path, CONFIG, str(tmp_path / f"{type(path).__name__}.zarr"),
                                client=client)
        assert list(report.done.values()) == ["a.wav"] and not report.failed


def _walked_folder(tmp_path):
    """Two WAVs, two files of formats soundfile does not read, a link to a folder,
    a dangling link and a link loop, all with audio names where they matter."""
    folder = tmp_path / "in"
    _wav(folder / "a.wav", seed=1)
    _wav(folder / "sub" / "b.wav", seed=2)
    (folder / "c.m4a").write_bytes(b"\0" * 64)
    (folder / "notes.txt").write_text("not audio")
    (folder / "elsewhere").symlink_to(tmp_path / "other", target_is_directory=True)
    _wav(tmp_path / "other" / "d.wav")
    (folder / "gone.wav").symlink_to(tmp_path / "no-such.wav")
    (folder / "loop.wav").symlink_to(folder / "loop.wav")
    return folder


def test_the_command_reports_what_a_walk_passes_over_and_fails_links_alone(tmp_path, capsys):
    folder = _walked_folder(tmp_path)
    out = tmp_path / "out"
    assert main(["features", str(folder), "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert sorted(p.name for p in out.rglob("*.npy")) == ["a.wav.npy", "b.wav.npy"]
    assert "2 file(s)" in err and "2 failed" in err
    assert "3 skipped: unsupported format (2), link to a folder (not followed) (1)" in err
    # Failed under their own names, not their targets'; the loop did not stop the run.
    assert f"vorl: {folder / 'gone.wav'}: " in err and "no-such" not in err
    assert f"vorl: {folder / 'loop.wav'}: " in err and "Traceback" not in err


def test_failures_are_reported_once_not_logged_by_the_workers(tmp_path, capfd):
    _wav(tmp_path / "good.wav")
    broken = tmp_path / "short.wav"  # fails in its worker: shorter than one frame
    soundfile.write(broken, np.zeros(100), RATE)
    passed_over = tmp_path / "c.m4a"
    passed_over.write_bytes(b"\0")
    report = corpus.extract([tmp_path], CONFIG, str(tmp_path / "f.zarr"), workers=1)
    err = capfd.readouterr().err
    assert "Compute Failed" not in err and "Traceback" not in err and str(broken) not in err
    assert list(report.failed) == [str(broken)] and len(report.done) == 1
    assert report.passed_over == {str(passed_over): "unsupported format"}


@pytest.mark.parametrize("output", ["x", "x.zarr", "x.npz"])
def test_a_run_with_nothing_to_write_leaves_no_output(tmp_path, capsys, output):
    assert main(["features", str(tmp_path / "missing.wav"), "-o", str(tmp_path / output),
                 "--quiet"]) == 1
    assert "No such audio file" in capsys.readouterr().err
    assert not (tmp_path / output).exists()


def test_overwrite_with_nothing_to_redo_removes_nothing(tmp_path, client):
    """A function of the rate makes a store of two rates; a later run over one of
    them with overwrite, in the same configuration, keeps the other's arrays."""
    low = _wav(tmp_path / "low.wav")
    high = tmp_path / "high.wav"
    soundfile.write(high, np.zeros(24000), 48000)
    store = str(tmp_path / "two.zarr")
    config = lambda rate: vorl.Cochleagram(rate, num_bands=16)  # noqa: E731
    assert len(corpus.extract([low, high], config, store, client=client).done) == 2
    report = corpus.extract([low], config, store, client=client, overwrite=True)
    assert not report.removed and len(report.skipped) == 1
    assert sorted(corpus.open(store)) == ["high.wav", "low.wav"]


def test_short_files_share_tasks_and_still_fail_alone(tmp_path, client):
    paths = [_wav(tmp_path / "c" / f"u{i:02d}.wav", seconds=0.1, seed=i) for i in range(40)]
    short = tmp_path / "c" / "u20.wav"  # among the others: shorter than one frame
    soundfile.write(short, np.zeros(100), RATE)
    long = _wav(tmp_path / "c" / "long.wav", seconds=70)
    tasks = [corpus._store.Task(str(p), p.name, {}, RATE, "run") for p in [*paths, long]]
    batches = corpus._extract.batches(tasks, 2)
    assert len(batches) < len(tasks) and [len(b) for b in batches][-1] == 1  # long: alone
    assert [t for b in batches for t in b] == tasks
    store = str(tmp_path / "s.zarr")
    report = corpus.extract(paths, CONFIG, store, client=client)
    assert list(report.failed) == [str(short)] and len(report.done) == 39
    stored = corpus.open(store)
    for path in paths:
        if path != short:
            assert np.array_equal(stored[path.name][...], _rows(path)), path


def test_a_store_in_folders_not_yet_made(tmp_path, client):
    path = _wav(tmp_path / "a.wav")
    report = corpus.extract([path], CONFIG, str(tmp_path / "new" / "deep" / "f.zarr"),
                            client=client)
    assert list(report.done.values()) == ["a.wav"]
    assert not corpus.extract([tmp_path / "missing.wav"], CONFIG,
                              str(tmp_path / "other" / "g.zarr"), client=client).done
    assert not (tmp_path / "other").exists()  # nothing to write: no folders left behind


def test_what_a_store_says_of_a_key_is_its_arrays_attributes_alone(tmp_path):
    """Attributes as runs read them: an array's (at the top or in a folder, from the
    store's group or a folder's), nothing for a folder or a missing key."""
    import zarr

    store = str(tmp_path / "a.zarr")
    task = corpus._store.Task(str(_wav(tmp_path / "in" / "a.wav")), "sub/a.wav",
                              corpus._metadata.made_by_of(CONFIG, None), RATE, "run")
    corpus.extract_one(task, store)
    root = zarr.open_group(store, mode="r")
    written = corpus._store.attributes_of(root, "sub/a.wav")
    assert written["vorl_complete"] and written["vorl_run"] == "run"
    assert written == dict(root["sub/a.wav"].attrs)
    assert corpus._store.attributes_of(root["sub"], "a.wav") == written
    for key in ("sub", "missing.wav", "sub/missing.wav"):
        assert corpus._store.attributes_of(root, key) == {}, key


def test_real_paths_resolve_as_realpath_with_each_folder_resolved_once(tmp_path):
    (tmp_path / "x" / "y").mkdir(parents=True)
    for name in ("f.wav", "g.wav"):
        (tmp_path / "x" / "y" / name).touch()
    links = {"ly": tmp_path / "x" / "y", "x/lf.wav": tmp_path / "x" / "y" / "f.wav",
             "loop": tmp_path / "loop", "dangling.wav": tmp_path / "nowhere",
             "x/rel": Path("../x/y")}
    for link, target in links.items():
        (tmp_path / link).symlink_to(target)
    paths = [str(tmp_path / p) for p in (
        "ly/f.wav", "ly/g.wav", "x/lf.wav", "x/y/f.wav", "loop/a.wav", "loop",
        "dangling.wav", "x/rel/f.wav", "x/rel/../y/g.wav", "ly/../x/y/f.wav", "x/y/..",
        "x/y/.", "x/y/f.wav/")] + ["relative.wav"]
    assert corpus._keys.real_paths(paths) == [os.path.realpath(p) for p in paths]
