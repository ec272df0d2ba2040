"""This build against an older one: the `_vorl` call, whole signals, streams and synthesis.

Install the older build into a folder of its own, then give that folder:

    git worktree add /tmp/vorl-old <commit>
    .venv/bin/pip install --no-deps --target /tmp/vorl-old-site /tmp/vorl-old
    .venv/bin/python benchmarks/before_after.py /tmp/vorl-old-site

Each measurement runs in a child process, one per build; the rounds alternate
between the builds so that a slow spell of the machine hits both, and each
number is the best of all rounds. Prints both times and the ratio.
"""
import argparse
import json
import os
import subprocess
import sys

# Run in the child: one frame per call, and 60 s of audio with one thread.
MEASURE = r"""
import json, time, timeit
import numpy as np
import vorl
from _vorl.extractor import GammatoneFilterbank
rng = np.random.default_rng(0)
fb = GammatoneFilterbank()
frame = np.asfortranarray(rng.standard_normal((1, 1024)))
signal = rng.standard_normal(44100 * 60).astype(np.float32)
config = vorl.Gammatone(44100)
continuous = vorl.Cochleagram(44100)
frames = config.num_frames(signal.size)
call = min(timeit.repeat(lambda: fb(frame), number=200, repeat=5)) / 200
whole = min(timeit.repeat(lambda: config(signal, threads=1), number=1, repeat=3)) / frames
# 30 frames: too few to be worth a rotation table, so every frame rotates.
brief = signal[:config.frame_length + 29 * config.hop_length]
few = min(timeit.repeat(lambda: config(brief, threads=1), number=20, repeat=5)) / 20 / 30
carried = min(timeit.repeat(lambda: continuous(signal, threads=1), number=1, repeat=3)) / frames
two = min(timeit.repeat(lambda: continuous(signal, threads=2), number=1, repeat=3)) / frames
# The speech setting: 16 kHz, frames of 25 ms every 10 ms.
speech = vorl.Cochleagram(16000, frame_length=400, hop_length=160)
voice = signal[:16000 * 60]
spoken = (min(timeit.repeat(lambda: speech(voice, threads=1), number=1, repeat=3))
          / speech.num_frames(voice.size))
short = signal[:44100 * 10]
# Digital silence, and sound broken by it: every filter's output falls to zero.
silence = np.zeros_like(short)
broken = short * (np.arange(short.size) // 44100 % 2)
quiet = min(timeit.repeat(lambda: config(silence, threads=1), number=1, repeat=3)) \
    / config.num_frames(short.size)
quiet_carried = min(timeit.repeat(lambda: continuous(broken, threads=1), number=1, repeat=3)) \
    / config.num_frames(short.size)
resynth = min(timeit.repeat(lambda: vorl.resynthesize(short, 44100, threads=1), number=1,
                            repeat=3)) / config.num_frames(short.size)


def per_push(make, chunk, pushes=400):
    # Pushes of one chunk each, after a first that sets the stream up.
    def run():
        stream = make()
        stream.push(chunk)
        for _ in range(pushes):
            stream.push(chunk)
    return min(timeit.repeat(run, number=1, repeat=3)) / (pushes + 1)


chunk = signal[:512]
z = continuous.analytic(signal[:512])
synth = continuous.synthesis()
print(json.dumps({
    "call": call, "gammatonegram": whole, "gammatonegram_brief": few, "cochleagram": carried, "cochleagram2": two, "speech": spoken,
    "resynthesize": resynth, "quiet": quiet, "quiet_carried": quiet_carried,
    "rows_push": per_push(lambda: continuous.stream(), chunk),
    "envelopes_push": per_push(lambda: continuous.stream("envelopes"), chunk),
    "framed_push": per_push(lambda: config.stream(), chunk),
    "synthesis_push": per_push(lambda: synth.stream(), z),
    "kernel": vorl.simd_kernel(), "file": vorl.__file__}))
"""

MEASURES = [  # key, what, unit
    ("call", "_vorl call, one frame", "us per frame"),
    ("gammatonegram", "vorl.gammatonegram, 1 thread", "us per frame"),
    ("gammatonegram_brief", "  the same, 30 frames (no table)", "us per frame"),
    ("cochleagram", "vorl.cochleagram, 1 thread", "us per frame"),
    ("cochleagram2", "vorl.cochleagram, 2 threads", "us per frame"),
    ("speech", "  the same, 16 kHz, 400 / 160, 1 thread", "us per frame"),
    ("resynthesize", "vorl.resynthesize, 1 thread", "us per frame"),
    ("quiet", "gammatonegram of digital silence", "us per frame"),
    ("quiet_carried", "cochleagram, a second of sound, one of silence", "us per frame"),
    ("rows_push", "Cochleagram stream, 512 samples", "us per push"),
    ("envelopes_push", "envelope stream, 512 samples", "us per push"),
    ("framed_push", "Gammatone stream, 512 samples", "us per push"),
    ("synthesis_push", "synthesis stream, 512 samples", "us per push"),
]
KEYS = tuple(m[0] for m in MEASURES)


def measure(site):
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site
    out = subprocess.run([sys.executable, "-c", MEASURE], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline", help="folder holding the older build (pip --target)")
    parser.add_argument("--rounds", type=int, default=4)
    args = parser.parse_args()

    best = {}
    for _ in range(args.rounds):
        for name, site in (("before", args.baseline), ("after", None)):
            got = measure(site)
            if name in best:
                for key in KEYS:
                    best[name][key] = min(best[name][key], got[key])
            else:
                best[name] = got
    before, after = best["before"], best["after"]
    if os.path.samefile(before["file"], after["file"]):
        sys.exit(f"both runs imported {after['file']}: is {args.baseline} an install folder?")
    print(f"before: {before['file']} ({before['kernel']})")
    print(f"after:  {after['file']} ({after['kernel']})")
    print(f"{'44.1 kHz, 64 bands':34s} {'unit':13s} {'before':>9s} {'after':>9s} "
          f"{'after/before':>13s}")
    for key, what, unit in MEASURES:
        print(f"{what:34s} {unit:13s} {before[key] * 1e6:9.1f} {after[key] * 1e6:9.1f} "
              f"{after[key] / before[key]:12.2f}x")


if __name__ == "__main__":
    main()
