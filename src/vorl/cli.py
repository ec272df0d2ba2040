"""vorl: gammatone filterbank features of audio files (cochleagrams, gammatonegrams,
cepstral coefficients) and pictures of them."""
from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
import time
import warnings
from pathlib import Path
from typing import Dict, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from ._analyses import Analyses, config_of_options
from ._config import Config
from ._example import demo_signal
from ._features import Cochleagram, Gammatone
from ._plot import save_picture
from ._validate import thread_count
from ._writers import NpzArchive, Unwritable, write_npy

# Files longer than this many frames get a progress bar of their own.
_FRAMES_PER_BLOCK = 2000


class _Terminated(BaseException):
    """SIGTERM, raised where the command is, so that its clean-up runs."""


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        return int(args.run(args))
    except KeyboardInterrupt:
        return 130
    except _Terminated:
        return 143
    except BrokenPipeError:  # the reader went away (`vorl demo | head`): quietly
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


class _Formatter(argparse.HelpFormatter):
    """Help that names an option's default once, and only where there is one."""

    def _get_help_string(self, action: argparse.Action) -> Optional[str]:
        text = action.help or ""
        if ("default" not in text and action.option_strings and not action.required
                and not any(action.default is none for none in (None, False, argparse.SUPPRESS))):
            text += " (default: %(default)s)"
        return text


def _parser() -> argparse.ArgumentParser:
    from . import __version__

    formatter = _Formatter
    parser = argparse.ArgumentParser(prog="vorl", description=__doc__, formatter_class=formatter)
    parser.add_argument("--version", action="version", version=f"vorl {__version__}")
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    features = commands.add_parser(
        "features", help="write the features of each file: its cochleagram by default "
                         "(--framed: the gammatonegram; --gfcc: cepstral coefficients)",
        formatter_class=formatter,
        description="Write the features of each file (its cochleagram, the continuous "
                    "filterbank's rows, unless --framed or --gfcc says otherwise): into a "
                    "folder (one .npy and one .json "
                    "of metadata per file, named by the file's path relative to the files' "
                    "common folder), into one .npz, or into a .zarr store, computed on a Dask "
                    "cluster (local processes, or --scheduler).")
    features.add_argument("files", nargs="+", metavar="FILE", type=Path,
                          help="audio files, and folders searched recursively for them")
    features.add_argument("-o", "--output", required=True, type=Path,
                          help="a folder, a .npz file or a .zarr store")
    _add_config_options(features)
    features.add_argument("--gfcc", type=int, default=None, metavar="N",
                          help="write N gammatone cepstral coefficients per frame instead of "
                               "the rows (as vorl.gfcc computes them: cube root of the levels)")
    features.add_argument("--deltas", type=int, default=0, choices=(0, 1, 2),
                          help="with --gfcc: each frame's coefficients followed by their deltas "
                               "up to this order (delta, delta-delta; 9 frames)")
    features.add_argument("--root", type=Path, default=None, metavar="DIR",
                          help="the folder keys are relative to: by default the files' common "
                               "folder, or the one a .zarr store remembers; for a corpus that "
                               "moved, its new place, so that it keeps its store")
    features.add_argument("--workers", type=int, default=None,
                          help=".zarr output: local worker processes (default: the cores)")
    features.add_argument("--scheduler", default=None, metavar="ADDRESS",
                          help=".zarr output: the address of a running Dask scheduler")
    features.add_argument("--resume", choices=("time", "content", "off"), default="time",
                          help=".zarr output: skip files whose array is complete and whose "
                               "size and modification time (time) or bytes (content) are "
                               "unchanged; off computes every file again")
    features.add_argument("--overwrite", action="store_true",
                          help=".zarr output: redo arrays made with another configuration "
                               "instead of refusing the store")
    features.add_argument("--quiet", action="store_true",
                          help="no progress bars (they are drawn only on a terminal) and no summary")
    features.set_defaults(run=_features)

    picture = commands.add_parser("plot", help="draw the cochleagram of a file (--framed: "
                                  "the gammatonegram) as an image", formatter_class=formatter)
    picture.add_argument("file", metavar="FILE", type=Path,
                         help="an audio file (WAV, FLAC, OGG, MP3, ...)")
    picture.add_argument("-o", "--output", required=True, type=Path,
                         help="the image to write; its format follows the extension "
                              "(.png, .pdf, .svg, .jpg, ...)")
    _add_config_options(picture)
    picture.set_defaults(run=_plot)

    demo = commands.add_parser("demo", help="analyse a built-in test signal",
                               formatter_class=formatter)
    demo.add_argument("-o", "--output", type=Path, default=Path("vorl-demo.png"),
                      help="the image to write; its format follows the extension")
    demo.add_argument("--framed", action="store_true",
                      help="the per-frame extractor's rows (filters restarted at each frame) "
                           "instead of the continuous filterbank's")
    demo.set_defaults(run=_demo)
    return parser


def _add_config_options(parser: argparse.ArgumentParser) -> None:
    defaults = Gammatone(44100)
    group = parser.add_argument_group("analysis")
    group.add_argument("--bands", type=int, default=defaults.num_bands, help="number of bands")
    group.add_argument("--low", type=float, default=defaults.low_Hz, help="lowest centre frequency, Hz")
    group.add_argument("--high", type=float, default=None,
                       help="highest centre frequency, Hz, below the Nyquist frequency "
                            "(default: 8000, or 0.45 times the rate where that is lower)")
    group.add_argument("--frame", type=int, default=None,
                       help=f"frame length, samples (default: {defaults.frame_length})")
    group.add_argument("--hop", type=int, default=None,
                       help=f"hop length, samples (default: {defaults.hop_length})")
    group.add_argument("--frame-ms", type=float, default=None, metavar="MS",
                       help="frame length in milliseconds instead (rounded to whole samples)")
    group.add_argument("--hop-ms", type=float, default=None, metavar="MS",
                       help="hop length in milliseconds instead (rounded to whole samples)")
    group.add_argument("--integration", type=float, default=defaults.temporal_integration,
                       help="envelope integration time constant, seconds (0: off)")
    group.add_argument("--channel", type=int, default=defaults.channel,
                       help="channel to analyse; negative averages all channels")
    group.add_argument("--linear", action="store_true", help="band levels instead of their log10")
    group.add_argument("--framed", action="store_true",
                       help="the per-frame extractor's rows: filters restarted at each frame, "
                            "instead of run continuously through the whole file")
    group.add_argument("--continuous", action="store_true", help=argparse.SUPPRESS)  # the default
    group.add_argument("--threads", type=int, default=None, help="worker threads (default: all cores)")
    group.add_argument("--rate", type=int, default=None, metavar="HZ",
                       help="resample every file to this rate (soxr, quality VHQ); by default "
                            "each file is analysed at its own rate")


def _bars(args: argparse.Namespace) -> bool:
    """Progress bars: on a terminal only, and not with --quiet."""
    return not args.quiet and sys.stderr.isatty()


def _say(line: str) -> None:
    """A line on stderr that never shares its line with a progress bar."""
    from tqdm import tqdm

    tqdm.write(line, file=sys.stderr)


def _with_progress(blocks: Iterator[np.ndarray], frames: int, name: str) -> Iterator[np.ndarray]:
    """The blocks, with a progress bar for a file of more than a few blocks."""
    if frames <= _FRAMES_PER_BLOCK:
        yield from blocks
        return
    from tqdm import tqdm

    with tqdm(total=frames, desc=name, unit="frame", leave=False) as bar:
        for block in blocks:
            bar.update(len(block))
            yield block


def _analyse(path: Path, args: argparse.Namespace, progress: bool):
    config, _, frames, _, blocks = Analyses(args, _say).blocks(
        path, args.threads, _with_progress if progress else None)
    parts = list(blocks)
    return np.concatenate(parts) if parts else np.zeros((0, config.num_bands)), config


class _Refused(Exception):
    """An output problem, found before any work: one line, exit status 2."""


def _real(path: Path) -> Path:
    # os.path.realpath never raises, where Path.resolve raises on a link loop.
    return Path(os.path.realpath(path))


def _features(args: argparse.Namespace) -> int:
    from tqdm import tqdm

    from ._io import expand, read_unchanged, resampler
    from .corpus import keys_for, metadata_of

    files, passed_over = expand(args.files)
    args.files = [Path(name) for name in files]
    try:
        kind = _output_kind(args)
    except _Refused as problem:
        print(f"vorl: {problem}", file=sys.stderr)
        return 2
    if kind == "zarr":
        return _features_to_zarr(args, passed_over)

    keys = keys_for(args.files, args.root)
    analyses = Analyses(args, _say)
    written = failed = frames_total = 0
    archive = NpzArchive(args.output) if kind == "npz" else None
    try:
        for name, key in tqdm(keys.items(), unit="file", leave=False,
                              disable=not _bars(args) or len(keys) < 2):
            path = Path(name)
            try:
                if archive is not None:
                    archive.check_name(key)
                before = _state(path)
                config, rate, frames, width, blocks = analyses.blocks(
                    path, args.threads, _with_progress if _bars(args) else None)
                metadata = metadata_of(config, path, rate, resampler(rate, config.sample_rate),
                                       features=analyses.features)
                blocks = read_unchanged(blocks, path, before)
                if archive is not None:
                    archive.add(key, blocks, (frames, width), metadata)
                else:
                    target = args.output / f"{key}.npy"
                    target.parent.mkdir(parents=True, exist_ok=True)
                    write_npy(target, blocks, (frames, width), json.dumps(metadata, indent=1))
                written += 1
                frames_total += frames
            except (OSError, ValueError, TypeError) as error:
                failed += 1
                _say(f"vorl: {path}: {error}")
        if archive is not None and written:
            archive.close()
    except Unwritable as error:
        print(f"vorl: {error}", file=sys.stderr)
        return 1
    finally:
        if archive is not None:
            archive.discard()  # nothing once closed; a partial archive otherwise
    if not args.quiet:
        from ._io import passed_over_summary

        skipped = passed_over_summary(passed_over)
        print(f"vorl: {written} file(s), {frames_total} frames written to "
              f"{args.output if written else 'nothing'}"
              + (f"; {failed} failed" if failed else "") + (f"; {skipped}" if skipped else ""),
              file=sys.stderr)
    return 1 if failed else 0


def _state(path: Path) -> Tuple[object, ...]:
    """`file_state` of a file before it is opened; () if there is none (opening it
    then says why)."""
    from ._io import file_state

    try:
        return file_state(path)
    except OSError:
        return ()


def _output_kind(args: argparse.Namespace) -> str:
    """Checks the output and the options once, before any work. Nothing is
    created here: a folder is made when its first file is written."""
    suffix = args.output.suffix.lower()
    if suffix not in ("", ".npz", ".zarr"):
        raise _Refused(f"unknown output suffix {args.output.suffix!r}: name a folder, "
                       "a .npz file or a .zarr store")
    inputs = {_real(path) for path in args.files}
    if _real(args.output) in inputs:
        raise _Refused(f"the output {args.output} is one of the inputs")
    from .corpus import keys_for

    try:
        keys = keys_for(args.files, args.root)
    except ValueError as error:  # a file outside --root
        raise _Refused(f"--root {args.root}: {error}") from None
    if suffix == "":
        for key in keys.values():
            for ending in (".npy", ".json", ".npy.part", ".json.part"):
                if _real(args.output / (key + ending)) in inputs:
                    raise _Refused(f"the output {args.output / (key + ending)} would replace "
                                   "one of the inputs")
    if args.rate is not None and not 0 < args.rate < 2**31:
        raise _Refused(f"--rate must be a positive number of samples per second, got {args.rate}")
    if suffix == "" and args.output.exists() and not args.output.is_dir():
        raise _Refused(f"the output {args.output} is a file, not a folder")
    if suffix == ".npz" and args.output.is_dir():
        raise _Refused(f"the output {args.output} is a folder")
    if suffix in (".npz", ".zarr"):
        parent = _real(args.output).parent
        if not parent.is_dir():
            raise _Refused(f"the output's folder {parent} does not exist")
    if not args.files:
        raise _Refused("no audio files among the inputs")
    if (args.workers is not None or args.scheduler or args.overwrite
            or args.resume != "time") and suffix != ".zarr":
        raise _Refused("--workers, --scheduler, --resume and --overwrite go with a .zarr output")
    if args.workers is not None and args.workers < 1:
        raise _Refused(f"--workers must be positive, got {args.workers}")
    if args.gfcc is None and args.deltas:
        raise _Refused("--deltas goes with --gfcc: the deltas of cepstral coefficients")
    if args.gfcc is not None and args.linear:
        raise _Refused("--linear goes with the rows; --gfcc computes from the levels itself")
    if args.gfcc is not None and not 1 <= args.gfcc <= args.bands:
        raise _Refused(f"--gfcc must be from 1 to the number of bands ({args.bands}), "
                       f"got {args.gfcc}")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            config_of_options(args, 1 << 20)  # every option but the file's rate (and the Nyquist check)
        if args.threads is not None:
            thread_count(args.threads)
    except (TypeError, ValueError) as error:
        raise _Refused(f"bad option: {error}") from None
    # The folder that will hold the output, or the nearest one that exists to make it in.
    place = _real(args.output if suffix == "" else args.output.parent)
    while not place.exists() and place != place.parent:
        place = place.parent
    if not place.is_dir():
        raise _Refused(f"cannot make the folder {args.output}: {place} is a file")
    if not os.access(place, os.W_OK):
        raise _Refused(f"cannot write to {args.output}")
    return {"": "folder", ".npz": "npz", ".zarr": "zarr"}[suffix]


def _features_to_zarr(args: argparse.Namespace, passed_over: Dict[str, str]) -> int:
    from . import corpus
    from ._io import passed_over_summary

    try:
        import dask.distributed  # noqa: F401
        import zarr  # noqa: F401
    except ImportError:
        print("vorl: a .zarr output needs the corpus extra: pip install 'vorl[corpus]'",
              file=sys.stderr)
        return 2
    analyses = Analyses(args, _say)
    modes: Dict[str, Union[bool, str]] = {"time": True, "content": "content", "off": False}
    resume = modes[args.resume]
    client = None
    try:
        if args.scheduler:
            from dask.distributed import Client

            client = Client(args.scheduler)
        config = analyses if args.rate is None else analyses(args.rate)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            report = corpus.extract(args.files, config, str(args.output), client=client,
                                    workers=args.workers, resume=resume,
                                    overwrite=args.overwrite, resample=args.rate is not None,
                                    root=args.root, gfcc=args.gfcc, deltas=args.deltas)
        for warning in caught:  # a stale lock taken over
            print(f"vorl: warning: {warning.message}", file=sys.stderr)
    except (ValueError, corpus.StoreLocked) as error:  # refused before any work
        print(f"vorl: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"vorl: {args.output}: {error}", file=sys.stderr)
        return 2
    finally:
        if client is not None:
            client.close()
    for path, reason in report.failed.items():
        print(f"vorl: {path}: {reason}", file=sys.stderr)
    if not args.quiet:
        skipped = passed_over_summary(passed_over)
        print(f"vorl: {args.output}: {len(report.done)} done, {len(report.skipped)} unchanged"
              + (f", {len(report.failed)} failed" if report.failed else "")
              + (f", {len(report.removed)} of another configuration removed"
                 if report.removed else "")
              + (f"; {skipped}" if skipped else ""), file=sys.stderr)
    return 1 if report.failed else 0


def _plot(args: argparse.Namespace) -> int:
    try:
        gram, config = _analyse(args.file, args, progress=False)
        save_picture(gram, config, args.output, title=f"{args.file.name}: {_what(config)}")
    except (OSError, ValueError, TypeError) as error:
        print(f"vorl: {args.file}: {error}", file=sys.stderr)
        return 1
    except ImportError as error:
        print(f"vorl: {error}", file=sys.stderr)
        return 1
    return 0


def _what(config: Config) -> str:
    return ("framed gammatonegram (filters restarted at each frame)"
            if isinstance(config, Gammatone) else "cochleagram (continuous gammatone filterbank)")


def _demo(args: argparse.Namespace) -> int:
    from ._features import simd_kernel

    rate = 44100
    signal = demo_signal(rate)
    config = Gammatone(rate) if args.framed else Cochleagram(rate)
    what = _what(config)
    start = time.perf_counter()
    gram = config(signal)
    took = time.perf_counter() - start
    cfs = config.center_frequencies
    seconds = signal.shape[1] / rate

    print(f"vorl demo: {seconds:.1f} s harmonic glide 150 -> 600 Hz with a noise burst at "
          f"{rate} Hz")
    print(f"{what}: {gram.shape[0]} frames x {gram.shape[1]} bands "
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
        save_picture(gram, config, args.output,
                      title=f"vorl demo: {what} of a harmonic glide with a noise burst")
    except ImportError as error:
        print(f"no picture: {error}", file=sys.stderr)
        return 0
    print(f"picture: {args.output}")
    return 0
