"""Continuous filters: vorl.cochleagram on 60 s of 44.1 kHz audio, side by side
with the framed vorl.gammatonegram and the PyPI `gammatone` package.

Prints each time (best of several runs) and the ratios the library aims at:

- cochleagram, 1 thread, against gammatonegram with the same parameters, 1 thread
  (each sample filtered once instead of twice): at most 0.6x;
- cochleagram, 1 thread, against `gammatone.fftweight.fft_gtgram` (an FFT-weight
  approximation of gammatone filters), 64 bands, window 1024/44100 s, hop
  512/44100 s: at most 1.0x; the package's recursive `gtgram` is printed too;
- two threads against one: at least 1.8x;
- a stream fed 4096-sample chunks against one call: at most 1.1x;
- cochleagram, 1 thread, against the floating-point bound of its kernel (the
  time the core needs to issue the recursion's operations, measured by
  `vorl_bench_gammatone` when it is built): at most 1.2x;
- cochleagram, 2 threads, against spafe's `erb_spectrogram` (64 bands, the same
  frames, FFT of 1024): faster.

The `gammatone` and `spafe` packages are peers with other APIs, needed by this
script only: `pip install gammatone spafe`. The bound needs the C++ benchmark:
`cmake -S . -B build/bench -DVORL_BUILD_BENCHMARKS=ON && cmake --build build/bench`.

    .venv/bin/python benchmarks/bench_cochleagram.py
"""
import re
import subprocess
from pathlib import Path

import numpy as np

import vorl
from bench_gammatonegram import best_of  # the best of several runs, in seconds

RATE, SECONDS, CHUNK = 44100, 60, 4096


def streamed(config, signal):
    stream = config.stream()
    return [stream.push(signal[i:i + CHUNK]) for i in range(0, len(signal), CHUNK)]


def bound_seconds(config, samples):
    """The kernel's bound for `samples` samples of `config`'s filters, from the C++
    benchmark's bound for the continuous variant this process chose; None without it."""
    bench = Path(__file__).resolve().parent.parent / "build" / "bench" / "vorl_bench_gammatone"
    if not bench.exists():
        return None
    out = subprocess.run([str(bench)], capture_output=True, text=True, check=True).stdout
    chosen = re.search(r"continuous (\S+)", out.split("chosen for this process")[1]).group(1)
    row = next(line for line in out.splitlines() if line.startswith(chosen + " "))
    ns, width = float(row.split()[1]), {"avx512f": 8, "avx2": 4}.get(chosen.split("/")[0], 2)
    return ns * 1e-9 * -(-config.num_bands // width) * samples, chosen


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

    bound = bound_seconds(cochlea, n)
    if bound is None:
        print("bound: build the C++ benchmark (see the docstring) to print it")
    else:
        print(f"bound of {bound[1]}:     {bound[0] * 1e3:8.1f} ms   cochleagram, 1 thread / this = "
              f"{one / bound[0]:.2f} (target <= 1.2); per second of audio "
              f"{one / SECONDS * 1e3:.2f} ms against {bound[0] / SECONDS * 1e3:.2f} ms")
    try:
        from spafe.features.gfcc import erb_spectrogram
        from spafe.utils.preprocessing import SlidingWindow
    except ImportError:
        print("spafe not installed (pip install spafe): skipped")
    else:
        frames = SlidingWindow(cochlea.frame_length / RATE, cochlea.hop_length / RATE, "hamming")
        spafe = best_of(3, lambda: erb_spectrogram(signal, RATE, window=frames, nfilts=64,
                                                    nfft=1024, low_freq=50, high_freq=8000))
        print(f"spafe erb_spectrogram:          {spafe * 1e3:8.1f} ms   cochleagram, 2 threads / "
              f"this = {two / spafe:.2f} (target < 1)")
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
