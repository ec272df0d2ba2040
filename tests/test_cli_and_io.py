import json
import subprocess
import sys

import numpy as np
import pytest
import soundfile

import vorl
import vorl.corpus
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
                 "--hop", "256", "--quiet", "--framed"]) == 0
    gram = np.load(out / "tones.wav.npy")
    meta = json.loads((out / "tones.wav.json").read_text())
    assert meta["sample_rate"] == RATE and meta["hop_length"] == 256
    assert meta["configuration"]["arguments"]["channel"] == 1
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
    with np.load(out) as grams:  # the same file twice is one file
        assert sorted(grams.files) == ["metadata", "tones.wav"]
        assert np.all(grams["tones.wav"] >= 0)  # linear levels
        assert json.loads(str(grams["metadata"]))["tones.wav"]["sample_rate"] == RATE


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
    with pytest.raises(ValueError, match="16000 samples per second; this configuration is for "
                                         "44100: pass resample=True"):
        cls(44100).from_file(path)


@pytest.mark.parametrize("fmt", ["WAV", "FLAC", "OGG", "MP3"])
@pytest.mark.parametrize("rate", [None, 22050])  # the file's own, or resampled
def test_every_format_and_road_gives_the_same_rows(tmp_path, fmt, rate):
    path = tmp_path / f"x.{fmt.lower()}"
    soundfile.write(path, 0.3 * np.random.default_rng(3).standard_normal((124416, 2)), 16000,
                    format=fmt)
    signal, got = vorl.load(path, sample_rate=rate)
    assert got == (rate or 16000)
    config = vorl.Gammatone(got, num_bands=16, channel=None)
    whole = config(signal)
    resample = rate is not None
    assert np.array_equal(config.from_file(path, resample=resample), whole)
    for block in (1000, 4097, 1 << 20):
        rows = np.concatenate(list(config.file_blocks(path, block_samples=block,
                                                      resample=resample)), axis=-2)
        assert np.array_equal(rows, whole), block


def test_resampled_tone_reads_as_one_made_at_that_rate(tmp_path):
    config = vorl.Cochleagram(16000)
    band = np.argmin(abs(config.center_frequencies - 1000))
    levels = []
    for rate in (48000, 16000):
        t = np.arange(2 * rate) / rate
        path = tmp_path / f"{rate}.wav"
        soundfile.write(path, np.sin(2 * np.pi * 1000 * t), rate, subtype="DOUBLE")
        levels.append(config.from_file(path, resample=True)[10:, band])
    # Levels are log10 of envelope magnitudes: 20 dB per unit.
    assert np.max(np.abs(20 * (levels[0] - levels[1]))) < 0.01


def test_interrupted_npy_leaves_no_file(tmp_path):
    from vorl._writers import write_npy

    def blocks():
        yield np.zeros((2, 3))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        write_npy(tmp_path / "x.npy", blocks(), (4, 3))
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
    np.testing.assert_array_equal(np.load(out / "long.flac.npy"), vorl.cochleagram(signal, RATE))


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


@pytest.mark.parametrize("output, extra, message", [
    ("grams.txt", [], "unknown output suffix '.txt'"),
    ("existing", [], "is a file, not a folder"),
    ("nowhere/all.npz", [], "does not exist"),
    ("grams", ["--workers", "2"], "--workers, --scheduler, --resume and --overwrite go with"),
    ("grams", ["--bands", "0"], "bad option: num_bands must be a positive integer"),
])
def test_output_problems_are_one_line_before_any_work(wav, tmp_path, capsys, output, extra,
                                                       message):
    path, _ = wav
    (tmp_path / "existing").write_text("keep me")
    assert main(["features", str(path), "-o", str(tmp_path / output), "--quiet", *extra]) == 2
    err = capsys.readouterr().err.strip()
    assert message in err and "\n" not in err and "Traceback" not in err
    assert (tmp_path / "existing").read_text() == "keep me"
    assert not list(tmp_path.glob("**/*.npy"))


def test_same_stems_in_folders_and_an_input_named_file(wav, tmp_path):
    path, data = wav
    (tmp_path / "sub").mkdir()
    soundfile.write(tmp_path / "sub" / "tones.wav", data, RATE, subtype="FLOAT")
    soundfile.write(tmp_path / "file.wav", data, RATE, subtype="FLOAT")
    paths = [str(path), str(tmp_path / "sub" / "tones.wav"), str(tmp_path / "file.wav")]
    assert main(["features", *paths, "-o", str(tmp_path / "all.npz"), "--quiet"]) == 0
    with np.load(tmp_path / "all.npz") as grams:
        assert sorted(grams.files) == ["file.wav", "metadata", "sub/tones.wav", "tones.wav"]
    assert main(["features", *paths, "-o", str(tmp_path / "out"), "--quiet"]) == 0
    assert (tmp_path / "out" / "sub" / "tones.wav.npy").exists()


def test_zarr_output_through_the_corpus(wav, tmp_path, capsys):
    pytest.importorskip("dask.distributed")
    pytest.importorskip("zarr")
    path, data = wav
    store = tmp_path / "f.zarr"
    assert main(["features", str(path), "-o", str(store), "--workers", "1", "--bands", "8",
                 "--continuous"]) == 0
    assert "1 done" in capsys.readouterr().err
    stored = vorl.corpus.open(str(store))
    assert np.array_equal(stored["tones.wav"][...], vorl.cochleagram(data.T, RATE, num_bands=8))


def test_a_closed_pipe_ends_quietly(tmp_path):
    with subprocess.Popen([sys.executable, "-m", "vorl", "demo", "-o", str(tmp_path / "d.png")],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as run:
        run.stdout.close()  # the reader is gone before the command prints
        err = run.stderr.read()
    assert run.returncode == 1 and "Traceback" not in err and "BrokenPipe" not in err, err


def test_version_help_and_warnings_naming_the_file(wav, tmp_path, capsys):
    path, _ = wav
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out.strip() == f"vorl {vorl.__version__}"
    with pytest.raises(SystemExit):
        main(["features", "--help"])
    text = capsys.readouterr().out
    assert "(default: 64)" in text and "(default: 0.0)" in text and "(default: None)" not in text
    assert "cores) (default" not in text and "store (default" not in " ".join(text.split())
    assert main(["features", str(path), "-o", str(tmp_path / "g"), "--high", "12000",
                 "--quiet"]) == 1
    assert (f"vorl: {path}: high_Hz=12000 is not below the Nyquist frequency 8000 Hz"
            in capsys.readouterr().err)


def test_frames_in_milliseconds_and_the_rate_aware_top_band(wav, tmp_path, capsys):
    path, data = wav
    out = tmp_path / "ms"
    assert main(["features", str(path), "-o", str(out), "--frame-ms", "25", "--hop-ms", "10",
                 "--quiet"]) == 0
    config = vorl.Cochleagram(RATE, frame_duration=0.025, hop_duration=0.01)
    assert config.frame_length == 400 and config.high_Hz == 7200
    assert np.array_equal(np.load(out / "tones.wav.npy"), config(data.T))
    meta = json.loads((out / "tones.wav.json").read_text())
    assert meta["frame_length"] == 400 and meta["center_frequencies"][-1] == pytest.approx(7200)
    assert main(["features", str(path), "-o", str(tmp_path / "x"), "--frame", "400",
                 "--frame-ms", "25"]) == 2
    assert "give --frame (samples) or --frame-ms, not both" in capsys.readouterr().err


def test_help_names_what_each_command_writes_and_plots_follow_their_extension(wav, tmp_path,
                                                                             capsys):
    path, _ = wav
    with pytest.raises(SystemExit):
        main(["--help"])
    assert "its cochleagram by default" in capsys.readouterr().out
    with pytest.raises(SystemExit):
        main(["plot", "--help"])
    assert "format follows the extension" in " ".join(capsys.readouterr().out.split())
    assert main(["plot", str(path), "-o", str(tmp_path / "a.svg")]) == 0
    assert (tmp_path / "a.svg").read_text().lstrip().startswith("<?xml")
    assert main(["plot", str(path), "-o", str(tmp_path / "a.nope")]) == 1
    assert "nope" in capsys.readouterr().err
