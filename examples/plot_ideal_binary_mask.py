"""
Separating speech from noise with an ideal binary mask
======================================================

The example speech in white noise at 0 dB SNR. The ideal binary mask keeps the
bands and frames where the speech's rows exceed the noise's (local criterion
0 dB); `vorl.resynthesize` analyses the mixture, weights each band by the mask
(interpolated between frame centres) and puts it back together, aligned with
the input.
"""
import matplotlib.pyplot as plt
import numpy as np

import vorl

speech, rate = vorl.example()
speech = speech[0]
noise = np.random.default_rng(1).standard_normal(speech.size)
noise *= np.sqrt(np.sum(speech ** 2) / np.sum(noise ** 2))  # 0 dB SNR
mixture = speech + noise

framing = {"frame_duration": 0.02, "hop_duration": 0.01}
config = vorl.Cochleagram(rate, **framing)
mask = (config(speech) > config(noise)).astype(float)
separated = vorl.resynthesize(mixture, rate, mask=mask, **framing)


def snr(estimate):
    return 10 * np.log10(np.sum(speech ** 2) / np.sum((speech - estimate) ** 2))


fig, axes = plt.subplots(3, 1, figsize=(8, 9), layout="constrained")
vorl.plot(config(mixture), config, ax=axes[0])
axes[0].set_title(f"mixture: SNR {snr(mixture):.1f} dB")
times = config.frame_times(mask.shape[0])
axes[1].pcolormesh(times, np.arange(config.num_bands), mask.T, cmap="gray", shading="nearest")
axes[1].set(title="ideal binary mask (white: kept)", ylabel="band", xlabel="time (s)")
vorl.plot(config(separated), config, ax=axes[2])
axes[2].set_title(f"resynthesised with the mask: SNR {snr(separated):.1f} dB")
