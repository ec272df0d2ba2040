"""Misuse from Python ends in a Python exception or a normal exit, never a signal.

Each case runs in a child process, which prints the name of the exception it
caught (or "ok") and must exit with status 0. `./dev test` runs this file once
more against a build of `_vorl` with AddressSanitizer and UBSan.
"""
import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
needs_address_limit = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer reserves more address space than any limit allows")

PRELUDE = """
import copy, gc, resource, sys, threading, time, weakref
import numpy as np
from _vorl.extractor import Extractor, GammatoneFilterbank

def limit_address_space(extra_MB):
    with open("/proc/self/status") as status:
        kB = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
    limit = (kB << 10) + (extra_MB << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

# Garbage that sleeps in __del__ when the interpreter collects it at shutdown,
# so that a sleeping daemon thread wakes while the interpreter is finalising.
class SlowShutdown:
    def __del__(self, sleep=time.sleep):
        sleep(0.6)

def shut_down_slowly():
    gc.disable()
    cycle = SlowShutdown()
    cycle.me = cycle

class Quiet(Extractor):
    def compute(self, input, output):
        pass
"""

CASES = {
    "uninitialised filterbank": ("TypeError", """
        GammatoneFilterbank.__new__(GammatoneFilterbank)([0.0] * 1024)
    """),
    "uninitialised subclass": ("TypeError", """
        Quiet.__new__(Quiet)(np.zeros((2, 1024), order="F"))
    """),
    "uninitialised filter": ("TypeError", """
        GammatoneFilterbank.Filter.__new__(GammatoneFilterbank.Filter).cf
    """),
    "uninitialised filters property": ("TypeError", """
        GammatoneFilterbank.__new__(GammatoneFilterbank).filters
    """),
    "copied filterbank": ("TypeError", """
        copy.copy(GammatoneFilterbank())([0.0] * 1024)
    """),
    "base __init__ on a filterbank": ("TypeError", """
        Extractor.__init__(GammatoneFilterbank(), 16, 1)
    """),
    "base __init__ from a filterbank subclass": ("TypeError", """
        class Sub(GammatoneFilterbank):
            def __init__(self):
                super(GammatoneFilterbank, self).__init__(4, 2)
        Sub()
    """),
    "python compute in a daemon thread at exit": ("ok", """
        class Slow(Extractor):
            def compute(self, input, output):
                time.sleep(0.3)
        threading.Thread(target=Slow(num_samples=4, num_features=2), args=([0.0] * 4,),
                         daemon=True).start()
        time.sleep(0.1)
        shut_down_slowly()
    """),
    "python transform in a daemon thread at exit": ("ok", """
        bank = GammatoneFilterbank(num_samples=64, num_features=4,
                                   transform=lambda x: time.sleep(0.3) or x)
        threading.Thread(target=bank, args=([0.5] * 64,), daemon=True).start()
        time.sleep(0.1)
        shut_down_slowly()
    """),
    "transform bound to its own extractor": ("ok", """
        class Scaled(GammatoneFilterbank):
            def __init__(self):
                super().__init__(num_samples=16, num_features=2, transform=self.scale)
                self.payload = bytearray(1 << 20)
            def scale(self, x):
                return 2 * x
        assert Scaled()([0.5] * 16) == [2 * v for v in GammatoneFilterbank(
            num_samples=16, num_features=2, transform=lambda x: x)([0.5] * 16)]
        refs = [weakref.ref(Scaled()) for _ in range(50)]
        gc.collect()
        assert not any(r() for r in refs), "bound-method transforms keep their extractors"
    """),
    "unaligned array": ("ok", """
        raw = np.zeros(8 * 3 * 256 + 1, dtype=np.uint8)
        view = np.frombuffer(raw.data, dtype=np.float64, count=3 * 256, offset=1)
        view[:] = np.sin(np.arange(3 * 256))
        frame = view.reshape(256, 3).T
        assert not frame.flags.aligned and frame.flags.f_contiguous
        for channel in (-1, 2):
            bank = GammatoneFilterbank(num_samples=256, num_features=8, on_channel=channel)
            assert bank(frame) == bank(np.asfortranarray(frame.copy()))
    """),
}

LIMITED = {
    "worker threads refused": ("RuntimeError", """
        import vorl
        signal = np.zeros(16 * 201 * 512)  # work for 200 threads
        limit_address_space(120)
        vorl.gammatonegram(signal, 44100, num_bands=4, threads=200)
    """),
    "result too large for memory": ("MemoryError", """
        bank = GammatoneFilterbank(num_samples=1, num_features=2_000_000)
        limit_address_space(40)
        bank([0.5])
    """),
    "python compute on a frame too large for memory": ("MemoryError", """
        frame = np.zeros((1, 2_000_000), order="F")
        bank = Quiet(num_samples=2_000_000, num_features=1)
        limit_address_space(40)
        bank(frame)
    """),
}


def run_case(body):
    script = PRELUDE + "try:\n" + textwrap.indent(textwrap.dedent(body), "    ") + """
except Exception as error:
    print(type(error).__name__, error)
else:
    print("ok")
"""
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("name", [*CASES, *(pytest.param(n, marks=needs_address_limit)
                                            for n in LIMITED)])
def test_misuse_ends_in_an_exception(name):
    expected, body = {**CASES, **LIMITED}[name]
    for attempt in range(2 if "daemon" in name else 1):  # shutdown races: try twice
        run = run_case(body)
        assert run.returncode == 0, f"exit status {run.returncode}\n{run.stderr[-3000:]}"
        assert run.stdout.split(" ", 1)[0].strip() == expected, run.stdout + run.stderr[-3000:]
