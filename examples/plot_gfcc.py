"""
Cepstral coefficients and their deltas
======================================

`vorl.gfcc` gives gammatone cepstral coefficients (the DCT of the cube-rooted
band levels); `vorl.delta` their regression deltas. `vorl.cepstra` gives the
same coefficients from rows already computed (as a store holds them), within
1e-12 (bands below the configuration's floor, as in the pauses here, read as the
floor in rows of log levels).
"""
import matplotlib.pyplot as plt
import numpy as np

import vorl

signal, rate = vorl.example()
config = vorl.Cochleagram(rate, frame_duration=0.025, hop_duration=0.01)
ceps = config.gfcc(signal, num_ceps=13)
from_rows = vorl.cepstra(config.replace(log=False)(signal), config.replace(log=False), 13)
print(f"largest difference from rows: {np.abs(from_rows - ceps).max():.1e}")
features = [ceps, vorl.delta(ceps), vorl.delta(ceps, order=2)]
times = config.frame_times(ceps.shape[0])

fig, axes = plt.subplots(3, 1, figsize=(8, 7), sharex=True, layout="constrained")
for ax, values, name in zip(axes, features, ["GFCC", "delta", "delta-delta"]):
    mesh = ax.pcolormesh(times, np.arange(13), values.T, cmap="coolwarm", shading="nearest",
                         vmin=-np.abs(values).max(), vmax=np.abs(values).max())
    ax.set(ylabel="coefficient", title=name)
    fig.colorbar(mesh, ax=ax)
axes[-1].set_xlabel("time (s)")
