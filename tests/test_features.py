"""Levels without -inf, cepstra, deltas, float32 results and helpful errors."""
import math
from pathlib import Path

import numpy as np
import pytest
import scipy.fft

import vorl
from vorl import Cochleagram, Gammatone

RATE = 16000


@pytest.fixture(scope="module")
def speech_like():
    """Digital silence, then noise bursts."""
    rng = np.random.default_rng(9)
    x = rng.standard_normal(RATE) * np.sin(np.linspace(0, 8 * np.pi, RATE)) ** 2
    x[:4000] = 0.0
    return x


@pytest.mark.parametrize("cls", [Gammatone, Cochleagram])
def test_floor_keeps_silence_finite_and_the_rest_exact(speech_like, cls):
    exact = cls(RATE, floor=0)(speech_like)
    floored = cls(RATE)(speech_like)
    assert np.isneginf(exact).any() and np.isfinite(floored).all()
    above = exact >= math.log10(vorl.DEFAULT_FLOOR)
    assert np.array_equal(floored[above], exact[above])
    assert np.all(floored[~above] == math.log10(vorl.DEFAULT_FLOOR))
    if cls is Gammatone:  # floor 0 is the extractor itself, -inf included
        fb = Gammatone(RATE).filterbank()
        frames = [np.asfortranarray(speech_like[np.newaxis, i * 512:i * 512 + 1024])
                  for i in range(len(exact))]
        assert np.array_equal(exact, np.array([fb(f) for f in frames]))


@pytest.mark.parametrize("compression", ["cuberoot", "log"])
@pytest.mark.parametrize("continuous", [True, False])
@pytest.mark.parametrize("lifter", [0, 22])
def test_gfcc_is_the_orthonormal_dct_of_compressed_levels(speech_like, compression, continuous,
                                                          lifter):
    config = (Cochleagram if continuous else Gammatone)(RATE, num_bands=32)
    levels = config.replace(log=False)(speech_like)
    compressed = (np.cbrt(levels) if compression == "cuberoot"
                  else np.log10(np.maximum(levels, vorl.DEFAULT_FLOOR)))
    expected = scipy.fft.dct(compressed, type=2, norm="ortho", axis=-1)[:, :13]
    if lifter:
        expected *= 1 + lifter / 2 * np.sin(np.pi * np.arange(13) / lifter)
    ceps = vorl.gfcc(speech_like, RATE, num_bands=32, compression=compression,
                     continuous=continuous, lifter=lifter)
    np.testing.assert_allclose(ceps, expected, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("kwargs, message", [({"num_ceps": 40}, "num_ceps must be"),
                                             ({"compression": "sqrt"}, "compression must be"),
                                             ({"lifter": -1}, "lifter must be")])
def test_gfcc_rejects(speech_like, kwargs, message):
    with pytest.raises(ValueError, match=message):
        vorl.gfcc(speech_like, RATE, num_bands=32, **kwargs)


def direct_delta(c, width):
    half = width // 2
    frames = len(c)
    at = lambda t: c[min(max(t, 0), frames - 1)]
    norm = 2 * sum(n * n for n in range(1, half + 1))
    return np.array([sum(n * (at(t + n) - at(t - n)) for n in range(1, half + 1)) / norm
                     for t in range(frames)])


@pytest.mark.parametrize("width", [3, 5, 9])
def test_delta_is_the_regression_formula(width):
    c = np.random.default_rng(width).standard_normal((12, 4))
    np.testing.assert_allclose(vorl.delta(c, width), direct_delta(c, width), atol=1e-14)
    np.testing.assert_allclose(vorl.delta(c, width, order=2),
                               direct_delta(direct_delta(c, width), width), atol=1e-14)
    np.testing.assert_allclose(vorl.delta(c.T, width, axis=1), direct_delta(c, width).T,
                               atol=1e-14)
    assert vorl.delta(c.astype(np.float32), width).dtype == np.float32


@pytest.mark.parametrize("kwargs", [{"width": 4}, {"width": 1}, {"order": 0}])
def test_delta_rejects(kwargs):
    with pytest.raises(ValueError):
        vorl.delta(np.zeros((5, 2)), **kwargs)


@pytest.mark.parametrize("make", [
    lambda c, x: c(x), lambda c, x: Cochleagram(**c._arguments())(x),
    lambda c, x: Cochleagram(**c._arguments()).envelopes(x),
    lambda c, x: Cochleagram(**c._arguments()).band_signals(x),
    lambda c, x: Cochleagram(**c._arguments()).stream().push(x),
    lambda c, x: c.stream().push(x),
    lambda c, x: c.gfcc(x),
    lambda c, x: np.concatenate(list(c.blocks(x, 3))),
])
def test_float32_is_the_float64_result_cast(speech_like, make):
    single = make(Gammatone(RATE, num_bands=20, dtype=np.float32), speech_like)
    double = make(Gammatone(RATE, num_bands=20), speech_like)
    assert single.dtype == np.float32 and np.array_equal(single, double.astype(np.float32))


@pytest.mark.parametrize("signal, error, message", [
    (np.zeros((4000, 2)), ValueError, r"looks like \(samples, channels\); pass signal.T"),
    ("speech.wav", TypeError, r"read a file with vorl.load\(path\)"),
    (Path("speech.wav"), TypeError, r"read a file with vorl.load\(path\)"),
    (np.r_[np.zeros(2000), np.nan, np.zeros(100)], ValueError,
     r"non-finite sample \(nan\) at channel 0, sample 2000"),
    (np.stack([np.zeros(3000), np.r_[np.zeros(2500), np.inf, np.zeros(499)]]), ValueError,
     r"non-finite sample \(inf\) at channel 1, sample 2500"),
])
@pytest.mark.parametrize("cls", [Gammatone, Cochleagram])
def test_errors_that_help(signal, error, message, cls):
    with pytest.raises(error, match=message):
        cls(RATE)(signal)


def test_check_finite_off_and_any_layout(speech_like):
    bad = speech_like.copy()
    bad[100] = np.nan
    assert np.isnan(Gammatone(RATE)(bad, check_finite=False)[0]).all()
    mono = speech_like[np.newaxis, :]
    stereo = np.stack([speech_like, speech_like[::-1]])
    for cls in (Gammatone, Cochleagram):
        assert np.array_equal(cls(RATE)(np.flipud(mono)), cls(RATE)(mono))
        assert np.array_equal(cls(RATE, channel=None)(stereo[::-1, ::2]),
                              cls(RATE, channel=None)(stereo[::-1, ::2].copy()))
    before = speech_like.copy()
    vorl.gfcc(speech_like, RATE)
    assert np.array_equal(speech_like, before)


def test_configuration_checks_floor_and_dtype():
    with pytest.raises(ValueError, match="floor must not be negative"):
        Gammatone(RATE, floor=-1)
    with pytest.raises(ValueError, match="dtype must be float32 or float64"):
        Gammatone(RATE, dtype=np.int16)


@pytest.mark.parametrize("cls", [vorl.Cochleagram, vorl.Gammatone])
@pytest.mark.parametrize("log", [True, False])
@pytest.mark.parametrize("compression", ["cuberoot", "log"])
def test_cepstra_of_stored_rows_are_the_signals_gfcc(cls, log, compression):
    signal = np.random.default_rng(4).standard_normal((2, 24000)) * 0.1
    config = cls(16000, log=log, channel=None, num_bands=40)
    rows = config(signal)
    before = rows.copy()
    ceps = vorl.cepstra(rows, config, 13, compression, lifter=22)
    assert np.allclose(ceps, config.gfcc(signal, 13, compression, lifter=22), rtol=0, atol=1e-12)
    assert np.array_equal(rows, before) and ceps.shape == (2, rows.shape[1], 13)
    with pytest.raises(ValueError, match="not this configuration's rows"):
        vorl.cepstra(rows[..., :20], config)


@pytest.mark.parametrize("rate", [8000, 16000, 44100])
def test_the_example_is_speech_like_and_the_same_every_time(rate):
    signal, got = vorl.example(rate)
    assert got == rate and signal.shape == (1, round(2.6 * rate)) and signal.dtype == np.float64
    assert np.array_equal(signal, vorl.example(rate)[0]) and np.max(np.abs(signal)) == 0.5
    x = signal[0]

    def spectrum(start, stop):  # magnitude and frequencies of a stretch, in seconds
        part = x[int(start * rate):int(stop * rate)]
        return np.abs(np.fft.rfft(part)), np.fft.rfftfreq(len(part), 1 / rate)

    magnitude, freqs = spectrum(0.2, 0.55)  # the first vowel: pitch 120-150 Hz
    assert 115 <= freqs[np.argmax(magnitude * (freqs < 400))] <= 155
    magnitude, freqs = spectrum(0.62, 0.76)  # the fricative: its energy above 4 kHz
    high = freqs >= min(3900, 0.29 * rate)
    assert np.sum(magnitude[high] ** 2) > 0.99 * np.sum(magnitude ** 2) > 0
    assert not np.any(x[:int(0.15 * rate)]) and not np.any(x[int(2.45 * rate):])  # pauses
    with pytest.raises(ValueError, match="8000 to 192000"):
        vorl.example(4000)


@pytest.mark.parametrize("low, high, num", [(50, 8000, 64), (100, 4000, 1), (20, 20000, 129),
                                            (300.5, 301, 2)])
def test_the_public_erb_scale_is_the_banks_own(low, high, num):
    import gammatone_reference as ref

    space = vorl.erb_space(low, high, num)
    assert np.array_equal(space, vorl.Cochleagram(48000, low_Hz=low, high_Hz=high,
                                                  num_bands=num).center_frequencies)
    if num > 1:  # an independent reference of the spacing
        assert np.allclose(space, [f[0] for f in ref.design(low, high, num, 48000)], rtol=1e-12)
    else:
        assert np.isclose(vorl.erb_rate(space[0]),
                          (ref.hz_to_erb_rate(low) + ref.hz_to_erb_rate(high)) / 2)
    rates = vorl.erb_rate(space)
    assert rates.shape == (num,) and np.allclose(np.diff(rates), np.diff(rates)[:1])
    assert np.allclose(vorl.erb_rate_to_hz(rates), space, rtol=1e-13)


@pytest.mark.parametrize("call", [lambda: vorl.erb_space(100, 100, 4),
                                  lambda: vorl.erb_space(100, 50, 4),
                                  lambda: vorl.erb_space(50, 8000, 0),
                                  lambda: vorl.erb_rate([100, -1]),
                                  lambda: vorl.erb_rate_to_hz(np.nan)])
def test_the_erb_scale_refuses_what_it_cannot_place(call):
    with pytest.raises(ValueError):
        call()
