import gc
import math

import numpy as np
import pytest

from _vorl.extractor import Extractor, GammatoneFilterbank

import gammatone_reference as ref

Filter = GammatoneFilterbank.Filter
RATE = 44100


def identity(x):
    return x


def linear_bank(**kwargs):
    return GammatoneFilterbank(transform=identity, **kwargs)


def sine(freq_Hz, n=4096, rate=RATE, amplitude=1.0):
    return list(amplitude * np.sin(2 * np.pi * freq_Hz * np.arange(n) / rate))


def noise(n, seed=0):
    return list(np.random.default_rng(seed).standard_normal(n))


def test_defaults():
    fb = GammatoneFilterbank()
    assert (fb.num_samples, fb.num_features, fb.sample_rate, fb.on_channel) == (1024, 64, 44100, -1)
    assert len(fb.filters) == 64
    assert fb.transform(100.0) == 2.0
    assert isinstance(fb, Extractor)


def test_default_transform_is_native_log10():
    fb = GammatoneFilterbank(num_samples=256, num_features=8)
    x = noise(256)
    assert fb(x) == [math.log10(v) for v in linear_bank(num_samples=256, num_features=8)(x)]
    # The native function survives a round trip through another extractor.
    again = GammatoneFilterbank(num_samples=256, num_features=8, transform=fb.transform)
    assert again(x) == fb(x)


@pytest.mark.parametrize("low, high", [(8000, 50), (1000, 1000), (50.0, 50.0)])
@pytest.mark.parametrize("count", [0, 1, 2, 64])
def test_invalid_frequency_range(low, high, count):
    with pytest.raises(ValueError, match="^Invalid frequency range$"):
        GammatoneFilterbank(num_features=count, low_Hz=low, high_Hz=high)


def test_frequency_argument_types():
    assert GammatoneFilterbank(low_Hz=100, high_Hz=np.float32(4000), temporal_integration=1).filters
    with pytest.raises(TypeError):
        GammatoneFilterbank(low_Hz="100")


def test_too_many_filters_is_a_value_error():
    with pytest.raises(ValueError):
        GammatoneFilterbank(num_features=2**63)


def test_filter_list_shape():
    filters = GammatoneFilterbank().filters
    cfs = np.array([f.cf for f in filters])
    radii_squared = np.array([f.a[4] for f in filters])
    gains = np.array([f.gain for f in filters])
    assert cfs[0] == pytest.approx(50, rel=1e-14) and cfs[-1] == pytest.approx(8000, rel=1e-14)
    assert np.all(np.diff(cfs) > 0)
    assert np.all(np.diff(gains) > 0) and np.all(np.diff(radii_squared) < 0)
    spacing = np.diff([ref.hz_to_erb_rate(f) for f in cfs])
    assert np.allclose(spacing, spacing[0]) and 0.45 < spacing[0] < 0.5


def test_one_filter_sits_at_erb_rate_midpoint():
    (f,) = GammatoneFilterbank(num_features=1, low_Hz=100, high_Hz=5000).filters
    mid = (ref.hz_to_erb_rate(100) + ref.hz_to_erb_rate(5000)) / 2
    assert f.cf == pytest.approx(ref.erb_rate_to_hz(mid), rel=1e-14)


@pytest.mark.parametrize("low, high, count, rate, integration", [
    (50, 8000, 5, 44100, 0), (100, 6000, 3, 16000, 0.004), (20, 20000, 4, 96000, 0.02),
])
def test_golden_values_from_independent_evaluation(low, high, count, rate, integration):
    n = 300
    x = noise(n, seed=count) + [1e-39, -1e-39] + [0.0] * 20
    fb = linear_bank(num_samples=len(x), num_features=count, sample_rate=rate,
                     low_Hz=low, high_Hz=high, temporal_integration=integration)
    designed = ref.design(low, high, count, rate)
    decay = math.exp(-1 / (rate * integration)) if integration else 0.0
    for got, (cf, a, gain, _, _) in zip(fb.filters, designed):
        assert (got.cf, got.a, got.gain) == (cf, a, gain)
    assert fb(x) == [ref.process(x, f, decay) for f in designed]


def test_filter_views_keep_their_bank_alive():
    fb = GammatoneFilterbank(low_Hz=200)
    first = fb.filters[0]
    cf = first.cf
    del fb
    gc.collect()
    assert first.cf == cf and len(first.a) == 5


def test_filter_records():
    f = Filter(1000.0, 0.5, 0.25, 3, [1, 2, 3, 4, 5])
    assert (f.cf, f.gain, f.a) == (1000.0, 3.0, [1.0, 2.0, 3.0, 4.0, 5.0])
    f.a[0] = 99.0
    assert f.a[0] == 1.0
    assert Filter(cf=1, coscf=2, sincf=3, gain=4, a=(0, 0, 0, 0, 0)).cf == 1.0
    for missing in ("coscf", "sincf"):
        with pytest.raises(AttributeError):
            getattr(f, missing)
    with pytest.raises(TypeError):
        Filter(1000.0, 0.5, 0.25, 3.0, [1, 2, 3, 4])


@pytest.mark.parametrize("target, name", [
    (GammatoneFilterbank(), "filters"),
    (GammatoneFilterbank().filters[0], "cf"),
    (GammatoneFilterbank().filters[0], "gain"),
    (GammatoneFilterbank().filters[0], "a"),
])
def test_readonly(target, name):
    with pytest.raises(AttributeError):
        setattr(target, name, getattr(target, name))


def test_python_compute_on_subclass_is_ignored():
    class Sub(GammatoneFilterbank):
        def compute(self, input, output):
            output[0] = 123.0

    x = noise(1024)
    assert Sub()(x) == GammatoneFilterbank()(x)


def test_call_forms_agree_and_repeat():
    fb = GammatoneFilterbank(num_samples=512)
    left, right = np.array(noise(512, 1)), np.array(noise(512, 2))
    stereo = np.asfortranarray(np.stack([left, right]))
    mono = fb(list(left))
    assert fb(left) == mono == fb(list(left))
    assert GammatoneFilterbank(num_samples=512, on_channel=0)(stereo) == mono
    assert GammatoneFilterbank(num_samples=512, on_channel=1)(stereo) == fb(list(right))
    assert fb(stereo) == fb(list((left + right) / 2))
    interleaved = np.ascontiguousarray(stereo.T)  # samples x channels, as audio files store them
    assert fb(interleaved.T) == fb(stereo)


def test_edge_frames():
    zeros = linear_bank(num_samples=1024)([0.0] * 1024)
    assert zeros == [0.0] * 64
    empty = linear_bank(num_samples=0)([])
    assert all(math.isnan(v) for v in empty)
    for integration in (0, 0.003):
        fb = linear_bank(num_samples=1, num_features=6, temporal_integration=integration)
        decay = math.exp(-1 / (RATE * integration)) if integration else 0.0
        got = fb([-0.75])
        assert got == pytest.approx([(1 - decay) * f.gain * 0.75 for f in fb.filters], rel=1e-15)


def test_sine_peaks_in_its_filter():
    fb = linear_bank(num_samples=4096)
    cfs = [f.cf for f in fb.filters]
    for k in (5, 20, 40, 60):
        features = np.log10(fb(sine(cfs[k])))
        assert abs(int(np.argmax(features)) - k) <= 1
        far = [i for i in range(64) if abs(i - k) >= 12]
        assert features[k] - features[far].max() > 1.0  # over 20 dB above distant filters


def test_sine_an_erb_away_is_weaker():
    fb = linear_bank(num_samples=4096)
    for k in (10, 30, 50):
        cf = fb.filters[k].cf
        erb = 24.7 * (0.00437 * cf + 1)
        at_cf = fb(sine(cf))[k]
        for offset in (-erb, erb):
            assert fb(sine(cf + offset))[k] < 0.5 * at_cf


def test_doubling_input_adds_log10_2():
    fb = GammatoneFilterbank()
    x = np.array(noise(1024, 3))
    once, twice = np.array(fb(list(x))), np.array(fb(list(2 * x)))
    assert np.allclose(twice - once, math.log10(2), atol=1e-12)


def test_integration_settles_at_envelope_level():
    n = 16384
    cf = GammatoneFilterbank().filters[30].cf
    x = sine(cf, n)
    plain = linear_bank(num_samples=n)(x)[30]
    integrated = linear_bank(num_samples=n, temporal_integration=0.001)(x)[30]
    assert integrated == pytest.approx(plain, rel=0.01)
    assert GammatoneFilterbank(num_samples=n, temporal_integration=0.001)(x) != GammatoneFilterbank(num_samples=n)(x)


@pytest.mark.parametrize("rate", [8000, 16000, 22050, 44100, 48000, 96000, 192000])
@pytest.mark.parametrize("integration", [0, 0.01])
def test_stable_from_20_Hz_to_20_kHz(rate, integration):
    n = 2048
    fb = linear_bank(num_samples=n, sample_rate=rate, low_Hz=20, high_Hz=20000,
                     temporal_integration=integration)
    for x in (noise(n, rate), sine(20, n, rate), [1.0] + [0.0] * (n - 1)):
        features = np.array(fb(x))
        assert np.all(np.isfinite(features)) and np.all(features >= 0)
