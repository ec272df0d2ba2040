import subprocess
import sys

import numpy as np
import pytest
import soundfile

import vorl
from vorl.cli import main

RATE = 16000


@pytest.fixture
def wav(tmp_path):
    """A 1.5 s stereo WAV: a 300 Hz tone left, a 2 kHz tone right."""
    t = np.arange(int(1.5 * RATE)) / RATE
    data = np.stack([0.5 * np.sin(2 * np.pi * 300 * t), 0.25 * np.sin(2 * np.pi * 2000 * t)], axis=1)
    data = data.astype(np.float32).astype(np.float64)  # what a float WAV holds exactly
    path = tmp_path / "tones.wav"
    soundfile.write(path, data, RATE, subtype="FLOAT")
    return path, data


def test_load_gives_channels_by_samples(wav):
    path, data = wav
    signal, rate = vorl.load(path)
    assert rate == RATE and signal.shape == (2, len(data)) and signal.dtype == np.float64
    assert signal.flags.f_contiguous
    np.testing.assert_array_equal(signal, data.T)


def test_load_errors_name_the_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="nothere.wav"):
        vorl.load(tmp_path / "nothere.wav")
    junk = tmp_path / "junk.wav"
    junk.write_bytes(b"this is not audio")
    with pytest.raises(ValueError, match="Cannot read audio file .*junk.wav"):
        vorl.load(junk)


def test_features_to_npy_match_the_library(wav, tmp_path):
    path, data = wav
    out = tmp_path / "grams"
    assert main(["features", str(path), "-o", str(out), "--bands", "24", "--channel", "1",
                 "--hop", "256", "--quiet"]) == 0
    gram = np.load(out / "tones.npy")
    expected = vorl.gammatonegram(data.T, RATE, hop_length=256, num_bands=24, channel=1)
    np.testing.assert_array_equal(gram, expected)
    cfs = vorl.Gammatone(RATE, num_bands=24).center_frequencies
    assert abs(cfs[np.argmax(gram.mean(axis=0))] - 2000) < 200  # the right channel's tone


def test_features_keep_going_after_a_failure(wav, tmp_path, capsys):
    path, _ = wav
    short = tmp_path / "short.wav"
    soundfile.write(short, np.zeros(100), RATE)
    out = tmp_path / "all.npz"
    status = main(["features", str(tmp_path / "missing.wav"), str(short), str(path), str(path),
                   "-o", str(out), "--linear", "--quiet"])
    assert status == 1
    errors = capsys.readouterr().err.strip().splitlines()
    assert len(errors) == 2
    assert "missing.wav" in errors[0] and "short.wav" in errors[1] and "shorter than one frame" in errors[1]
    with np.load(out) as grams:
        assert sorted(grams.files) == ["tones", "tones-2"]
        assert np.all(grams["tones"] >= 0)  # linear levels


@pytest.mark.parametrize("cls", [vorl.Gammatone, vorl.Cochleagram])
@pytest.mark.parametrize("block", [1, 1000, 1 << 18])
def test_from_file_in_blocks_equals_loading_whole(wav, cls, block):
    path, _ = wav
    signal, rate = vorl.load(path)
    config = cls(rate, num_bands=12, hop_length=300, channel=None)
    whole = config(signal)
    assert np.array_equal(config.from_file(path), whole)
    parts = list(config.file_blocks(path, block_samples=block))
    assert np.array_equal(np.concatenate(parts, axis=-2), whole)
    with pytest.raises(ValueError, match="16000 samples per second; this configuration is for 44100"):
        cls(44100).from_file(path)


def test_interrupted_npy_leaves_no_file(tmp_path):
    from vorl.cli import _write_npy

    def blocks():
        yield np.zeros((2, 3))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _write_npy(tmp_path / "x.npy", blocks(), (4, 3))
    assert list(tmp_path.iterdir()) == []


def test_output_that_is_an_input_is_refused(wav, tmp_path, capsys):
    path, _ = wav
    before = path.read_bytes()
    assert main(["features", str(path), "-o", str(path.with_suffix(".npz")), "--quiet"]) == 0
    assert main(["features", str(path), str(path.with_suffix(".npz")), "-o",
                 str(path.with_suffix(".npz")), "--quiet"]) == 2
    assert "is one of the inputs" in capsys.readouterr().err
    assert path.read_bytes() == before


def test_long_file_in_blocks_equals_one_piece(tmp_path):
    rng = np.random.default_rng(1)
    data = rng.standard_normal(512 * 2300) * 0.1  # more frames than one progress block
    path = tmp_path / "long.flac"
    soundfile.write(path, data, RATE, subtype="PCM_24")
    out = tmp_path / "o"
    assert main(["features", str(path), "-o", str(out)]) == 0
    signal, _ = vorl.load(path)
    np.testing.assert_array_equal(np.load(out / "long.npy"), vorl.gammatonegram(signal, RATE))


def test_plot_and_demo_write_pictures(wav, tmp_path):
    pytest.importorskip("matplotlib")
    path, _ = wav
    png = tmp_path / "tones.png"
    assert main(["plot", str(path), "-o", str(png), "--bands", "32"]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 5000
    demo = tmp_path / "demo.png"
    result = subprocess.run([sys.executable, "-m", "vorl", "demo", "-o", str(demo)],
                            capture_output=True, text=True, check=True)
    assert "frames x 64 bands" in result.stdout and demo.stat().st_size > 5000


def test_plot_errors(tmp_path):
    assert main(["plot", str(tmp_path / "none.wav"), "-o", str(tmp_path / "x.png")]) == 1
    with pytest.raises(ValueError, match="one column per band"):
        vorl.plot(np.zeros((3, 4)), [100.0, 200.0], 10, 1000)
    with pytest.raises(ValueError, match="hop_length and sample_rate"):
        vorl.plot(np.zeros((3, 2)), [100.0, 200.0])


def test_demo_signal_glides_upwards():
    from vorl.cli import demo_signal

    signal = demo_signal(RATE, seconds=2.0)
    config = vorl.Gammatone(RATE, num_bands=48, high_Hz=4000)
    gram = config(signal)
    peak_Hz = config.center_frequencies[np.argmax(gram, axis=1)]
    assert peak_Hz[0] < 200 and peak_Hz[-1] > 450
