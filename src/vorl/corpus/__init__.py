"""Corpora: the features of many audio files, on a Dask cluster, into a Zarr store.

Files are grouped into Dask tasks (a long file alone, short ones together); each
file is read in blocks (bounded memory, any length) and written to one array of
the store, under a key made from the file's path relative to the folder the
store was made for. An array counts as done only once its completion mark is
written, after its data and its metadata, and only for the configuration,
library version and resampler that made it, so a file whose task was interrupted
(or whose worker died) is done again on the next run. A store holds one
configuration per sample rate (`extract` refuses another), and admits one
writing run at a time (a lock file beside the store, ``<store>.vorl-lock``,
names the process that holds it).

    >>> from vorl import corpus, Cochleagram
    >>> report = corpus.extract(paths, Cochleagram(16000), "features.zarr", workers=4)
    >>> for key, gram in corpus.open("features.zarr").items(): ...

Needs the optional extra: ``pip install 'vorl[corpus]'`` (Dask distributed and Zarr).
"""
from ._common import PathLike
from ._extract import ConfigLike, Report, extract
from ._keys import common_folder, key_of, keys_for, store_path
from ._lock import StoreLocked
from ._metadata import cepstral, configuration, describe, metadata_of, opened
from ._reader import Corpus, open
from ._store import extract_one

__all__ = ["ConfigLike", "Corpus", "PathLike", "Report", "StoreLocked", "cepstral",
           "common_folder",
           "configuration", "describe", "extract", "extract_one", "key_of", "keys_for",
           "metadata_of", "open", "opened", "store_path"]
