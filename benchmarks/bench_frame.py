"""One frame through the default filterbank (64 filters, 1024 samples, 44.1 kHz).

Compares the extractor with the hardware bound of the job, one correctly
rounded square root per filter and sample (NumPy's vectorised sqrt over
64 x 1024 doubles), and with what users write today in SciPy (per band:
gammatone IIR filter, lfilter, |hilbert|, mean, log10). Prints the absolute
times and the ratios; every time is the best of several repeats.

    .venv/bin/python benchmarks/bench_frame.py
"""
import platform
import timeit

import numpy as np
import scipy.signal

from _vorl.extractor import GammatoneFilterbank
import vorl

RATE, N, BANDS = 44100, 1024, 64


def best(call, number):
    return min(timeit.repeat(call, number=number, repeat=9)) / number


def cpu_vector_extensions():
    try:
        with open("/proc/cpuinfo") as info:
            flags = next(line for line in info if line.startswith("flags")).split()
    except (OSError, StopIteration):
        return platform.machine()
    wanted = ["sse2", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512vl"]
    return " ".join(f for f in wanted if f in flags)


def scipy_features(x, designs):
    return [np.log10(np.mean(np.abs(scipy.signal.hilbert(scipy.signal.lfilter(b, a, x)))))
            for b, a in designs]


def main():
    fb = GammatoneFilterbank()
    rng = np.random.default_rng(0)
    mono = np.asfortranarray(rng.standard_normal((1, N)))
    stereo = np.asfortranarray(rng.standard_normal((2, N)))
    as_list = list(mono[0])
    roots_in, roots_out = rng.random(BANDS * N), np.empty(BANDS * N)
    # Designed once, outside the timing, as a careful SciPy user would.
    designs = [scipy.signal.gammatone(f.cf, "iir", fs=RATE) for f in fb.filters]

    sqrt_s = best(lambda: np.sqrt(roots_in, out=roots_out), 2000)
    array_s = best(lambda: fb(mono), 300)
    list_s = best(lambda: fb(as_list), 300)
    stereo_s = best(lambda: fb(stereo), 300)
    scipy_s = best(lambda: scipy_features(mono[0], designs), 5)

    print(f"CPU vector extensions: {cpu_vector_extensions()}")
    print(f"filter kernel:         {vorl.simd_kernel()}")
    print(f"{'sqrt bound (np.sqrt, 65536 doubles)':40s} {sqrt_s * 1e6:9.1f} us")
    print(f"{'extractor, column-major array':40s} {array_s * 1e6:9.1f} us"
          f"   {array_s / sqrt_s:5.2f}x the sqrt bound (target: <= 1.5 with AVX-512, <= 2.5 with AVX2)")
    print(f"{'extractor, list of floats':40s} {list_s * 1e6:9.1f} us"
          f"   {100 * (list_s / array_s - 1):+5.1f}% over the array (target: <= +35%)")
    print(f"{'extractor, average of 2 channels':40s} {stereo_s * 1e6:9.1f} us"
          f"   {100 * (stereo_s / array_s - 1):+5.1f}% over one channel (target: <= +10%)")
    print(f"{'scipy: gammatone, lfilter, hilbert':40s} {scipy_s * 1e6:9.1f} us"
          f"   extractor is {scipy_s / array_s:5.1f}x faster (target: >= 30)")


if __name__ == "__main__":
    main()
