from typing import List, Optional

import numpy as np
import numpy.typing as npt

class Bank:
    def __init__(
        self,
        sample_rate: int,
        center_frequencies: Optional[List[float]],
        num_bands: int,
        low_Hz: float,
        high_Hz: float,
        bandwidth_factor: float,
        temporal_integration: float,
    ) -> None: ...
    @property
    def center_frequencies(self) -> List[float]: ...
    @property
    def decay(self) -> float: ...

class Stream:
    def __init__(
        self,
        bank: Bank,
        output: str,
        frame_length: int,
        hop_length: int,
        channel: Optional[int],
        log: bool,
        floor: float,
        threads: int,
    ) -> None: ...
    def push(self, chunk: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    @property
    def samples_seen(self) -> int: ...
    @property
    def channels(self) -> Optional[int]: ...

class FramedStream:
    def __init__(
        self,
        bank: Bank,
        frame_length: int,
        hop_length: int,
        channel: Optional[int],
        log: bool,
        floor: float,
        threads: int,
    ) -> None: ...
    def push(self, chunk: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
    @property
    def samples_seen(self) -> int: ...
    @property
    def channels(self) -> Optional[int]: ...

class Synthesis:
    def __init__(
        self,
        factor_re: List[float],
        factor_im: List[float],
        delays: List[int],
        threads: int,
    ) -> None: ...
    def push(
        self,
        pairs: npt.NDArray[np.float64],
        weights: Optional[npt.NDArray[np.float64]],
    ) -> npt.NDArray[np.float64]: ...

def framed(
    signal: npt.NDArray[np.float64],
    bank: Bank,
    frame_length: int,
    hop_length: int,
    channel: Optional[int],
    log: bool,
    floor: float,
    threads: int,
) -> npt.NDArray[np.float64]: ...
def continuous(
    signal: npt.NDArray[np.float64],
    bank: Bank,
    output: str,
    frame_length: int,
    hop_length: int,
    channel: Optional[int],
    log: bool,
    floor: float,
    threads: int,
) -> npt.NDArray[np.float64]: ...
def erb_rate(hz: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
def erb_rate_to_hz(erb: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
def erb_space(low_Hz: float, high_Hz: float, num: int) -> List[float]: ...
def whole_frames(samples: int, frame_length: int, hop_length: int) -> int: ...
def simd_kernel() -> str: ...

class Resynthesis:
    def __init__(
        self,
        bank: Bank,
        channel: Optional[int],
        factor_re: List[float],
        factor_im: List[float],
        delays: List[int],
        threads: int,
    ) -> None: ...
    def push(
        self,
        chunk: npt.NDArray[np.float64],
        weights: Optional[npt.NDArray[np.float64]],
    ) -> npt.NDArray[np.float64]: ...
