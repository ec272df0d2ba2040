"""
A cochleagram and a gammatonegram
=================================

The continuous filterbank (`vorl.cochleagram`) carries every filter's state
through the signal; the framed one (`vorl.gammatonegram`) restarts every filter
at each frame, as the per-frame extractor does. Frames of 25 ms every 10 ms,
given in seconds.
"""
import matplotlib.pyplot as plt

import vorl

signal, rate = vorl.example()
framing = {"frame_duration": 0.025, "hop_duration": 0.01}

fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6.5), layout="constrained")
continuous = vorl.Cochleagram(rate, **framing)
vorl.plot(continuous(signal), continuous, ax=top)
top.set_title("cochleagram: the filters run through the whole signal")
framed = vorl.Gammatone(rate, **framing)
vorl.plot(framed(signal), framed, ax=bottom)
bottom.set_title("gammatonegram: every filter restarted at each frame")
