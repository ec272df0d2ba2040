from typing import Callable, List, Optional, Sequence, overload

import numpy as np
import numpy.typing as npt

class Extractor:
    def __init__(
        self,
        num_samples: int = 1024,
        num_features: int = 64,
        sample_rate: int = 44100,
        transform: Optional[Callable[[float], float]] = ...,
        on_channel: int = -1,
    ) -> None: ...
    @overload
    def __call__(self, input: Sequence[float]) -> List[float]: ...
    @overload
    def __call__(self, input: npt.NDArray[np.float64]) -> List[float]: ...
    @property
    def num_samples(self) -> int: ...
    @property
    def num_features(self) -> int: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def transform(self) -> Optional[Callable[[float], float]]: ...
    @property
    def on_channel(self) -> int: ...

class GammatoneFilterbank(Extractor):
    class Filter:
        def __init__(
            self, cf: float, coscf: float, sincf: float, gain: float, a: Sequence[float]
        ) -> None: ...
        @property
        def cf(self) -> float: ...
        @property
        def gain(self) -> float: ...
        @property
        def a(self) -> List[float]: ...

    def __init__(
        self,
        num_samples: int = 1024,
        num_features: int = 64,
        sample_rate: int = 44100,
        transform: Optional[Callable[[float], float]] = ...,
        on_channel: int = -1,
        low_Hz: float = 50,
        high_Hz: float = 8000,
        temporal_integration: float = 0,
    ) -> None: ...
    @property
    def filters(self) -> List[GammatoneFilterbank.Filter]: ...
