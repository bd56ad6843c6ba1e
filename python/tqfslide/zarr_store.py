"""Every level of a slide as a read-only zarr (format 2) store with OME-NGFF
0.4 multiscales metadata: Slide.zarr_store().

    import zarr, dask.array as da
    store = slide.zarr_store()
    group = zarr.open(store, mode="r")
    group.attrs["multiscales"]                 # levels, axes c, y, x; microns per pixel
    patch = group["1"][:, 1000:1512, 2000:2512]   # (3, 512, 512) uint8: red, green, blue planes
    level0 = da.from_zarr(store, component="0").transpose(1, 2, 0)   # (height, width, 3)

Layout: a group with one array per level, named "0" (full resolution),
"1", ...; each array has shape (3, height, width) (OME-NGFF puts the
channel axis before the spatial ones), one chunk per stored tile, uint8, no
compression, fill value 255. Chunks at the right and bottom edges are whole
chunks padded with 255 (white), as zarr expects. The coordinate
transformation of a level scales its pixels to micrometres (the slide's
microns per pixel times the level's downsample) when the slide records
them, to full-resolution pixels otherwise.

The store holds the class, path, options and file stamp of the slide, not
an open slide: it pickles small, and chunk reads in any process go through
the slides that process keeps open (tqfslide._slide_pool.task_slides).
Writing raises PermissionError.
"""

from __future__ import annotations

import json
import os
import re
from typing import TYPE_CHECKING, Any, Iterator, Optional, Union

import numpy as np
import zarr.storage

from ._slide_pool import file_identity, task_slides
from .dask_array import full_resolution_position

if TYPE_CHECKING:
    import numpy.typing as npt

    from ._slide import Slide

FILL_VALUE = 255
_CHUNK_KEY = re.compile(r"^(0|[1-9][0-9]*)/0\.(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)$")
_CHANNELS = (("red", "FF0000"), ("green", "00FF00"), ("blue", "0000FF"))


def _json(value: Any) -> bytes:
    return json.dumps(value, indent=2, sort_keys=True).encode()


class SlideStore(zarr.storage.Store):
    """A read-only zarr v2 store over every level of a slide; see the module
    documentation for its layout."""

    _readable = True
    _listable = True
    _writeable = False
    _erasable = False

    def __init__(self, slide: Slide) -> None:
        slide._open_native()
        self._path = os.path.abspath(slide.path)
        # Chunks are single tiles: decoding one needs no pool.
        self._options = dict(slide._options, num_threads=1)
        self._opener = type(slide)
        self._stamp = file_identity(self._path).stamp
        self._levels = tuple(zip(slide.level_dimensions, slide.level_tile_sizes, slide.level_downsamples))
        self._mpp = slide.mpp
        self._name = os.path.basename(self._path)
        self._metadata = self._make_metadata()

    # -- metadata -----------------------------------------------------------

    def _make_metadata(self) -> dict[str, bytes]:
        unit = {"unit": "micrometer"} if self._mpp else {}
        datasets: list[dict[str, Any]] = []
        metadata = {".zgroup": _json({"zarr_format": 2})}
        for index, ((width, height), (tile_width, tile_height), downsample) in enumerate(self._levels):
            mpp_x, mpp_y = self._mpp if self._mpp else (1.0, 1.0)
            datasets.append({
                "path": str(index),
                "coordinateTransformations": [
                    {"type": "scale", "scale": [1.0, mpp_y * downsample, mpp_x * downsample]}],
            })
            metadata[f"{index}/.zarray"] = _json({
                "zarr_format": 2,
                "shape": [3, height, width],
                "chunks": [3, tile_height, tile_width],
                "dtype": "|u1",
                "compressor": None,
                "fill_value": FILL_VALUE,
                "order": "C",
                "filters": None,
                "dimension_separator": ".",
            })
            # xarray's names for the dimensions.
            metadata[f"{index}/.zattrs"] = _json({"_ARRAY_DIMENSIONS": ["c", "y", "x"]})
        metadata[".zattrs"] = _json({
            "multiscales": [{
                "version": "0.4",
                "name": self._name,
                "axes": [
                    {"name": "c", "type": "channel"},
                    {"name": "y", "type": "space", **unit},
                    {"name": "x", "type": "space", **unit},
                ],
                "datasets": datasets,
                "metadata": {"source": "tqfslide", "downsamples": [level[2] for level in self._levels]},
            }],
            "omero": {
                "name": self._name,
                "channels": [{"label": label, "color": color, "active": True,
                              "window": {"start": 0, "end": 255, "min": 0, "max": 255}}
                             for label, color in _CHANNELS],
                "rdefs": {"model": "color"},
            },
        })
        return metadata

    # -- chunks -------------------------------------------------------------

    def _chunk(self, key: str) -> Optional[tuple[int, int, int]]:
        """(level, row, column) of a chunk key that lies inside its level, or
        None."""
        match = _CHUNK_KEY.match(key)
        if match is None:
            return None
        level, row, column = (int(part) for part in match.groups())
        if level >= len(self._levels):
            return None
        (width, height), (tile_width, tile_height), _ = self._levels[level]
        if row * tile_height >= height or column * tile_width >= width:
            return None
        return level, row, column

    def _read_chunk(self, level: int, row: int, column: int) -> npt.NDArray[np.uint8]:
        _, (tile_width, tile_height), downsample = self._levels[level]
        slide = task_slides.get(self._opener, self._path, self._options, expected=self._stamp)
        x = full_resolution_position(column * tile_width, downsample)
        y = full_resolution_position(row * tile_height, downsample)
        # Whole tiles even at the edges: the reader makes what lies beyond
        # the level white, which is the fill value.
        pixels = slide.read_region((x, y), level, (tile_width, tile_height))
        return np.ascontiguousarray(pixels.transpose(2, 0, 1)).reshape(-1)

    def _chunk_keys(self, level: int) -> Iterator[str]:
        (width, height), (tile_width, tile_height), _ = self._levels[level]
        for row in range(-(-height // tile_height)):
            for column in range(-(-width // tile_width)):
                yield f"{level}/0.{row}.{column}"

    # -- the mapping --------------------------------------------------------

    def __getitem__(self, key: str) -> Union[bytes, npt.NDArray[np.uint8]]:
        if key in self._metadata:
            return self._metadata[key]
        chunk = self._chunk(key)
        if chunk is None:
            raise KeyError(key)
        return self._read_chunk(*chunk)

    def __contains__(self, key: object) -> bool:
        # No pixels are read to answer.
        return isinstance(key, str) and (key in self._metadata or self._chunk(key) is not None)

    def __iter__(self) -> Iterator[str]:
        yield from self._metadata
        for level in range(len(self._levels)):
            yield from self._chunk_keys(level)

    def __len__(self) -> int:
        chunks = sum(-(-height // tile_height) * -(-width // tile_width)
                     for (width, height), (tile_width, tile_height), _ in self._levels)
        return len(self._metadata) + chunks

    def listdir(self, path: str = "") -> list[str]:
        path = path.strip("/")
        if path == "":
            return sorted([".zattrs", ".zgroup"] + [str(level) for level in range(len(self._levels))])
        if path.isdigit() and int(path) < len(self._levels) and str(int(path)) == path:
            level = int(path)
            return [".zarray", ".zattrs"] + [key.split("/", 1)[1] for key in self._chunk_keys(level)]
        return []

    def __setitem__(self, key: str, value: Any) -> None:
        raise PermissionError(f"the zarr store of {self._path!r} is read-only")

    def __delitem__(self, key: str) -> None:
        raise PermissionError(f"the zarr store of {self._path!r} is read-only")

    def rmdir(self, path: str = "") -> None:
        raise PermissionError(f"the zarr store of {self._path!r} is read-only")

    def rename(self, src_path: str, dst_path: str) -> None:
        raise PermissionError(f"the zarr store of {self._path!r} is read-only")

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, SlideStore) and (self._opener, self._path, self._options, self._stamp)
                == (other._opener, other._path, other._options, other._stamp))

    def __hash__(self) -> int:
        return hash((self._path, self._stamp))

    def __repr__(self) -> str:
        return f"<tqfslide zarr store of {self._path!r}, {len(self._levels)} levels>"
