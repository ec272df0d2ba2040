import numpy as np
import numpy.typing as npt

def gammatonegram(
    signal: npt.NDArray[np.float64],
    frame_length: int,
    hop_length: int,
    num_bands: int,
    sample_rate: int,
    low_Hz: float,
    high_Hz: float,
    temporal_integration: float,
    channel: int,
    log: bool,
    threads: int,
) -> npt.NDArray[np.float64]: ...
def simd_kernel() -> str: ...
