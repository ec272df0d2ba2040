"""What a caller can rely on under faults: the cost of tiny pushes; damaged,
shrinking and unreadable files; full disks; bad magnitudes."""
import json
import os
import subprocess
import time

import numpy as np
import pytest
import soundfile

import vorl
from vorl import Gammatone
from vorl.cli import main

RATE = 16000


def test_one_sample_pushes_do_not_cost_the_frame_length():
    def seconds_of_single_pushes(frame_length):
        stream = Gammatone(RATE, frame_length=frame_length, hop_length=frame_length,
                           num_bands=1).stream()
        stream.push(np.zeros(frame_length - 3000))
        sample = np.zeros(1)
        start = time.perf_counter()
        for _ in range(2000):
            stream.push(sample)
        return time.perf_counter() - start

    short, long_ = seconds_of_single_pushes(4096), seconds_of_single_pushes(1 << 20)
    assert long_ < 5 * short  # copying the held samples each push: ~100x


def _flac(path, seconds=3.0, rate=RATE):
    soundfile.write(path, 0.1 * np.random.default_rng(2).standard_normal(int(seconds * rate)),
                    rate, subtype="PCM_16", format=path.suffix[1:].upper()
                    if path.suffix in (".wav", ".flac") else "WAV")
    return path


def test_a_damaged_file_fails_alone(tmp_path, capsys):
    good = _flac(tmp_path / "good.flac")
    damaged = _flac(tmp_path / "damaged.flac", seconds=20)
    data = damaged.read_bytes()
    damaged.write_bytes(data[:len(data) // 2] + bytes(len(data) // 4))  # cut and garbled
    config = vorl.Cochleagram(RATE)  # the command's default
    with pytest.raises(ValueError, match="damaged.flac"):
        config.from_file(damaged)
    with pytest.raises(ValueError, match="damaged.flac"):
        list(config.file_blocks(damaged, block_samples=4096))
    for output in ("all.npz", "grams"):
        status = main(["features", str(damaged), str(good), "-o", str(tmp_path / output),
                       "--quiet"])
        errors = capsys.readouterr().err.strip().splitlines()
        assert status == 1 and len(errors) == 1 and "damaged.flac" in errors[0], errors
    with np.load(tmp_path / "all.npz") as archive:
        assert np.array_equal(archive["good.flac"], config.from_file(good))
    assert np.array_equal(np.load(tmp_path / "grams" / "good.flac.npy"), config.from_file(good))
    assert not (tmp_path / "grams" / "damaged.flac.npy").exists()


def test_a_file_cut_while_it_is_read(tmp_path):
    path = _flac(tmp_path / "long.wav", seconds=60)
    blocks = Gammatone(RATE).file_blocks(path, block_samples=1 << 16)
    next(blocks)
    os.truncate(path, os.path.getsize(path) // 3)  # another program cuts it
    with pytest.raises(ValueError, match=r"long.wav.* ended after \d+ of the 960000 samples"):
        list(blocks)


@pytest.mark.parametrize("case", ["missing", "loop", "folder"])
def test_files_that_cannot_be_opened_say_why(tmp_path, case):
    path = tmp_path / "x.wav"
    if case == "loop":
        os.symlink(tmp_path / "y.wav", path)
        os.symlink(path, tmp_path / "y.wav")
    elif case == "folder":
        path.mkdir()
    message = {"missing": "No such audio file", "loop": "symbolic links",
               "folder": "Is a directory"}[case]
    with pytest.raises(OSError, match=message):
        vorl.load(path)
    with pytest.raises(OSError, match=message):
        Gammatone(RATE).from_file(path)


def test_an_input_named_like_another_inputs_output_is_refused(tmp_path, capsys):
    audio = _flac(tmp_path / "x.wav")
    other = _flac(tmp_path / "x.wav.npy")  # a WAV, named like x.wav's features
    before = other.read_bytes()
    assert main(["features", str(audio), str(other), "-o", str(tmp_path), "--quiet"]) == 2
    assert "would replace one of the inputs" in capsys.readouterr().err
    assert other.read_bytes() == before


@pytest.fixture
def small_disk(tmp_path):
    """A 360 KiB tmpfs (CI runs as root); skipped where mounting is not allowed."""
    mount = tmp_path / "disk"
    mount.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=360k", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if made.returncode:
        pytest.skip(f"cannot mount a small tmpfs here: {made.stderr.strip()}")
    yield mount
    subprocess.run(["umount", "-l", str(mount)], check=True)


def test_a_full_disk_publishes_nothing_incomplete(tmp_path, small_disk, capsys):
    # 156 KiB of rows each: the disk fills while the second member is copied into the archive.
    files = [_flac(tmp_path / f"f{i}.wav", seconds=10) for i in range(4)]
    status = main(["features", *map(str, files), "-o", str(small_disk / "all.npz"), "--quiet"])
    assert status != 0 and "No space left" in capsys.readouterr().err
    assert not list(small_disk.iterdir())  # no archive lacking a member, nothing partial
    # The disk fills while a large member is written, and files after it would fit.
    sized = [_flac(tmp_path / f"s{i}.wav", seconds=s) for i, s in enumerate([1, 60, 1])]
    status = main(["features", *map(str, sized), "-o", str(small_disk / "all.npz"), "--quiet"])
    assert status != 0 and "no archive written" in capsys.readouterr().err
    assert not list(small_disk.iterdir())
    status = main(["features", *map(str, files), "-o", str(small_disk / "grams"), "--quiet"])
    assert status != 0
    written = sorted(p.name for p in (small_disk / "grams").iterdir())
    assert not [name for name in written if name.endswith(".part")], written
    for npy in (small_disk / "grams").glob("*.npy"):
        meta = json.loads(npy.with_suffix(".json").read_text())
        assert np.load(npy).shape[1] == len(meta["center_frequencies"])


@pytest.mark.parametrize("signal", [np.full(4096, 1e200), np.full(4096, np.longdouble("1e400"))],
                         ids=["too-large", "long-double-overflow"])
def test_samples_the_recursion_cannot_hold_are_refused(signal):
    with pytest.raises(ValueError, match="sample"):
        vorl.cochleagram(signal, RATE)


@pytest.mark.filterwarnings("ignore:high_Hz")
@pytest.mark.parametrize("kwargs, message", [
    ({"bandwidth_factor": 1e300}, "bandwidth_factor"),
    ({"center_frequencies": [1e300]}, "center_frequencies"),
    ({"num_bands": 2**20 + 1}, r"num_bands must be a positive integer up to 1048576"),
    ({"center_frequencies": np.arange(1, 2**20 + 2)}, "at most 1048576"),
    ({"channel": True}, "channel must be an integer"),
])
def test_configurations_that_cannot_be_designed_are_refused(kwargs, message):
    with pytest.raises((TypeError, ValueError), match=message):
        vorl.Cochleagram(RATE, **kwargs)


def test_arguments_checked_before_any_work(tmp_path, capsys):
    with pytest.raises(ValueError, match="num_ceps"):
        vorl.gfcc(np.zeros(10), RATE, num_ceps=100)  # too short, but said first
    with pytest.raises(ValueError, match="order"):
        vorl.delta(np.zeros((5, 3)), order=2**62)
    assert main(["features", str(_flac(tmp_path / "a.wav")), "-o", str(tmp_path / "g"),
                 "--threads", "0"]) == 2
    assert "threads" in capsys.readouterr().err


@pytest.mark.parametrize("signum", [15, 9], ids=["SIGTERM", "SIGKILL"])
def test_a_killed_command_leaves_nothing_that_looks_complete(tmp_path, signum):
    import sys

    path = _flac(tmp_path / "long.wav", seconds=600)
    out = tmp_path / "grams"
    run = subprocess.Popen([sys.executable, "-m", "vorl", "features", str(path), "-o", str(out),
                            "--quiet", "--threads", "1"], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 30
    while not list(out.glob("*.part")) and time.monotonic() < deadline:
        time.sleep(0.01)  # until it writes
    run.send_signal(signum)
    run.communicate(timeout=30)
    assert run.returncode == (143 if signum == 15 else -9)
    left = sorted(p.name for p in out.iterdir())
    assert left == ([] if signum == 15 else ["long.wav.npy.part"])


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-1, ValueError), (1.5, TypeError),
                                            (True, TypeError)])
def test_every_road_checks_threads_alike(threads, error):
    signal = np.zeros(4096)
    config = vorl.Cochleagram(16000, num_bands=8, low_Hz=200, high_Hz=4000)
    roads = [lambda: vorl.cochleagram(signal, 16000, threads=threads),
             lambda: vorl.gammatonegram(signal, 16000, threads=threads),
             lambda: config.stream(threads=threads),
             lambda: vorl.Gammatone(16000).stream(threads=threads),
             lambda: config.envelopes(signal, threads=threads),
             lambda: vorl.resynthesize(signal, 16000, threads=threads)]
    for road in roads:
        with pytest.raises(error, match="threads must be"):
            road()
