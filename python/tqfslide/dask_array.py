"""A level of a slide as a lazy dask array: Slide.to_dask().

    import tqfslide
    with tqfslide.open("slide.tqf") as slide:
        image = slide.to_dask(level=1)            # (height, width, 3) uint8, RGB
    image[2048:4096, 1024:3072].mean(axis=(0, 1)).compute()

Making the array reads no pixels. Each task holds a LevelReader (the slide's
class, path, options, level and the file's size and modification time) and
the box of its chunk, and reads that box through tqfslide wherever it runs,
so the array computes on the threaded, the processes and the
dask.distributed schedulers alike; the slide need not stay open. Each
process opens a slide once and shares it among its tasks (the pool
tqfslide._slide_pool.task_slides).

Chunks are aligned to the level's tiles, so every tile is decoded by exactly
one task. Each task decodes with one thread: the scheduler's workers are the
parallelism.
"""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

import numpy as np

from ._slide_pool import file_identity, task_slides

if TYPE_CHECKING:
    from ._slide import Pixels, Slide

# The side of a default chunk in pixels, rounded down to whole tiles: 8 x 8
# tiles of 256, 12 MiB. Smaller chunks cost more in the scheduler than they
# gain (with 2 threads, 1024-pixel chunks read a level at 1.2 to 1.3 times
# the time of read_regions, 2048-pixel ones at 1.0 to 1.1 times); tile-sized
# chunks would make a 100,000-pixel level 150,000 tasks.
DEFAULT_CHUNK_SIDE = 2048


def full_resolution_position(position: int, downsample: float) -> int:
    """The smallest full-resolution coordinate that a read of a level with
    this downsample maps to `position` of the level (the reader takes
    floor(x / downsample))."""
    x = math.ceil(position * downsample)
    while x > 0 and math.floor((x - 1) / downsample) >= position:
        x -= 1
    while math.floor(x / downsample) < position:
        x += 1
    return x


class LevelReader:
    """Reads boxes of one level of a slide in whatever process it is used:
    it carries only the path, the options, the level, its size, the file's
    stamp (size and modification time) and the class that opens the slide
    (tqfslide.Slide), and pickles as such. Indexing it with slices reads
    (rows, columns, channels) like a NumPy array of shape (height, width, 3).
    """

    dtype = np.dtype(np.uint8)
    ndim = 3

    def __init__(self, path: str, options: dict[str, Any], stamp: Sequence[int], level: int, size: Sequence[int],
                 downsample: float, opener: Callable[..., Slide]) -> None:
        self.path = path
        self.options = dict(options)
        self.stamp = tuple(stamp)
        self.level = int(level)
        self.width, self.height = (int(v) for v in size)
        self.downsample = float(downsample)
        self.opener = opener

    @classmethod
    def of(cls, slide: Slide, level: int) -> LevelReader:
        """The reader of `level` of an open slide; tasks decode with one
        thread each."""
        index = slide._level(level)
        options = dict(slide._options, num_threads=1)
        # Absolute, so that workers started elsewhere find the same file.
        path = os.path.abspath(slide.path)
        return cls(path, options, file_identity(path).stamp, index, slide.level_dimensions[index],
                   slide.level_downsamples[index], type(slide))

    @property
    def shape(self) -> tuple[int, int, int]:
        return (self.height, self.width, 3)

    def read(self, left: int, top: int, width: int, height: int, out: Optional[Pixels] = None) -> Pixels:
        """The box of the level at (left, top), width x height pixels of the
        level, as a new (height, width, 3) RGB array or into `out`."""
        slide = task_slides.get(self.opener, self.path, self.options, expected=self.stamp)
        x = full_resolution_position(left, self.downsample)
        y = full_resolution_position(top, self.downsample)
        pixels: Pixels = slide.read_region((x, y), self.level, (width, height), out=out)
        return pixels

    def __getitem__(self, given: Any) -> Pixels:
        index: tuple[Any, ...] = given if isinstance(given, tuple) else (given,)
        if len(index) > 3 or any(not isinstance(part, slice) for part in index):
            raise TypeError(f"a LevelReader takes up to three slices, not {index!r}")
        index = index + (slice(None),) * (3 - len(index))
        (top, bottom, row_step), (left, right, column_step), _ = (
            part.indices(extent) for part, extent in zip(index, self.shape))
        if row_step != 1 or column_step != 1:
            raise TypeError(f"a LevelReader takes slices without steps, not {index!r}")
        pixels = self.read(left, top, max(0, right - left), max(0, bottom - top))
        return pixels if index[2] == slice(None) else pixels[:, :, index[2]]

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        opener = f"{self.opener.__module__}.{self.opener.__qualname__}"
        return (type(self).__name__, opener, self.path, sorted(self.options.items()), self.stamp, self.level)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, LevelReader) and self.__dask_tokenize__() == other.__dask_tokenize__()

    def __hash__(self) -> int:
        return hash((self.path, self.stamp, self.level))

    def __repr__(self) -> str:
        return f"LevelReader({self.path!r}, level={self.level}, {self.width} x {self.height})"


def read_box(reader: LevelReader, index: Any) -> Pixels:
    """A task: the box `index` (slices) of the level `reader` reads."""
    return reader[index]


def chunk_boxes(chunks: Sequence[Sequence[int]]) -> list[tuple[int, int, int, int]]:
    """(top, left, height, width) of every chunk of normalized (rows,
    columns, ...) chunks, row by row."""
    tops = np.cumsum((0,) + tuple(chunks[0][:-1]))
    lefts = np.cumsum((0,) + tuple(chunks[1][:-1]))
    return [(int(top), int(left), height, width) for top, height in zip(tops, chunks[0])
            for left, width in zip(lefts, chunks[1])]


def _tile_multiple(side: int, tile: int) -> int:
    return max(1, side // tile) * tile


def normalize_chunks(chunks: Any, shape: tuple[int, ...], tile_size: tuple[int, int]) -> tuple[tuple[int, ...], ...]:
    from dask.array.core import normalize_chunks as dask_normalize_chunks

    tile_width, tile_height = tile_size
    tiles = (tile_height, tile_width, 3)
    if chunks is None:
        chunks = (_tile_multiple(DEFAULT_CHUNK_SIDE, tile_height), _tile_multiple(DEFAULT_CHUNK_SIDE, tile_width), 3)
    elif isinstance(chunks, (tuple, list)):
        chunks = tuple(tuple(part) if isinstance(part, list) else part for part in chunks)
        if len(chunks) == 2:
            chunks += (3,)
    try:
        # With the tiles as the previous chunks, "auto" picks whole tiles.
        normalized: tuple[tuple[int, ...], ...] = dask_normalize_chunks(chunks, shape, dtype=np.uint8,
                                                                        previous_chunks=tiles)
        return normalized
    except (ValueError, TypeError, ZeroDivisionError) as error:
        raise ValueError(f"chunks {chunks!r} do not fit an array of shape {shape}: {error}") from None


def to_dask(slide: Slide, level: int = 0, chunks: Any = None) -> Any:
    """`level` of `slide` as a lazy (height, width, 3) uint8 RGB dask array.

    chunks: None for chunks of 2048 x 2048 pixels (whole tiles; smaller at
    the right and bottom edges); anything dask.array takes ("auto", (rows,
    columns, 3), (rows, columns), explicit block sizes ...). Chunks that
    start on tile boundaries decode each tile once.
    """
    import dask.array as da
    from dask.base import tokenize

    slide._open_native()
    reader = LevelReader.of(slide, level)
    normalized = normalize_chunks(chunks, reader.shape, slide.level_tile_sizes[reader.level])
    name = "tqfslide-level-" + tokenize(reader, normalized)
    return da.from_array(reader, chunks=normalized, name=name, lock=False, asarray=False, fancy=False,
                         getitem=read_box, meta=np.empty((0, 0, 0), np.uint8), inline_array=True)
