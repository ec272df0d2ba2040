"""Back from the bands: analytic outputs, resynthesis and masks, checked with
numbers (flatness, SNR, suppression) and bit for bit (streams, threads)."""
import numpy as np
import pytest

import vorl
from vorl import Cochleagram

RATE = 44100


def band_limited_noise(n, low, high, rate, seed=1):
    """White noise with nothing outside low..high Hz (zeroed FFT bins)."""
    spectrum = np.fft.rfft(np.random.default_rng(seed).standard_normal(n))
    freqs = np.fft.rfftfreq(n, 1 / rate)
    spectrum[(freqs < low) | (freqs > high)] = 0
    return np.fft.irfft(spectrum, n)


def snr(reference, estimate):
    return 10 * np.log10(np.sum(reference ** 2) / np.sum((reference - estimate) ** 2))


@pytest.fixture(scope="module")
def stereo():
    return np.random.default_rng(7).standard_normal((2, 9000))


def test_analytic_is_the_band_signal_and_its_quadrature(stereo):
    config = Cochleagram(RATE, num_bands=24, channel=None)
    z = config.analytic(stereo)
    assert z.dtype == np.complex128 and z.shape == (2, 9000, 24)
    assert np.array_equal(z.real, config.band_signals(stereo))
    np.testing.assert_allclose(np.abs(z), config.envelopes(stereo), rtol=1e-12, atol=1e-300)
    stream = config.stream("analytic")
    parts = [stream.push(stereo[:, i:i + 1234]) for i in range(0, 9000, 1234)]
    assert np.array_equal(np.concatenate(parts, axis=1), z)
    assert np.array_equal(config.analytic(stereo, threads=1), config.analytic(stereo, threads=3))
    assert config.replace(dtype="float32").analytic(stereo).dtype == np.complex64


@pytest.mark.parametrize("rate, kwargs, delay, low, high, tolerance", [
    (44100, {}, 0.004, 100, 7000, 0.2),
    (44100, {}, None, 100, 7000, 0.05),
    (16000, {}, 0.004, 100, 6400, 0.2),  # the default bank's top band at 7200 Hz
    (16000, {}, None, 100, 6400, 0.05),
    (16000, {"high_Hz": 7000}, 0.004, 100, 6200, 0.2),
])
def test_analysis_then_synthesis_is_flat_inside_and_rolls_off_outside(rate, kwargs, delay, low,
                                                                       high, tolerance):
    config = Cochleagram(rate, **kwargs)
    synth = config.synthesis(delay)
    n = 1 << 16
    impulse = np.zeros(n)
    impulse[0] = 1
    response = np.fft.rfft(synth(config.analytic(impulse)))
    freqs = np.fft.rfftfreq(n, 1 / rate)
    inside = (freqs >= low) & (freqs <= high)
    aligned = response[inside] * np.exp(2j * np.pi * freqs[inside] * synth.delay_samples / rate)
    assert np.all(np.abs(20 * np.log10(np.abs(aligned))) <= tolerance)
    assert np.all(np.abs(np.angle(aligned)) < 0.1)  # a pure delay, not only flat
    # Outside the fitted range nothing is amplified (hum, rumble), and DC is not passed.
    fit_low, fit_high = vorl._design.fitted_range(config)
    level = 20 * np.log10(np.abs(response))
    assert level[(freqs < fit_low) | (freqs > fit_high)].max() <= 1.0
    assert level[np.argmin(np.abs(freqs - 5))] <= -15 and level[0] <= -15
    if delay is None:  # every band aligned at the latest envelope peak
        assert synth.delay_samples > round(0.004 * rate) and np.min(synth.band_delays) == 0
    else:
        assert synth.delay_samples == round(delay * rate)


@pytest.mark.parametrize("delay, target", [(0.004, 45), (None, 55)])
def test_resynthesized_noise_keeps_its_waveform(delay, target):
    noise = band_limited_noise(2 * RATE, 150, 6000, RATE)
    before = noise.copy()
    out = vorl.resynthesize(noise, RATE, delay=delay)
    assert out.shape == noise.shape and np.array_equal(noise, before)
    assert snr(noise, out) >= target


@pytest.mark.parametrize("removed, kept", [(500, 3000), (3000, 500)])
def test_a_frame_mask_removes_one_tone_and_keeps_the_other(removed, kept):
    config = Cochleagram(RATE)
    t = np.arange(2 * RATE) / RATE
    tones = np.sin(2 * np.pi * 500 * t) + np.sin(2 * np.pi * 3000 * t)
    erb_rate = lambda f: 21.4 * np.log10(1 + 0.00437 * np.asarray(f))  # noqa: E731
    mask = np.ones((config.num_frames(len(t)), config.num_bands))
    mask[:, np.abs(erb_rate(config.center_frequencies) - erb_rate(removed)) <= 3] = 0
    out = vorl.resynthesize(tones, RATE, mask=mask)
    steady = slice(RATE // 2, 3 * RATE // 2)

    def level_dB(f):  # amplitude of the sine at f, by projection
        return 20 * np.log10(2 * abs(np.mean(out[steady] * np.exp(-2j * np.pi * f * t[steady]))))

    assert level_dB(removed) <= -40 and abs(level_dB(kept)) <= 0.5


def test_an_ideal_binary_mask_raises_the_snr():
    rate = 16000
    t = np.arange(3 * rate) / rate
    phase = 2 * np.pi * np.cumsum(200 * (1 + 0.1 * np.sin(2 * np.pi * 0.5 * t))) / rate
    clean = sum(np.sin(k * phase) / k ** 1.5 for k in range(1, 20)) * (1 + 0.8 * np.sin(
        2 * np.pi * 4 * t))  # harmonic, amplitude-modulated
    noise = np.random.default_rng(3).standard_normal(len(t))
    noise *= np.sqrt(np.sum(clean ** 2) / np.sum(noise ** 2))  # 0 dB
    framing = {"frame_length": 320, "hop_length": 160}
    config = Cochleagram(rate, **framing)
    ideal = (config(clean) > config(noise)).astype(float)  # local criterion 0 dB
    out = vorl.resynthesize(clean + noise, rate, mask=ideal, **framing)
    assert snr(clean, out) - snr(clean, clean + noise) >= 8


# Small banks whose bands lie close enough together to be put back together.
BANK20 = {"num_bands": 20, "low_Hz": 300.0, "high_Hz": 1500.0}
BANK8 = {"num_bands": 8, "low_Hz": 500.0, "high_Hz": 1000.0}


def test_streams_threads_and_an_all_ones_mask_give_the_same_bits():
    config = Cochleagram(16000, **BANK20, channel=None)
    signal = np.random.default_rng(5).standard_normal((2, 6000))
    synth = config.synthesis()
    z = config.analytic(signal)
    whole = synth(z, threads=1)
    assert whole.shape == (2, 6000)
    assert np.array_equal(whole, synth(z, threads=2))
    frames = np.ones((config.num_frames(6000), 20))
    assert np.array_equal(whole, synth(z, mask=frames))
    sample_mask = np.random.default_rng(6).uniform(0, 2, (6000, 20))
    masked = synth(z, mask=sample_mask)
    rng = np.random.default_rng(8)
    stream, parts, at = synth.stream(threads=2), [], 0
    while at < 6000:
        size = int(rng.choice([1, 2, 37, 700]))
        parts.append(stream.push(z[:, at:at + size], sample_mask[at:at + size]))
        at += size
    assert np.array_equal(np.concatenate(parts, axis=1), masked)
    # resynthesize: the same bits as one call on the signal and delay_samples zeros, shifted back.
    d = synth.delay_samples
    padded = config.analytic(np.concatenate([signal, np.zeros((2, d))], axis=1))
    assert np.array_equal(vorl.resynthesize(signal, 16000, **BANK20, channel=None),
                          synth(padded)[:, d:])


@pytest.mark.parametrize("chunk", [997, 1 << 15])
def test_resynthesize_with_a_sample_mask_is_the_padded_call_shifted_back(chunk, monkeypatch):
    monkeypatch.setattr(vorl._resynthesis, "_CHUNK", chunk)  # chunk ends inside the padding too
    config = Cochleagram(16000, **BANK20, channel=None)
    signal = np.random.default_rng(11).standard_normal((2, 5000))
    mask = np.random.default_rng(12).uniform(0, 2, (5000, 20))
    synth = config.synthesis(None)
    d = synth.delay_samples
    padded = config.analytic(np.concatenate([signal, np.zeros((2, d))], axis=1))
    held = np.vstack([mask, np.repeat(mask[-1:], d, axis=0)])  # the last row held
    out = vorl.resynthesize(signal, 16000, mask=mask, delay=None, **BANK20, channel=None)
    assert np.array_equal(out, synth(padded, mask=held)[:, d:])


def test_a_long_call_gives_the_bits_of_its_chunks_on_any_threads():
    # Longer than the blocks that one call renders at a time, in order or on threads.
    config = Cochleagram(16000, num_bands=11, low_Hz=300, high_Hz=1000)
    z = config.analytic(np.random.default_rng(9).standard_normal(40000))
    mask = np.random.default_rng(10).uniform(0, 1, (40000, 11))
    synth = config.synthesis(None)
    whole = synth(z, mask=mask, threads=1)
    assert np.array_equal(whole, synth(z, mask=mask, threads=2))
    stream = synth.stream()
    parts = [stream.push(z[a:a + 17000], mask[a:a + 17000]) for a in range(0, 40000, 17000)]
    assert np.array_equal(np.concatenate(parts), whole)


@pytest.mark.parametrize("call, error, message", [
    (lambda s, z: s(z, mask=np.ones((3, 8))), ValueError, "one per frame"),
    (lambda s, z: s(z, mask=-np.ones((100, 8))), ValueError, "not negative"),
    (lambda s, z: s(z, mask=np.full((100, 8), np.nan)), ValueError, "finite"),
    (lambda s, z: s(z, mask=np.ones((100, 7))), ValueError, "one column per band"),
    (lambda s, z: s(z[:, :5]), ValueError, r"must be \(samples, 8\)"),
    (lambda s, z: s(z.real), TypeError, "must be complex"),
    (lambda s, z: Cochleagram(RATE, **BANK8).synthesis(-0.001), ValueError, "not negative"),
    (lambda s, z: Cochleagram(RATE, **BANK8).synthesis(float("nan")), ValueError, "finite"),
    (lambda s, z: s.stream().push(z, np.ones((99, 8))), ValueError, "one per sample"),
])
def test_bad_input_says_what_was_expected(call, error, message):
    config = Cochleagram(RATE, **BANK8)
    synth = config.synthesis()
    z = config.analytic(np.random.default_rng(0).standard_normal(100))
    before = z.copy()
    with pytest.raises(error, match=message):
        call(synth, z)
    assert np.array_equal(z, before)


@pytest.mark.parametrize("kwargs, delay, message", [
    ({"num_bands": 1}, 0.004, "at least two bands"),
    ({"low_Hz": 9000.0, "high_Hz": 10000.0, "num_bands": 4}, 0.004, "Nyquist"),
    ({}, 0.0, r"misses a pure delay.*64 of its 64 bands.*unaligned"),
    ({"num_bands": 11}, 0.004, r"misses a pure delay.*ERB apart"),
])
@pytest.mark.filterwarnings("ignore:high_Hz")
def test_designs_that_cannot_reconstruct_are_refused_naming_why(kwargs, delay, message):
    with pytest.raises(ValueError, match=message):
        Cochleagram(16000, **kwargs).synthesis(delay)


def test_a_design_far_from_flat_warns_and_its_response_says_so():
    with pytest.warns(UserWarning, match=r"not flat.*ERB apart.*longer delay"):
        coarse = Cochleagram(16000, num_bands=32).synthesis()
    freqs, response = coarse.response()
    inside = (freqs > 100) & (freqs < 7000)
    assert np.ptp(20 * np.log10(np.abs(response[inside]))) > 3
    # The response is what the synthesis does to an impulse, at any FFT length.
    synth = Cochleagram(16000).synthesis()
    freqs, response = synth.response()
    impulse = np.zeros(len(freqs) * 2 - 2)
    impulse[0] = 1
    assert np.allclose(np.fft.rfft(synth(synth.config.analytic(impulse))), response,
                       atol=1e-9)
    inside = (freqs > 100) & (freqs < 6400)
    assert np.all(np.abs(20 * np.log10(np.abs(response[inside]))) < 0.2)
    short_freqs, short = synth.response(256)
    assert len(short_freqs) == 129 and np.allclose(short, response[::len(freqs) // 128][:129],
                                                   atol=1e-6)


def test_bad_bands_masks_delays_and_threads_are_refused_before_any_work():
    config = Cochleagram(16000, **BANK8, channel=None)
    synth = config.synthesis()
    z = config.analytic(np.random.default_rng(1).standard_normal((2, 300)))
    for bad in (np.nan, np.inf, 1e200):
        spoiled = z.copy()
        spoiled[1, 17, 3] = bad
        with pytest.raises(ValueError, match=r"at \(1, 17, 3\).*check_finite=False"):
            synth(spoiled)
        stream = synth.stream()
        with pytest.raises(ValueError, match="check_finite=False"):
            stream.push(spoiled)
        assert np.array_equal(stream.push(z), synth(z))  # the refused push left no trace
        with pytest.raises(ValueError, match="mask values must be finite"):
            synth(z, mask=np.full((300, 8), bad))
    assert np.isnan(synth(np.where(np.isnan(z), z, np.nan), check_finite=False)).all()
    with pytest.raises(ValueError, match="no channels"):
        synth(z[:0])
    with pytest.raises(ValueError, match="threads must be a positive integer"):
        synth.stream(threads=0)
    for delay in (1.5, 1e300, 2**70):
        with pytest.raises(ValueError, match="at most 1 second"):
            config.synthesis(delay)
    for name in ("gains", "phases", "band_delays"):
        with pytest.raises(ValueError, match="read-only"):
            getattr(synth, name)[0] = 0


@pytest.mark.parametrize("channel", [-1, None])
def test_resynthesis_of_nothing_is_nothing(channel):
    signal = np.zeros((2, 0))
    out = vorl.resynthesize(signal, 16000, mask=np.ones((0, 64)), channel=channel)
    analytic = Cochleagram(16000, channel=channel).analytic(signal)
    assert out.shape == analytic.shape[:-1]
    with pytest.raises(ValueError, match="3 rows for a signal of 0 samples"):
        vorl.resynthesize(signal, 16000, mask=np.ones((3, 64)), channel=channel)
