"""vorl: gammatone filterbank features of audio files (cochleagrams, gammatonegrams,
cepstral coefficients) and pictures of them."""
from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
import warnings
import time
from pathlib import Path
from typing import Dict, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from ._config import Config
from ._features import Cochleagram, Gammatone
from ._validate import thread_count

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


def _config(args: argparse.Namespace, sample_rate: int) -> Config:
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


class _Analyses:
    """The configuration of each file: at ``--rate`` (resampling the files at other
    rates), or at each file's own rate. A configuration's warnings are printed once,
    naming the first file it analyses, and so is a note when the files' rates differ."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.made: Dict[int, Config] = {}
        self.file: Optional[Path] = None  # the file being configured, for messages

    def __call__(self, rate: int) -> Config:
        if self.args.rate is not None:
            rate = self.args.rate
        if rate not in self.made:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                self.made[rate] = _config(self.args, rate)
            for warning in caught:
                _say(f"vorl: {self.file or f'files at {rate} Hz'}: warning: {warning.message}")
            if len(self.made) == 2:
                print(f"vorl: note: the files have different sample rates ({', '.join(map(str, self.made))} "
                      "Hz, ...); each is analysed at its own, so frames of the same length span "
                      "different times (--rate HZ resamples them all)", file=sys.stderr)
        return self.made[rate]

    def blocks(self, path: Path, threads: Optional[int], progress: bool
               ) -> Tuple[Config, int, int, int, Iterator[np.ndarray]]:
        """The configuration for `path`, the file's own rate, its number of frames
        and of values per frame, and its features (rows, or with --gfcc cepstra)
        in blocks read from the file (bounded memory)."""
        from ._io import sample_rate_of
        from .corpus import opened

        rate = sample_rate_of(path)
        self.file = path
        config = self(rate)
        frames, width, blocks = opened(config, path, threads, self.features,
                                       resample=self.args.rate is not None)
        if progress and frames > _FRAMES_PER_BLOCK:
            blocks = _with_progress(blocks, frames, path.name)
        return config, rate, frames, width, blocks

    @property
    def features(self) -> Optional[Dict[str, object]]:
        """`corpus.cepstral` of --gfcc and --deltas; None for rows."""
        from .corpus import cepstral

        gfcc = getattr(self.args, "gfcc", None)
        return None if gfcc is None else cepstral(gfcc, self.args.deltas)


def _bars(args: argparse.Namespace) -> bool:
    """Progress bars: on a terminal only, and not with --quiet."""
    return not args.quiet and sys.stderr.isatty()


def _say(line: str) -> None:
    """A line on stderr that never shares its line with a progress bar."""
    from tqdm import tqdm

    tqdm.write(line, file=sys.stderr)


def _with_progress(blocks: Iterator[np.ndarray], frames: int, name: str) -> Iterator[np.ndarray]:
    from tqdm import tqdm

    with tqdm(total=frames, desc=name, unit="frame", leave=False) as bar:
        for block in blocks:
            bar.update(len(block))
            yield block


def _analyse(path: Path, args: argparse.Namespace, progress: bool):
    config, _, frames, _, blocks = _Analyses(args).blocks(path, args.threads, progress)
    parts = list(blocks)
    return np.concatenate(parts) if parts else np.zeros((0, config.num_bands)), config


def _write_npy(target: Path, blocks: Iterator[np.ndarray], shape: Tuple[int, int],
               metadata: Optional[str] = None) -> None:
    """Writes the rows as they come, under a temporary name that becomes `target`
    only once every row is written; an interrupted run leaves no `target`.

    With `metadata`, it goes into the `.json` beside `target`, also under a
    temporary name, renamed into place before the rows and after any earlier
    `target` is removed: a `.npy` only ever stands beside its own `.json`.
    """
    partial = target.with_name(target.name + ".part")
    about = target.with_suffix(".json")
    about_partial = about.with_name(about.name + ".part")
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
        if metadata is not None:
            about_partial.write_text(metadata)
            target.unlink(missing_ok=True)
            os.replace(about_partial, about)
        os.replace(partial, target)
    except BaseException:
        partial.unlink(missing_ok=True)
        about_partial.unlink(missing_ok=True)
        raise


class _Unwritable(Exception):
    """An output that can no longer be written whole (a full disk under an archive)."""


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
    analyses = _Analyses(args)
    written = failed = frames_total = 0
    archive = _Archive(args.output) if kind == "npz" else None
    try:
        for name, key in tqdm(keys.items(), unit="file", leave=False,
                              disable=not _bars(args) or len(keys) < 2):
            path = Path(name)
            try:
                if archive is not None:
                    archive.check_name(key)
                before = _state(path)
                config, rate, frames, width, blocks = analyses.blocks(path, args.threads,
                                                                      progress=_bars(args))
                metadata = metadata_of(config, path, rate, resampler(rate, config.sample_rate),
                                       features=analyses.features)
                blocks = read_unchanged(blocks, path, before)
                if archive is not None:
                    archive.add(key, blocks, (frames, width), metadata)
                else:
                    target = args.output / f"{key}.npy"
                    target.parent.mkdir(parents=True, exist_ok=True)
                    _write_npy(target, blocks, (frames, width), json.dumps(metadata, indent=1))
                written += 1
                frames_total += frames
            except (OSError, ValueError, TypeError) as error:
                failed += 1
                _say(f"vorl: {path}: {error}")
        if archive is not None and written:
            archive.close()
    except _Unwritable as error:
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
            _config(args, 1 << 20)  # every option but the file's rate (and the Nyquist check)
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
    analyses = _Analyses(args)
    resume: Union[bool, str] = {"time": True, "content": "content", "off": False}[args.resume]
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


class _Archive:
    """An .npz written array by array as the rows come (bounded memory), with a
    `metadata` entry (JSON) naming every array's source and settings; it
    exists under its name only once closed, and only whole: a member that
    cannot be written (a full disk) means no archive at all."""

    METADATA = "metadata"  # the member np.load names so

    def __init__(self, target: Path) -> None:
        import zipfile

        self.target = target
        self.partial = target.with_name(target.name + ".part")
        self.zip: Optional[zipfile.ZipFile] = zipfile.ZipFile(self.partial, "w", allowZip64=True)
        self.metadata: Dict[str, object] = {}

    def add(self, key: str, blocks: Iterator[np.ndarray], shape: Tuple[int, int],
            metadata: Dict[str, object]) -> None:
        """One array, first into a file of its own, so that a file failing half-way
        leaves nothing in the archive. Raises `_Unwritable` if the archive or that
        file cannot be written: the archive would then lack a member."""
        assert self.zip is not None
        self.check_name(key)
        member = self.partial.with_name(self.partial.name + ".member.npy")
        # Reading the file raises ValueError (AudioFile turns the system's errors
        # into it), so an OSError here is the archive's own: a full disk.
        try:
            _write_npy(member, blocks, shape)
            self.zip.write(member, arcname=f"{key}.npy")
        except OSError as error:
            raise _Unwritable(f"cannot write {self.target}: {error}; no archive written") from error
        finally:
            member.unlink(missing_ok=True)
        self.metadata[key] = metadata

    def check_name(self, key: str) -> None:
        """Refuses a key whose member np.load would not give back: the metadata's
        name, one already written, or one whose name with ".npy" dropped is
        another's (np.load looks a name up with and without it)."""
        names = {self.METADATA, *self.metadata}
        clash = key in names or (key.endswith(".npy") and key[:-4] in names) or \
            any(other.endswith(".npy") and other[:-4] == key for other in self.metadata)
        if clash:
            raise ValueError(f"its name in the archive, {key!r}, is taken by "
                             + ("the archive's metadata" if key in (self.METADATA,
                                                                     self.METADATA + ".npy")
                                else "another member") + "; write it to a folder instead")

    def close(self) -> None:
        assert self.zip is not None
        try:
            with self.zip.open(f"{self.METADATA}.npy", "w") as out:
                np.lib.format.write_array(out, np.array(json.dumps(self.metadata)))
            self.zip.close()
            self.zip = None
            os.replace(self.partial, self.target)
        except OSError as error:
            raise _Unwritable(f"cannot write {self.target}: {error}; no archive written") from error

    def discard(self) -> None:
        if self.zip is not None:
            try:
                self.zip.close()
            except OSError:  # a full disk: the partial archive goes anyway
                pass
            self.zip = None
        self.partial.unlink(missing_ok=True)


def _plot(args: argparse.Namespace) -> int:
    try:
        gram, config = _analyse(args.file, args, progress=False)
        _save_picture(gram, config, args.output, title=f"{args.file.name}: {_what(config)}")
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


def _save_picture(gram: np.ndarray, config: Config, output: Path, title: str) -> None:
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
        _save_picture(gram, config, args.output,
                      title=f"vorl demo: {what} of a harmonic glide with a noise burst")
    except ImportError as error:
        print(f"no picture: {error}", file=sys.stderr)
        return 0
    print(f"picture: {args.output}")
    return 0
