"""Peak memory of `vorl features` on a 60-minute stereo 44.1 kHz WAV, against
loading the file whole and calling the configuration on it.

The command reads the file in blocks and writes the .npy as the rows come, so
its memory is one block and the filter state, beside the interpreter and
NumPy; the result (about 160 MB of float64 with the defaults) is on disk, not
in memory. Each way runs in a process of its own; the peak is its maximum
resident set size.

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

RATE = 44100
WHOLE = """
import sys, numpy as np, vorl
signal, rate = vorl.load(sys.argv[1])
np.save(sys.argv[2], vorl.Gammatone(rate)(signal))
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
        command = [os.path.join(os.path.dirname(sys.executable), "vorl"), "features", wav,
                   "-o", os.path.join(tmp, "grams"), "--quiet"]
        blocks_s, blocks_mb = peak_of(command)
        whole_s, whole_mb = peak_of([sys.executable, "-c", WHOLE, wav,
                                     os.path.join(tmp, "whole.npy")])
        same = np.array_equal(np.load(os.path.join(tmp, "grams", "long.npy")),
                              np.load(os.path.join(tmp, "whole.npy")))
        result_mb = os.path.getsize(os.path.join(tmp, "whole.npy")) / 2**20
    print(f"{minutes:g} min stereo {RATE} Hz WAV: {size:.0f} MB; result {result_mb:.0f} MB")
    print(f"vorl features (blocks):     peak {blocks_mb:6.0f} MB  {blocks_s:5.1f} s  "
          f"(target < 300 MB)")
    print(f"load whole, then compute:   peak {whole_mb:6.0f} MB  {whole_s:5.1f} s")
    print(f"same rows: {same}")


if __name__ == "__main__":
    main()
