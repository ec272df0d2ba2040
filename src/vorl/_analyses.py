"""The analyses of a job of the command: the configuration its options give for a
sample rate, and for each file (at --rate, or at the file's own rate)."""
from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path
from typing import Callable, Dict, Iterator, Optional, Tuple

import numpy as np

from ._config import Config
from ._features import Cochleagram, Gammatone


def config_of_options(args: argparse.Namespace, sample_rate: int) -> Config:
    cls = Gammatone if args.framed else Cochleagram
    for what in ("frame", "hop"):
        if getattr(args, what) is not None and getattr(args, f"{what}_ms") is not None:
            raise ValueError(f"give --{what} (samples) or --{what}-ms, not both")
    seconds = {f"{what}_duration": getattr(args, f"{what}_ms") / 1000
               for what in ("frame", "hop") if getattr(args, f"{what}_ms") is not None}
    return cls(sample_rate, frame_length=args.frame, hop_length=args.hop,
               num_bands=args.bands, low_Hz=args.low, high_Hz=args.high,
               temporal_integration=args.integration, channel=args.channel,
               log=not args.linear, **seconds)


class Analyses:
    """The configuration of each file: at ``--rate`` (resampling the files at other
    rates), or at each file's own rate. A configuration's warnings are printed once,
    naming the first file it analyses, and so is a note when the files' rates differ."""

    def __init__(self, args: argparse.Namespace, say: Callable[[str], None]) -> None:
        self.args = args
        self.say = say  # how the command prints a line (beside its progress bars)
        self.made: Dict[int, Config] = {}
        self.file: Optional[Path] = None  # the file being configured, for messages

    def __call__(self, rate: int) -> Config:
        if self.args.rate is not None:
            rate = self.args.rate
        if rate not in self.made:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                self.made[rate] = config_of_options(self.args, rate)
            for warning in caught:
                self.say(f"vorl: {self.file or f'files at {rate} Hz'}: warning: {warning.message}")
            if len(self.made) == 2:
                print(f"vorl: note: the files have different sample rates ({', '.join(map(str, self.made))} "
                      "Hz, ...); each is analysed at its own, so frames of the same length span "
                      "different times (--rate HZ resamples them all)", file=sys.stderr)
        return self.made[rate]

    def blocks(self, path: Path, threads: Optional[int],
               progress: Optional[Callable[[Iterator[np.ndarray], int, str],
                                           Iterator[np.ndarray]]] = None
               ) -> Tuple[Config, int, int, int, Iterator[np.ndarray]]:
        """The configuration for `path`, the file's own rate, its number of frames
        and of values per frame, and its features (rows, or with --gfcc cepstra)
        in blocks read from the file (bounded memory), passed through
        ``progress(blocks, frames, name)`` if given."""
        from ._io import sample_rate_of
        from .corpus import opened

        rate = sample_rate_of(path)
        self.file = path
        config = self(rate)
        frames, width, blocks = opened(config, path, threads, self.features,
                                       resample=self.args.rate is not None)
        if progress is not None:
            blocks = progress(blocks, frames, path.name)
        return config, rate, frames, width, blocks

    @property
    def features(self) -> Optional[Dict[str, object]]:
        """`corpus.cepstral` of --gfcc and --deltas; None for rows."""
        from .corpus import cepstral

        gfcc = getattr(self.args, "gfcc", None)
        return None if gfcc is None else cepstral(gfcc, self.args.deltas)
