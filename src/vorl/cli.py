"""The `vorl` command: gammatone features and pictures of audio files."""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from ._gammatone import Gammatone
from ._io import load

# Files longer than this many frames get a progress bar of their own.
_FRAMES_PER_BLOCK = 2000


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except KeyboardInterrupt:
        return 130


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vorl", description=__doc__)
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    features = commands.add_parser("features", help="write the gammatonegram of each file")
    features.add_argument("files", nargs="+", metavar="FILE", type=Path)
    features.add_argument("-o", "--output", required=True, type=Path,
                          help="a directory for one .npy per file, or a single .npz file")
    _add_config_options(features)
    features.add_argument("--quiet", action="store_true", help="no progress bars")
    features.set_defaults(run=_features)

    picture = commands.add_parser("plot", help="draw the gammatonegram of a file as a PNG")
    picture.add_argument("file", metavar="FILE", type=Path)
    picture.add_argument("-o", "--output", required=True, type=Path, help="PNG file to write")
    _add_config_options(picture)
    picture.set_defaults(run=_plot)

    demo = commands.add_parser("demo", help="analyse a built-in test signal")
    demo.add_argument("-o", "--output", type=Path, default=Path("vorl-demo.png"),
                      help="PNG file to write (default: %(default)s)")
    demo.set_defaults(run=_demo)
    return parser


def _add_config_options(parser: argparse.ArgumentParser) -> None:
    defaults = Gammatone(44100)
    group = parser.add_argument_group("analysis")
    group.add_argument("--bands", type=int, default=defaults.num_bands, help="number of bands")
    group.add_argument("--low", type=float, default=defaults.low_Hz, help="lowest centre frequency, Hz")
    group.add_argument("--high", type=float, default=defaults.high_Hz, help="highest centre frequency, Hz")
    group.add_argument("--frame", type=int, default=defaults.frame_length, help="frame length, samples")
    group.add_argument("--hop", type=int, default=defaults.hop_length, help="hop length, samples")
    group.add_argument("--integration", type=float, default=defaults.temporal_integration,
                       help="envelope integration time constant, seconds (0: off)")
    group.add_argument("--channel", type=int, default=defaults.channel,
                       help="channel to analyse; negative averages all channels")
    group.add_argument("--linear", action="store_true", help="band levels instead of their log10")
    group.add_argument("--threads", type=int, default=None, help="worker threads (default: all cores)")


def _config(args: argparse.Namespace, sample_rate: int) -> Gammatone:
    return Gammatone(sample_rate, frame_length=args.frame, hop_length=args.hop,
                     num_bands=args.bands, low_Hz=args.low, high_Hz=args.high,
                     temporal_integration=args.integration, channel=args.channel,
                     log=not args.linear)


def _blocks(path: Path, args: argparse.Namespace, progress: bool
            ) -> Tuple[Gammatone, int, Iterator[np.ndarray]]:
    """The configuration for `path`, its number of frames, and its rows in blocks
    read from the file (bounded memory, however long the file)."""
    import soundfile

    try:
        info = soundfile.info(str(path))
    except (RuntimeError, TypeError, ValueError) as error:
        if not path.exists():
            raise FileNotFoundError(f"No such audio file: {str(path)!r}") from None
        raise ValueError(f"Cannot read audio file {str(path)!r}: {error}") from error
    config = _config(args, info.samplerate)
    frames = config.num_frames(info.frames)
    blocks = config.file_blocks(path, args.threads)
    if progress and frames > _FRAMES_PER_BLOCK:
        blocks = _with_progress(blocks, frames, path.name)
    return config, frames, blocks


def _with_progress(blocks: Iterator[np.ndarray], frames: int, name: str) -> Iterator[np.ndarray]:
    from tqdm import tqdm

    with tqdm(total=frames, desc=name, unit="frame", leave=False) as bar:
        for block in blocks:
            bar.update(len(block))
            yield block


def _analyse(path: Path, args: argparse.Namespace, progress: bool):
    config, frames, blocks = _blocks(path, args, progress)
    parts = list(blocks)
    return np.concatenate(parts) if parts else np.zeros((0, config.num_bands)), config


def _write_npy(target: Path, blocks: Iterator[np.ndarray], shape: Tuple[int, int]) -> None:
    """Writes the rows as they come, under a temporary name that becomes `target`
    only once every row is written; an interrupted run leaves no `target`."""
    partial = target.with_name(target.name + ".part")
    try:
        with open(partial, "wb") as out:
            np.lib.format.write_array_header_1_0(
                out, {"descr": np.lib.format.dtype_to_descr(np.dtype(np.float64)),
                      "fortran_order": False, "shape": shape})
            written = 0
            for block in blocks:
                out.write(np.ascontiguousarray(block, dtype=np.float64).tobytes())
                written += len(block)
        if written != shape[0]:
            raise ValueError(f"the file gave {written} frames, its header promised {shape[0]}")
        os.replace(partial, target)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise


def _features(args: argparse.Namespace) -> int:
    from tqdm import tqdm

    to_npz = args.output.suffix == ".npz"
    inputs = {path.resolve() for path in args.files}
    if args.output.resolve() in inputs:
        print(f"vorl: the output {args.output} is one of the inputs", file=sys.stderr)
        return 2
    if not to_npz:
        args.output.mkdir(parents=True, exist_ok=True)
    grams: Dict[str, np.ndarray] = {}
    failed = 0
    for path in tqdm(args.files, unit="file", disable=args.quiet or len(args.files) < 2):
        key = _unique(path.stem, grams)
        try:
            if to_npz:
                grams[key], _ = _analyse(path, args, progress=not args.quiet)
                continue
            target = args.output / f"{key}.npy"
            if target.resolve() in inputs:
                raise ValueError(f"its output {target} is one of the inputs")
            config, frames, blocks = _blocks(path, args, progress=not args.quiet)
            _write_npy(target, blocks, (frames, config.num_bands))
            grams[key] = np.empty(0)  # the name is taken
        except (OSError, ValueError, TypeError) as error:
            failed += 1
            print(f"vorl: {path}: {error}", file=sys.stderr)
    if to_npz and grams:
        partial = args.output.with_name(args.output.name + ".part.npz")
        try:
            np.savez(partial, **grams)
            os.replace(partial, args.output)
        except BaseException:
            partial.unlink(missing_ok=True)
            raise
    return 1 if failed else 0


def _unique(stem: str, taken: Dict[str, np.ndarray]) -> str:
    key, n = stem, 1
    while key in taken:
        n += 1
        key = f"{stem}-{n}"
    return key


def _plot(args: argparse.Namespace) -> int:
    try:
        gram, config = _analyse(args.file, args, progress=False)
        _save_picture(gram, config, args.output, title=args.file.name)
    except (OSError, ValueError, TypeError) as error:
        print(f"vorl: {args.file}: {error}", file=sys.stderr)
        return 1
    except ImportError as error:
        print(f"vorl: {error}", file=sys.stderr)
        return 1
    return 0


def _save_picture(gram: np.ndarray, config: Gammatone, output: Path, title: str) -> None:
    try:
        import matplotlib
    except ImportError:
        raise ImportError("pictures need matplotlib: pip install 'vorl[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from ._plot import plot

    ax = plot(gram, config)
    ax.set_title(title)
    ax.figure.savefig(output, dpi=120)
    plt.close(ax.figure)


def demo_signal(sample_rate: int = 44100, seconds: float = 3.0) -> np.ndarray:
    """A harmonic tone gliding from 150 Hz to 600 Hz, with a noise burst in the
    middle of it, as (1, samples) float64."""
    t = np.arange(int(seconds * sample_rate)) / sample_rate
    f0 = 150.0 * 4.0 ** (t / seconds)  # exponential glide over two octaves
    phase = 2 * np.pi * np.cumsum(f0) / sample_rate
    tone = sum(np.sin(k * phase) / k for k in range(1, 9)) * 0.2
    burst = np.zeros_like(t)
    inside = (t > seconds * 0.45) & (t < seconds * 0.55)
    burst[inside] = np.random.default_rng(7).standard_normal(inside.sum()) * 0.3
    return (tone + burst)[np.newaxis, :]


def _demo(args: argparse.Namespace) -> int:
    from ._gammatone import simd_kernel

    rate = 44100
    signal = demo_signal(rate)
    config = Gammatone(rate)
    start = time.perf_counter()
    gram = config(signal)
    took = time.perf_counter() - start
    cfs = config.center_frequencies
    seconds = signal.shape[1] / rate

    print(f"vorl demo: {seconds:.1f} s harmonic glide 150 -> 600 Hz with a noise burst at "
          f"{rate} Hz")
    print(f"gammatonegram: {gram.shape[0]} frames x {gram.shape[1]} bands "
          f"({cfs[0]:.0f} - {cfs[-1]:.0f} Hz), log10 levels {gram.min():.2f} .. {gram.max():.2f}")
    print(f"computed in {took * 1e3:.1f} ms ({seconds / took:.0f}x real time, "
          f"kernel {simd_kernel()})")
    print("strongest band over time:")
    for frame in np.linspace(0, gram.shape[0] - 1, 7).astype(int):
        band = int(np.argmax(gram[frame]))
        at = frame * config.hop_length / rate
        bar = "#" * int(round(40 * (gram[frame, band] - gram.min()) / (np.ptp(gram) or 1)))
        print(f"  t = {at:4.2f} s  {cfs[band]:7.1f} Hz  {gram[frame, band]:6.2f}  {bar}")
    try:
        _save_picture(gram, config, args.output, title="vorl demo")
    except ImportError as error:
        print(f"no picture: {error}", file=sys.stderr)
        return 0
    print(f"picture: {args.output}")
    return 0
