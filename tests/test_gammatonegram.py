import math
import pickle
import warnings
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import vorl
from vorl import Gammatone, gammatonegram

RATE = 16000
FRAME, HOP = 256, 100


@pytest.fixture(scope="module")
def stereo():
    rng = np.random.default_rng(5)
    n = FRAME + 9 * HOP + 37  # 10 whole frames and a ragged end
    t = np.arange(n) / RATE
    left = np.sin(2 * np.pi * 440 * t) + 0.1 * rng.standard_normal(n)
    right = 0.5 * np.sin(2 * np.pi * 1500 * t) + 0.1 * rng.standard_normal(n)
    return np.stack([left, right])


def per_frame(signal, config):
    """Each frame through the per-frame `_vorl` extractor, as Python users would."""
    fb = config.filterbank()
    signal = np.atleast_2d(signal)
    rows = []
    for i in range(config.num_frames(signal.shape[1])):
        frame = np.asfortranarray(signal[:, i * config.hop_length:i * config.hop_length + config.frame_length])
        rows.append(fb(frame))
    return np.array(rows)


@pytest.mark.parametrize("channel", [-1, 0, 1])
@pytest.mark.parametrize("log", [True, False])
@pytest.mark.parametrize("integration", [0.0, 0.005])
@pytest.mark.parametrize("threads", [1, 2, 3, 16])
def test_rows_equal_per_frame_extractor(stereo, channel, log, integration, threads):
    config = Gammatone(RATE, FRAME, HOP, num_bands=20, low_Hz=80, high_Hz=6000,
                       temporal_integration=integration, channel=channel, log=log)
    gram = config(stereo, threads=threads)
    assert gram.shape == (10, 20) and gram.dtype == np.float64
    np.testing.assert_array_equal(gram, per_frame(stereo, config))


def test_one_dimensional_signal(stereo):
    mono = stereo[0]
    gram = gammatonegram(mono, RATE, frame_length=FRAME, hop_length=HOP, num_bands=16)
    np.testing.assert_array_equal(gram, per_frame(mono, Gammatone(RATE, FRAME, HOP, num_bands=16)))
    as_row = gammatonegram(stereo[:1], RATE, frame_length=FRAME, hop_length=HOP, num_bands=16)
    np.testing.assert_array_equal(gram, as_row)


@pytest.mark.parametrize("convert", [
    lambda x: np.ascontiguousarray(x),
    lambda x: np.asfortranarray(x),
    lambda x: x.astype(np.float32),
    lambda x: np.asfortranarray(x.astype(np.float32)),
    lambda x: np.ascontiguousarray(x.T).T,         # interleaved audio, transposed
    lambda x: np.repeat(x, 2, axis=1)[:, ::2],      # strided view
    lambda x: x.tolist(),
])
def test_layouts_and_dtypes_give_the_same_result(stereo, convert):
    exact32 = stereo.astype(np.float32).astype(np.float64)  # values every dtype holds exactly
    expected = gammatonegram(np.ascontiguousarray(exact32), RATE, frame_length=FRAME, hop_length=HOP)
    given = convert(exact32)
    before = np.array(given, copy=True)
    np.testing.assert_array_equal(gammatonegram(given, RATE, frame_length=FRAME, hop_length=HOP), expected)
    np.testing.assert_array_equal(np.asarray(given), before)  # the caller's data is untouched


def test_frames_count_and_ends():
    config = Gammatone(RATE, frame_length=100, hop_length=30, num_bands=4)
    for n, frames in [(100, 1), (129, 1), (130, 2), (1000, 31)]:
        assert config(np.zeros(n)).shape == (frames, 4)
        assert config.num_frames(n) == frames


def test_blocks_join_to_the_whole(stereo):
    config = Gammatone(RATE, FRAME, HOP, num_bands=12)
    blocks = list(config.blocks(stereo, 3, threads=2))
    assert [len(b) for b in blocks] == [3, 3, 3, 1]
    np.testing.assert_array_equal(np.concatenate(blocks), config(stereo))


@pytest.mark.parametrize("kwargs, error, message", [
    ({"frame_length": 0}, ValueError, "frame_length must be a positive integer"),
    ({"hop_length": -3}, ValueError, "hop_length must be a positive integer"),
    ({"hop_length": 2.5}, TypeError, "hop_length must be an integer"),
    ({"num_bands": 0}, ValueError, "num_bands"),
    ({"sample_rate": 0}, ValueError, "sample_rate must be finite and positive"),
    ({"sample_rate": -8000}, ValueError, "sample_rate must be finite and positive"),
    ({"sample_rate": math.inf}, ValueError, "sample_rate must be finite and positive"),
    ({"sample_rate": math.nan}, ValueError, "sample_rate must be finite and positive"),
    ({"sample_rate": 22050.5}, ValueError, "whole number"),
    ({"low_Hz": 9000}, ValueError, "need 0 <= low_Hz < high_Hz"),
    ({"low_Hz": math.nan}, ValueError, "low_Hz must be finite"),
    ({"temporal_integration": -0.1}, ValueError, "must not be negative"),
    ({"channel": 2}, ValueError, "channel 2 does not exist: the signal has 2 channel"),
    ({"threads": 0}, ValueError, "threads must be a positive integer"),
])
def test_bad_arguments(stereo, kwargs, error, message):
    args = {"sample_rate": RATE, "frame_length": FRAME, "hop_length": HOP, **kwargs}
    with pytest.raises(error, match=message):
        gammatonegram(stereo, **args)


@pytest.mark.parametrize("signal, error, message", [
    (np.zeros(100), ValueError, "signal of 100 samples is shorter than one frame"),
    (np.zeros((2, 3, 400)), ValueError, "1-D .* or 2-D"),
    (np.zeros(400, dtype=np.int16), TypeError, "floating-point samples"),
    (np.zeros((0, 400)), ValueError, "no channels"),
])
def test_bad_signals(signal, error, message):
    with pytest.raises(error, match=message):
        gammatonegram(signal, RATE, frame_length=FRAME, hop_length=HOP)


@pytest.mark.parametrize("rate, high", [(8000, 3600.0), (16000, 7200.0), (22050, 8000.0),
                                         (44100, 8000.0)])
def test_the_default_top_band_stays_below_nyquist(rate, high):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        config = vorl.Cochleagram(rate)
    assert config.high_Hz == high and config.center_frequencies[-1] < rate / 2
    assert vorl.Gammatone(rate) == vorl.Gammatone(rate, high_Hz=high)
    # A default high_Hz follows a new rate; an explicit one stays.
    assert config.replace(sample_rate=8000).high_Hz == 3600
    assert vorl.Cochleagram(44100, high_Hz=3000).replace(sample_rate=8000).high_Hz == 3000


def test_a_top_band_at_or_above_nyquist_is_refused_but_stored_ones_still_load():
    for high in (8000, 12000):
        with pytest.raises(ValueError, match=f"high_Hz={high} is not below the Nyquist "
                                             "frequency 8000 Hz of 16000 samples"):
            vorl.Cochleagram(16000, high_Hz=high)
    with pytest.warns(UserWarning, match="above the Nyquist frequency 4000"):
        Gammatone(8000, center_frequencies=[100, 1000, 5000])  # given, not spaced: warned
    made_before = vorl._config.rebuild(vorl.Cochleagram, {"sample_rate": 16000,
                                                               "high_Hz": 8000.0})
    assert made_before.high_Hz == 8000 and pickle.loads(pickle.dumps(made_before)) == made_before


@pytest.mark.parametrize("seconds, samples", [(0.025, 400), (0.01, 160), (0.0000313, 1),
                                              (0.02503125, 401)])
def test_frames_in_seconds_round_to_the_nearest_sample(seconds, samples):
    config = Gammatone(16000, frame_duration=seconds, hop_duration=seconds)
    assert config.frame_length == config.hop_length == samples
    assert config == Gammatone(16000, frame_length=samples, hop_length=samples)
    times = config.frame_times(3)
    assert np.allclose(times, (np.arange(3) * samples + samples / 2) / 16000)
    signal = np.random.default_rng(2).standard_normal(16000)
    assert np.array_equal(vorl.gammatonegram(signal, 16000, frame_duration=seconds,
                                             hop_duration=seconds), config(signal))


@pytest.mark.parametrize("kwargs, message", [
    ({"frame_length": 400, "frame_duration": 0.025}, "frame_length .* or frame_duration"),
    ({"hop_length": 160, "hop_duration": 0.01}, "hop_length .* or hop_duration"),
    ({"frame_duration": 1e-5}, "less than one sample"),
    ({"hop_duration": -0.01}, "less than one sample"),
    ({"frame_duration": float("inf")}, "finite"),
])
def test_bad_durations_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        Gammatone(16000, **kwargs)
    with pytest.raises(ValueError, match="must not be negative"):
        Gammatone(16000).frame_times(-1)


def test_config_is_immutable_and_normalised():
    config = Gammatone(np.float64(44100.0), low_Hz=np.int64(100))
    assert type(config.sample_rate) is int and type(config.low_Hz) is float
    with pytest.raises(AttributeError):
        config.num_bands = 3
    cfs = config.center_frequencies
    assert len(cfs) == 64 and cfs[0] == pytest.approx(100) and cfs[-1] == pytest.approx(8000)
    assert np.all(np.diff(cfs) > 0)


def _run_config(config, signal):
    return config(signal, threads=1)


def test_pickle_round_trip_and_process_pool(stereo):
    config = Gammatone(RATE, FRAME, HOP, num_bands=10, temporal_integration=0.01, channel=1)
    clone = pickle.loads(pickle.dumps(config))
    assert clone == config and hash(clone) == hash(config)
    expected = config(stereo)
    with ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(_run_config, [clone, clone], [stereo, stereo[:, ::-1]]))
    np.testing.assert_array_equal(results[0], expected)
    np.testing.assert_array_equal(results[1], config(stereo[:, ::-1]))


def test_native_kernel_is_named():
    assert vorl.simd_kernel() in {"avx512f", "avx2", "sse2", "generic"}


def test_native_engine_rejects_what_python_would():
    from vorl import _engine

    signal = np.zeros((1, 300), order="F")
    bank = _engine.Bank(RATE, None, 4, 50.0, 4000.0, 1.019, 0.0)
    args = dict(frame_length=100, hop_length=50, channel=-1, log=True, floor=0.0, threads=1)
    with pytest.raises(ValueError, match="Cannot select channel 3"):
        _engine.framed(signal, bank, **{**args, "channel": 3})
    with pytest.raises(ValueError, match="must be positive"):
        _engine.framed(signal, bank, **{**args, "hop_length": 0})
    with pytest.raises(ValueError, match="Invalid frequency range"):
        _engine.Bank(RATE, None, 4, 5000.0, 4000.0, 1.019, 0.0)
    with pytest.raises(TypeError):
        _engine.framed(np.zeros((2, 300)), bank, **args)  # C order is not converted
    assert _engine.framed(signal[:, :50], bank, **args).shape == (0, 4)


@pytest.mark.parametrize("frames", [31, 32, 40])
def test_rows_equal_per_frame_extractor_either_side_of_the_rotation_table(frames):
    # Long signals run their frames with looked-up rotations, shared by the
    # channels; short ones go without.
    mono = Gammatone(RATE, FRAME, HOP, num_bands=24)
    signal = np.random.default_rng(frames).standard_normal((2, FRAME + (frames - 1) * HOP))
    gram = Gammatone(RATE, FRAME, HOP, num_bands=24, channel=None)(signal, threads=2)
    assert gram.shape == (2, frames, 24)
    for c in range(2):
        np.testing.assert_array_equal(gram[c], per_frame(signal[c], mono))
