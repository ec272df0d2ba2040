"""Whole signals: vorl.gammatonegram on 10 minutes of 44.1 kHz audio.

Prints the cost per frame with one thread against a per-frame call of the
native extractor (the `_vorl` call on a column-major array, which is the
native compute plus a small call overhead), the speed-up of two threads over
one, and the real-time factor. Every time is the best of several runs.

    .venv/bin/python benchmarks/bench_gammatonegram.py
"""
import os
import time
import timeit

import numpy as np

import vorl

RATE, MINUTES = 44100, 10


def best_of(runs, call):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rng = np.random.default_rng(0)
    n = RATE * 60 * MINUTES
    t = np.arange(n) / RATE
    signal = (np.sin(2 * np.pi * 220 * t) + 0.1 * rng.standard_normal(n)).astype(np.float32)
    config = vorl.Gammatone(RATE)
    frames = config.num_frames(n)
    cores = len(os.sched_getaffinity(0))

    fb = config.filterbank()
    frame = np.asfortranarray(signal[np.newaxis, :config.frame_length], dtype=np.float64)
    per_call = min(timeit.repeat(lambda: fb(frame), number=300, repeat=9)) / 300

    one = best_of(3, lambda: config(signal, threads=1))
    two = best_of(3, lambda: config(signal, threads=2))
    every = best_of(3, lambda: config(signal))

    print(f"signal: {MINUTES} min at {RATE} Hz = {frames} frames of {config.frame_length} "
          f"(hop {config.hop_length}), {config.num_bands} bands; kernel {vorl.simd_kernel()}, "
          f"{cores} cores")
    print(f"native extractor, one frame per call:  {per_call * 1e6:7.1f} us per frame")
    print(f"gammatonegram, 1 thread:               {one / frames * 1e6:7.1f} us per frame"
          f"  ({100 * (one / frames / per_call - 1):+.1f}% vs per call; target within 10%)")
    print(f"gammatonegram, 2 threads:              {two / frames * 1e6:7.1f} us per frame"
          f"  ({one / two:.2f}x one thread; target >= 1.8 on 2 cores)")
    print(f"gammatonegram, all {cores} cores:           {every:7.2f} s for {MINUTES} min: "
          f"{60 * MINUTES / every:.0f}x real time")


if __name__ == "__main__":
    main()
