"""
What analysis then synthesis does to each frequency
===================================================

`vorl.Synthesis.response` gives the overall frequency response of a design: a pure
delay over the fitted range (shaded), rolling off beyond the outer bands, so
that hum, rumble and DC are not amplified. ``delay=None`` aligns every band,
the default 4 ms delay answers sooner.
"""
import matplotlib.pyplot as plt
import numpy as np

import vorl
from vorl._design import fitted_range

config = vorl.Cochleagram(16000)
fig, (level, phase) = plt.subplots(2, 1, figsize=(8, 6), sharex=True, layout="constrained")
for delay in (0.004, None):
    synth = config.synthesis(delay)
    freqs, response = synth.response(1 << 16)
    label = f"delay {'None' if delay is None else '4 ms'} ({synth.delay_samples} samples)"
    level.semilogx(freqs[1:], 20 * np.log10(np.abs(response[1:])), label=label)
    # The phase left once the pure delay is taken out: 0 where the design is exact.
    aligned = response * np.exp(2j * np.pi * freqs * synth.delay_samples / config.sample_rate)
    phase.semilogx(freqs[1:], np.angle(aligned[1:]), label=label)
for ax in (level, phase):
    ax.axvspan(*fitted_range(config), color="0.92", zorder=0)
    ax.grid(True, which="both", alpha=0.3)
level.set(ylim=(-40, 3), ylabel="level (dB)", title="default bank, 16 kHz")
phase.set(ylim=(-0.5, 0.5), xlim=(2, 8000), xlabel="frequency (Hz)",
          ylabel="phase after the delay (rad)")
level.legend()
