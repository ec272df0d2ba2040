"""Resynthesis: vorl against pyfar's analysis-synthesis filterbank, side by side.

60 s of band-limited white noise (150-6000 Hz) at 44.1 kHz, 64 bands, 1 thread.
Prints the best of several runs of each way and the ratios the library aims at:

- `vorl.resynthesize` (analysis, synthesis, chunk by chunk) against pyfar's
  `GammatoneBands(..., resolution=0.5).process` plus `reconstruct`: at least
  40x faster;
- `vorl.resynthesize` against `vorl.cochleagram` itself: at most 3x its time;
- `Cochleagram.analytic` followed by one `Synthesis` call on the whole complex
  array, against pyfar: at least 20x faster;

and the quality of each: SNR of the resynthesised noise, 4 ms delay. Then the
design's own targets, beside pyfar's: the overall response of analysis then
synthesis (within 0.2 dB from 100 Hz to 7 kHz at 4 ms, 0.05 dB fully aligned;
at most +1 dB outside the fitted range; at most -15 dB at 5 Hz), the SNR of
noise in two bands, and what an ideal binary mask gains on a harmonic source
in white noise at 0 dB, 16 kHz, 20 ms frames (at least 8 dB at 4 ms). The
whole-array road writes and reads the complex bands of the whole signal
(2.5 GB here); the script also times what memory alone costs for that (a new
complex array of that size filled, then summed) on the same machine, its floor.

pyfar is a peer with another API, needed by this script only: `pip install pyfar`.

    .venv/bin/python benchmarks/bench_synthesis.py [--seconds 60]
"""
import argparse
import os
import time

import numpy as np

os.environ.setdefault("OMP_NUM_THREADS", "1")  # NumPy's BLAS on one thread, as vorl's calls
import vorl  # noqa: E402

RATE = 44100


def best_of(function, repeats=5):
    """(seconds of the fastest run, its result)."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def noise(seconds, low=150, high=6000):
    """White noise with nothing outside low..high Hz."""
    n = int(seconds * RATE)
    spectrum = np.fft.rfft(np.random.default_rng(1).standard_normal(n))
    freqs = np.fft.rfftfreq(n, 1 / RATE)
    spectrum[(freqs < low) | (freqs > high)] = 0
    return np.fft.irfft(spectrum, n)


def snr(reference, estimate):
    return 10 * np.log10(np.sum(reference ** 2) / np.sum((reference - estimate) ** 2))


def response_figures(out, rate, delay_samples, fit=None):
    """In-band range (100 Hz-7 kHz), largest level outside the fitted range, and
    level at 5 Hz, all in dB, of an impulse's output `out` (input at sample 0)."""
    spectrum = np.fft.rfft(out)
    freqs = np.fft.rfftfreq(len(out), 1 / rate)
    level = 20 * np.log10(np.maximum(np.abs(spectrum), 1e-300))
    band = (freqs >= 100) & (freqs <= 7000)
    low, high = fit if fit is not None else (100, 7000)
    outside = (freqs < low) | (freqs > high)
    return (level[band].min(), level[band].max(), level[outside].max(),
            level[np.argmin(np.abs(freqs - 5))])


def mask_gain(delay):
    """SNR gained by resynthesising a 0 dB mixture with its ideal binary mask."""
    rate = 16000
    t = np.arange(3 * rate) / rate
    phase = 2 * np.pi * np.cumsum(200 * (1 + 0.1 * np.sin(2 * np.pi * 0.5 * t))) / rate
    clean = sum(np.sin(k * phase) / k ** 1.5 for k in range(1, 20)) * (
        1 + 0.8 * np.sin(2 * np.pi * 4 * t))
    interference = np.random.default_rng(3).standard_normal(len(t))
    interference *= np.sqrt(np.sum(clean ** 2) / np.sum(interference ** 2))
    framing = {"frame_length": 320, "hop_length": 160}
    config = vorl.Cochleagram(rate, **framing)
    ideal = (config(clean) > config(interference)).astype(float)
    out = vorl.resynthesize(clean + interference, rate, mask=ideal, delay=delay, **framing)
    return snr(clean, out) - snr(clean, clean + interference)


def quality(bank, pyfar):
    """The design's targets for vorl at 4 ms and fully aligned, and for pyfar."""
    from vorl._design import fitted_range

    n = 1 << 17
    impulse = np.zeros(n)
    impulse[0] = 1
    config = vorl.Cochleagram(RATE)
    print("overall response (dB): 100 Hz-7 kHz min..max | max outside the fitted range | "
          "at 5 Hz; noise SNR 150-6000 / 100-7000 Hz; ideal binary mask gain")
    wide = noise(10, 100, 7000)
    narrow = noise(10)
    for delay in (0.004, None):
        synth = config.synthesis(delay)
        low, high, out, at5 = response_figures(synth(config.analytic(impulse)), RATE,
                                               synth.delay_samples, fitted_range(config))
        snrs = [snr(x, vorl.resynthesize(x, RATE, delay=delay)) for x in (narrow, wide)]
        name = f"vorl, delay {'None' if delay is None else '4 ms'}"
        print(f"  {name:<26} {low:+6.2f}..{high:+5.2f} | {out:+6.2f} | {at5:+7.1f} | "
              f"{snrs[0]:5.1f} / {snrs[1]:5.1f} dB | {mask_gain(delay):+5.1f} dB")
    real, imag = bank.process(pyfar.Signal(impulse, RATE))
    low, high, out, at5 = response_figures(bank.reconstruct(real, imag).time[0], RATE, 0)
    d = int(round(0.004 * RATE))
    snrs = []
    for x in (narrow, wide):
        real, imag = bank.process(pyfar.Signal(x, RATE))
        y = bank.reconstruct(real, imag).time[0]
        snrs.append(snr(x[:-d], y[d:]))
    print(f"  {'pyfar, 4 ms':<26} {low:+6.2f}..{high:+5.2f} | {out:+6.2f} | {at5:+7.1f} | "
          f"{snrs[0]:5.1f} / {snrs[1]:5.1f} dB | (its bands differ; not measured)")
    print("  targets: within 0.2 dB at 4 ms, 0.05 dB aligned | at most +1 | at most -15 | "
          "45 / 55 dB (4 ms / aligned, 150-6000 Hz) | at least +8 dB at 4 ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    seconds = parser.parse_args().seconds
    import pyfar
    from pyfar.dsp.filter import GammatoneBands

    x = noise(seconds)
    config = vorl.Cochleagram(RATE)
    synth = config.synthesis(0.004)  # designed once, outside the timings

    t_coch, _ = best_of(lambda: vorl.cochleagram(x, RATE, threads=1))
    t_resyn, y = best_of(lambda: vorl.resynthesize(x, RATE, delay=0.004, threads=1))
    t_whole, y_whole = best_of(lambda: synth(config.analytic(x, threads=1), threads=1), 3)
    bank = GammatoneBands([50, 8000], resolution=0.5, delay=0.004, sampling_rate=RATE)
    signal = pyfar.Signal(x, RATE)

    def peer():
        real, imag = bank.process(signal)
        return bank.reconstruct(real, imag).time[0]

    t_peer, y_peer = best_of(peer, 2)

    def memory():  # the whole-array road's traffic alone: new complex bands written, then read
        bands = np.empty((x.size, config.num_bands), dtype=np.complex128)
        bands.fill(1.0)
        return float(bands.view(np.float64).sum())

    t_memory, _ = best_of(memory, 3)
    d = int(round(0.004 * RATE))
    print(f"{seconds:g} s of band-limited noise at {RATE} Hz, 64 bands, 1 thread; kernel "
          f"{vorl.simd_kernel()}")
    print(f"vorl.cochleagram:                       {t_coch * 1e3:8.1f} ms")
    print(f"vorl.resynthesize:                      {t_resyn * 1e3:8.1f} ms   "
          f"{t_resyn / t_coch:.2f}x cochleagram (target <= 3)   SNR {snr(x, y):.1f} dB")
    print(f"analytic, then one Synthesis call:      {t_whole * 1e3:8.1f} ms   "
          f"SNR {snr(x[:-d], y_whole[d:]):.1f} dB (memory: the complex bands, "
          f"{config.num_bands * x.size * 16 / 2**30:.1f} GB)")
    print(f"  memory alone (new complex bands filled, then summed): {t_memory * 1e3:8.1f} ms")
    print(f"pyfar GammatoneBands process+reconstruct ({len(bank.frequencies)} bands, 0.5 ERB): "
          f"{t_peer * 1e3:8.1f} ms   SNR {snr(x[:-d], y_peer[d:]):.1f} dB")
    print(f"resynthesize is {t_peer / t_resyn:.0f}x faster than pyfar (target >= 40); "
          f"analytic + Synthesis {t_peer / t_whole:.0f}x (target >= 20; memory alone "
          f"allows at most {t_peer / t_memory:.0f}x here)")
    quality(bank, pyfar)


if __name__ == "__main__":
    main()
