"""Reading a store: `Corpus`, a mapping from keys to arrays with their metadata."""
from __future__ import annotations

from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .._config import Config
from ._keys import key_of, store_path
from ._metadata import configuration
from ._store import COMPLETE, arrays_of, dimensions, open_group


class Corpus(Mapping[str, Any]):
    """The complete arrays of a store written by `extract`, by key.

    Each is a Zarr array (read with ``[...]`` or ``np.asarray``).

    Parameters
    ----------
    store : str, path or Zarr store
        What `extract` wrote to.
    """

    def __init__(self, store: Any) -> None:
        self._group = open_group(store, "r")
        self._keys = sorted(key_of(path) for path, array in arrays_of(self._group)
                            if array.attrs.get(COMPLETE))
        self._known = set(self._keys)

    def __getitem__(self, key: str) -> Any:
        if key not in self._known:
            raise KeyError(key)
        return self._group[store_path(key)]

    def __iter__(self) -> Iterator[str]:
        return iter(self._keys)

    def __len__(self) -> int:
        return len(self._keys)

    def metadata(self, key: str) -> Dict[str, Any]:
        """What is stored beside an array.

        Parameters
        ----------
        key : str
            The array's key.

        Returns
        -------
        dict
            Sample rate, frame and hop length, centre frequencies, the
            configuration, the library version, the resampler and the source
            (real path, size, modification time, its own sample rate and the
            BLAKE2b digest of its bytes); see `metadata_of`.
        """
        return {name: value for name, value in self[key].attrs.items()
                if name != "_ARRAY_DIMENSIONS"}  # Zarr 2's axis names, kept for xarray

    def dataarray(self, key: str) -> Any:
        """An array as an `xarray.DataArray`, with its axes and metadata.

        Parameters
        ----------
        key : str
            The array's key.

        Returns
        -------
        xarray.DataArray
            Dimensions (``channel``,) ``frame``, ``band`` (``cepstrum`` for
            GFCC); coordinates ``time`` (each frame's centre in seconds,
            `frame_times`) along ``frame`` and ``frequency`` (centre
            frequencies in Hz) along ``band``; the metadata (`metadata`) as
            attributes. Read into memory.
        """
        try:
            import xarray
        except ImportError:
            raise ImportError("Corpus.dataarray needs xarray: pip install 'vorl[corpus]'") \
                from None
        array = self[key]
        metadata = self.metadata(key)
        data = np.asarray(array[...])
        coords = {"time": ("frame", self.configuration(key).frame_times(data.shape[-2]))}
        cepstra = bool(metadata.get("features"))
        if not cepstra:
            coords["frequency"] = ("band", np.asarray(metadata["center_frequencies"]))
        return xarray.DataArray(data, dims=dimensions(data.ndim, cepstra), coords=coords,
                                attrs=metadata, name=key)

    def batch(self, keys: Optional[Sequence[str]] = None, dtype: Any = "float32",
              pad: float = 0.0) -> Tuple[np.ndarray, np.ndarray, List[str]]:
        """Arrays stacked for a learning framework, padded to the longest.

        Parameters
        ----------
        keys : sequence of str, optional
            Which arrays, in this order; default all of them, sorted.
        dtype : dtype
            Of the stack (float32 by default, what frameworks take).
        pad : float
            The value of the frames after an array's last.

        Returns
        -------
        stack : ndarray
            (n, max_frames, bands), or (n, channels, max_frames, bands) for
            arrays of every channel.
        lengths : ndarray
            int64, each array's number of frames.
        keys : list of str
            The keys, in the order of the stack.

        Raises
        ------
        ValueError
            If the arrays differ in anything but their number of frames.
        """
        chosen = list(self._keys if keys is None else keys)
        if isinstance(keys, str):
            raise TypeError("keys must be a sequence of keys, not one key: pass [key]")
        arrays = [self[key] for key in chosen]
        if not arrays:
            raise ValueError("no arrays to stack")
        shapes = {a.shape[:-2] + a.shape[-1:] for a in arrays}
        if len(shapes) > 1:
            raise ValueError(f"the arrays differ in more than their frames (channels, bands: "
                             f"{sorted(shapes)}): stack arrays made alike")
        lengths = np.array([a.shape[-2] for a in arrays], dtype=np.int64)
        first = arrays[0].shape
        stack = np.full((len(arrays), *first[:-2], int(lengths.max()), first[-1]), pad,
                        dtype=dtype)
        for i, array in enumerate(arrays):
            stack[i, ..., :lengths[i], :] = array[...]
        return stack, lengths, chosen

    def configuration(self, key: str) -> Config:
        """The configuration that made an array.

        Parameters
        ----------
        key : str
            The array's key.

        Returns
        -------
        Gammatone or Cochleagram
            Calling it on the source (resampled as the metadata says) gives
            the array.
        """
        return configuration(self.metadata(key)["configuration"])


def open(store: Any) -> Corpus:  # noqa: A001 - the module's verb, as in zarr.open
    """The arrays of a store written by `extract`, with their metadata.

    Parameters
    ----------
    store : str, path or Zarr store
        What `extract` wrote to.

    Returns
    -------
    Corpus
        A mapping from key to array, of the complete arrays only.
    """
    return Corpus(store)
