"""Peak memory of `vorl features` on a 60-minute stereo 48 kHz WAV, at the file's
own rate and resampled to 16 kHz (--rate 16000), against loading the file whole
(resampled the same way) and calling the configuration on it.

The command reads the file in blocks, resamples them with soxr's streaming
resampler and writes the .npy as the rows come, so its memory is one block, the
resampler's and the filters' state, beside the interpreter and NumPy; the
result is on disk, not in memory. Each way runs in a process of its own; the
peak is its maximum resident set size.

    .venv/bin/python benchmarks/bench_file_memory.py [--minutes 60]
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile

RATE = 48000
TARGET = 16000
WHOLE = """
import sys, numpy as np, vorl
signal, rate = vorl.load(sys.argv[1], sample_rate=int(sys.argv[3]))
np.save(sys.argv[2], vorl.Cochleagram(rate)(signal))  # what `vorl features` computes
"""


def peak_of(command):
    """(seconds, peak resident MB) of a child process."""
    start = time.perf_counter()
    child = subprocess.Popen(command)
    _, status, usage = os.wait4(child.pid, 0)
    if status:
        raise SystemExit(f"{command[:3]} failed with status {status}")
    return time.perf_counter() - start, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=60)
    minutes = parser.parse_args().minutes
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "long.wav")
        rng = np.random.default_rng(0)
        with soundfile.SoundFile(wav, "w", RATE, 2, "PCM_16") as out:
            for _ in range(int(minutes * 60)):  # a second at a time
                out.write(0.1 * rng.standard_normal((RATE, 2)))
        size = os.path.getsize(wav) / 2**20
        vorl = os.path.join(os.path.dirname(sys.executable), "vorl")
        print(f"{minutes:g} min stereo {RATE} Hz WAV: {size:.0f} MB")
        # Every run first, the comparisons after: a child's peak counts its parent's
        # memory at the fork, so this process holds no result while one runs.
        peaks = {}
        for rate in (RATE, TARGET):
            peaks[rate] = (
                peak_of([vorl, "features", wav, "-o", os.path.join(tmp, f"grams{rate}"),
                         "--quiet", "--rate", str(rate)]),
                peak_of([sys.executable, "-c", WHOLE, wav,
                         os.path.join(tmp, f"whole{rate}.npy"), str(rate)]))
        for rate, ((blocks_s, blocks_mb), (whole_s, whole_mb)) in peaks.items():
            same = np.array_equal(np.load(os.path.join(tmp, f"grams{rate}", "long.wav.npy")),
                                  np.load(os.path.join(tmp, f"whole{rate}.npy")))
            print(f"at {rate} Hz: vorl features (blocks)    peak {blocks_mb:6.0f} MB  "
                  f"{blocks_s:5.1f} s  (target < 300 MB)")
            print(f"at {rate} Hz: load whole, then compute  peak {whole_mb:6.0f} MB  "
                  f"{whole_s:5.1f} s  ({whole_mb / blocks_mb:.1f}x the memory); same rows: {same}")


if __name__ == "__main__":
    main()
