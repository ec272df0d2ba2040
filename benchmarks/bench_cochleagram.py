"""Continuous filters: vorl.cochleagram on 60 s of 44.1 kHz audio, side by side
with the framed vorl.gammatonegram and the PyPI `gammatone` package.

Prints each time (best of several runs) and the ratios the library aims at:

- cochleagram, 1 thread, against gammatonegram with the same parameters, 1 thread
  (each sample filtered once instead of twice): at most 0.6x;
- cochleagram, 1 thread, against `gammatone.fftweight.fft_gtgram` (an FFT-weight
  approximation of gammatone filters), 64 bands, window 1024/44100 s, hop
  512/44100 s: at most 1.0x; the package's recursive `gtgram` is printed too;
- two threads against one: at least 1.8x;
- a stream fed 4096-sample chunks against one call: at most 1.1x.

The `gammatone` package is a peer with another API, needed by this script
only: `pip install gammatone`.

    .venv/bin/python benchmarks/bench_cochleagram.py
"""
import numpy as np

import vorl
from bench_gammatonegram import best_of  # the best of several runs, in seconds

RATE, SECONDS, CHUNK = 44100, 60, 4096


def streamed(config, signal):
    stream = config.stream()
    return [stream.push(signal[i:i + CHUNK]) for i in range(0, len(signal), CHUNK)]


def main():
    rng = np.random.default_rng(0)
    n = RATE * SECONDS
    t = np.arange(n) / RATE
    signal = np.sin(2 * np.pi * 220 * t) + 0.1 * rng.standard_normal(n)
    cochlea = vorl.Cochleagram(RATE)
    framed = vorl.Gammatone(RATE)

    one = best_of(5, lambda: cochlea(signal, threads=1))
    two = best_of(5, lambda: cochlea(signal, threads=2))
    framed_one = best_of(5, lambda: framed(signal, threads=1))
    stream = best_of(5, lambda: streamed(cochlea, signal))
    print(f"signal: {SECONDS} s at {RATE} Hz, {cochlea.num_bands} bands, frames of "
          f"{cochlea.frame_length} (hop {cochlea.hop_length}); kernel {vorl.simd_kernel()}")
    print(f"cochleagram, 1 thread:          {one * 1e3:8.1f} ms")
    print(f"gammatonegram, 1 thread:        {framed_one * 1e3:8.1f} ms   cochleagram / this = "
          f"{one / framed_one:.2f} (target <= 0.6)")
    print(f"cochleagram, 2 threads:         {two * 1e3:8.1f} ms   speed-up {one / two:.2f}x "
          f"(target >= 1.8)")
    print(f"stream, {CHUNK}-sample chunks:    {stream * 1e3:8.1f} ms   / one call = "
          f"{stream / one:.2f} (target <= 1.1)")

    try:
        from gammatone.fftweight import fft_gtgram
        from gammatone.gtgram import gtgram
    except ImportError:
        print("gammatone package not installed (pip install gammatone): peers skipped")
        return
    window, hop = cochlea.frame_length / RATE, cochlea.hop_length / RATE
    fft = best_of(3, lambda: fft_gtgram(signal, RATE, window, hop, 64, 50))
    recursive = best_of(1, lambda: gtgram(signal, RATE, window, hop, 64, 50))
    print(f"gammatone fft_gtgram:           {fft * 1e3:8.1f} ms   cochleagram / this = "
          f"{one / fft:.2f} (target <= 1.0)")
    print(f"gammatone gtgram (recursive):   {recursive * 1e3:8.1f} ms   cochleagram / this = "
          f"{one / recursive:.3f}")


if __name__ == "__main__":
    main()
