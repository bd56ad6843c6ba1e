"""The Slide class: a .tqf slide opened for reading."""

from __future__ import annotations

import collections
import concurrent.futures
import operator
import os
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Optional, Sequence, SupportsIndex, Tuple, Union

import numpy as np

from . import _native
from ._errors import NoResolutionError
from .dask_array import to_dask as _to_dask

if TYPE_CHECKING:
    import numpy.typing as npt

    from .zarr_store import SlideStore

    Pixels = npt.NDArray[np.uint8]
    # A path as open() takes it.
    PathLike = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
    # (x, y) or (width, height): ints or NumPy integers.
    Pair = Union[Tuple[SupportsIndex, SupportsIndex], Sequence[SupportsIndex], npt.NDArray[np.integer[Any]]]
    # Many (x, y) pairs: a sequence of pairs or an (N, 2) integer array.
    Locations = Union[Iterable[Pair], npt.NDArray[np.integer[Any]]]

_MODES = {"RGB": 3, "BGR": 3, "RGBA": 4}
DEFAULT_CACHE_SIZE = 64 << 20


def _integer(value: Any, name: str) -> int:
    """An int from an int or NumPy integer (not a float, not a bool)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _pair(value: Any, name: str) -> tuple[int, int]:
    try:
        first, second = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of integers, not {value!r}") from None
    return _integer(first, f"{name}[0]"), _integer(second, f"{name}[1]")


def _size(value: Any, name: str = "size") -> tuple[int, int]:
    width, height = _pair(value, name)
    if width < 0 or height < 0:
        raise ValueError(f"{name} must not be negative, got {(width, height)}")
    return width, height


def _positive_number(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not (value > 0 and np.isfinite(value)):
        raise ValueError(f"{name} must be a positive finite number, got {value}")
    return value


def _mode(mode: Any) -> str:
    if mode not in _MODES:
        raise ValueError(f"mode must be 'RGB', 'BGR' or 'RGBA', not {mode!r}")
    return str(mode)


def _reopen(path: str, options: dict[str, Any]) -> Slide:
    return Slide(path, **options)


class _AssociatedImages(Mapping[str, "Pixels"]):
    """The slide's associated images by name ("label", "macro"), read on
    first use: (height, width, 3) RGB arrays."""

    def __init__(self, slide: Slide) -> None:
        self._slide = slide
        # Kept by the slide, which does not keep this mapping: a slide in no
        # reference cycle closes (and lets its file go) as soon as it is
        # dropped, not at the next garbage collection.
        self._images: dict[str, Pixels] = slide._associated_images

    def __getitem__(self, name: str) -> Pixels:
        native = self._slide._open_native()
        if name not in native.associated_image_names:
            raise KeyError(name)
        if name not in self._images:
            image = native.associated_image(name, "RGB")
            image.flags.writeable = False
            self._images[name] = image
        return self._images[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._slide._open_native().associated_image_names)

    def __len__(self) -> int:
        return len(self._slide._open_native().associated_image_names)

    def __repr__(self) -> str:
        return f"<associated images {list(self)} of {self._slide._path!r}>"


class Slide:
    """A .tqf slide opened for reading.

    Slide(path, *, cache_size=64 MiB, num_threads=None, read_all=False)

    Coordinates follow OpenSlide: locations are (x, y) pixels of full
    resolution (level 0) whatever the level read; sizes are (width, height)
    pixels of the level read. Parts of a region outside the slide are white
    (transparent in mode "RGBA"). Pixels come back as (height, width, 3)
    uint8 arrays in RGB order ("BGR" for OpenCV, "RGBA" with alpha).

    cache_size is the byte budget of decoded tiles kept for this slide
    (0 turns the cache off); num_threads the threads that decode one large
    region (None: one per core); read_all loads the whole file into memory.

    A slide may be used from many threads at once; reads release the
    interpreter lock. It pickles (by path and options) and reopens where it
    is unpickled; a slide opened before fork works in the child. Use it as a
    context manager, or call close().

    Raises FileNotFoundError, PermissionError or IsADirectoryError for a
    path that cannot be opened, UnsupportedFormatError for a file that is
    not a .tqf slide and DamagedSlideError for a damaged one (both are
    TqfError).
    """

    def __init__(self, path: PathLike, *, cache_size: int = DEFAULT_CACHE_SIZE, num_threads: Optional[int] = None,
                 read_all: bool = False) -> None:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
        path = os.fsdecode(os.fspath(path))
        cache_size = _integer(cache_size, "cache_size")
        if cache_size < 0:
            raise ValueError(f"cache_size must not be negative, got {cache_size}")
        threads = 0 if num_threads is None else _integer(num_threads, "num_threads")
        if threads < 0 or (num_threads is not None and threads == 0):
            raise ValueError(f"num_threads must be positive or None, got {num_threads}")
        self._path = path
        self._options: dict[str, Any] = {"cache_size": cache_size, "num_threads": num_threads,
                                         "read_all": bool(read_all)}
        self._native: Optional[_native.NativeSlide] = None
        self._native = _native.NativeSlide(path, cache_size, threads, bool(read_all))
        self._levels = self._native.levels
        self._facts = self._native.properties
        self._properties: Optional[_ReadOnlyDict] = None
        self._associated_images: dict[str, Pixels] = {}  # name -> array, read on first use

    # -- lifetime -----------------------------------------------------------

    def _open_native(self) -> _native.NativeSlide:
        native = self._native
        if native is None or native.closed:
            raise ValueError(f"the slide {self._path!r} is closed")
        return native

    def close(self) -> None:
        """Releases the slide. Any later use raises ValueError; closing
        again does nothing."""
        if self._native is not None:
            self._native.close()

    @property
    def closed(self) -> bool:
        return self._native is None or self._native.closed

    def __enter__(self) -> Slide:
        self._open_native()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, tuple[str, dict[str, Any]]]:
        self._open_native()
        return _reopen, (self._path, dict(self._options))

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self.dimensions[0]} x {self.dimensions[1]}, {self.level_count} levels"
        return f"tqfslide.Slide({self._path!r}) <{state}>"

    # -- facts --------------------------------------------------------------

    @property
    def path(self) -> str:
        return self._path

    @property
    def dimensions(self) -> tuple[int, int]:
        """(width, height) at full resolution."""
        self._open_native()
        return (self._levels[0][2], self._levels[0][3])

    @property
    def level_count(self) -> int:
        self._open_native()
        return len(self._levels)

    @property
    def level_dimensions(self) -> tuple[tuple[int, int], ...]:
        """(width, height) of each level, full resolution first."""
        self._open_native()
        return tuple((level[2], level[3]) for level in self._levels)

    @property
    def level_downsamples(self) -> tuple[float, ...]:
        """Full-resolution pixels per pixel of each level."""
        self._open_native()
        return tuple(level[1] for level in self._levels)

    @property
    def level_magnifications(self) -> tuple[float, ...]:
        """The magnification of each level (40, 20, ... 2.5, 1.25)."""
        self._open_native()
        return tuple(level[0] for level in self._levels)

    @property
    def level_tile_sizes(self) -> tuple[tuple[int, int], ...]:
        """(width, height) of the stored tiles of each level."""
        self._open_native()
        return tuple((level[4], level[5]) for level in self._levels)

    @property
    def magnification(self) -> float:
        """The scan magnification (objective power) of full resolution."""
        self._open_native()
        return float(self._facts["scan_magnification"])

    @property
    def mpp(self) -> Optional[tuple[float, float]]:
        """(x, y) microns per pixel at full resolution, or None when the
        slide records none."""
        self._open_native()
        mpp = float(self._facts["mpp"])
        return (mpp, mpp) if mpp > 0 else None

    @property
    def properties(self) -> Mapping[str, str]:
        """Text properties: the OpenSlide standard keys where known
        (openslide.objective-power, openslide.mpp-x, ...), the slide's own
        header values under tqf.*, and for a converted slide every property
        of its source under source.* (source.aperio.AppMag, source.tiff.Make,
        source.openslide.vendor, ...)."""
        self._open_native()
        if self._properties is None:
            facts = self._facts
            props = {
                "openslide.vendor": "tqf",
                "openslide.objective-power": _number_text(facts["scan_magnification"]),
                "openslide.background-color": "FFFFFF",
                "openslide.level-count": str(len(self._levels)),
            }
            if facts["mpp"] > 0:
                props["openslide.mpp-x"] = props["openslide.mpp-y"] = _number_text(facts["mpp"])
            for i, (_, downsample, width, height, tile_w, tile_h) in enumerate(self._levels):
                props[f"openslide.level[{i}].width"] = str(width)
                props[f"openslide.level[{i}].height"] = str(height)
                props[f"openslide.level[{i}].downsample"] = _number_text(downsample)
                props[f"openslide.level[{i}].tile-width"] = str(tile_w)
                props[f"openslide.level[{i}].tile-height"] = str(tile_h)
            for name, value in facts["raw"].items():
                props[f"tqf.{name}"] = value
            for name, value in facts["source"].items():
                props[f"source.{name}"] = value
            self._properties = _ReadOnlyDict(props)
        return self._properties

    @property
    def associated_images(self) -> Mapping[str, Pixels]:
        """The label and macro (preview) images as (height, width, 3) RGB
        arrays, read on first use."""
        self._open_native()
        return _AssociatedImages(self)

    @property
    def cache_size(self) -> int:
        """Byte budget of the decoded-tile cache; set it to resize, 0 to turn
        the cache off."""
        return self._open_native().cache_bytes

    @cache_size.setter
    def cache_size(self, value: int) -> None:
        value = _integer(value, "cache_size")
        if value < 0:
            raise ValueError(f"cache_size must not be negative, got {value}")
        self._open_native().cache_bytes = value
        self._options["cache_size"] = value

    def downsample_for_mpp(self, mpp: float, *, allow_nominal_mpp: bool = False) -> float:
        """Full-resolution pixels per pixel at `mpp` microns per pixel: `mpp`
        over the slide's own microns per pixel. A slide that records no
        measured resolution raises NoResolutionError, unless
        allow_nominal_mpp is true: then the nominal resolution of its
        magnification is used, 10 / magnification microns per pixel (0.25
        at 40x), which real scanners miss by up to a few per cent."""
        mpp = _positive_number(mpp, "mpp")
        own = self.mpp
        if own is not None:
            return mpp / own[0]
        if not allow_nominal_mpp:
            raise NoResolutionError(f"the slide {self._path!r} has no measured resolution (microns per pixel); "
                                    f"pass allow_nominal_mpp=True to use the nominal "
                                    f"{_number_text(10 / self.magnification)} of its "
                                    f"{_number_text(self.magnification)}x magnification")
        return mpp / (10.0 / self.magnification)

    def get_best_level_for_downsample(self, downsample: float) -> int:
        """The level to read for a downsample: the one with the largest
        downsample not above it (OpenSlide's rule)."""
        return self._open_native().best_level_for_downsample(_positive_number(downsample, "downsample"))

    # -- pixels -------------------------------------------------------------

    def _level(self, given: SupportsIndex) -> int:
        level = _integer(given, "level")
        if not 0 <= level < len(self._levels):
            raise ValueError(f"level must be 0 to {len(self._levels) - 1}, got {level}")
        return level

    def _destination(self, out: Optional[Pixels], width: int, height: int, mode: str) -> Pixels:
        if out is None:
            return np.empty((height, width, _MODES[mode]), np.uint8)
        if not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
        return out

    def read_region(self, location: Pair, level: SupportsIndex, size: Pair, *, out: Optional[Pixels] = None,
                    mode: str = "RGB") -> Pixels:
        """The region of `level` whose top-left corner lies at `location`
        (x, y of full resolution), `size` (width, height) pixels of that
        level, as a new C-contiguous (height, width, 3) uint8 array, or
        written into `out` (which is returned)."""
        native = self._open_native()
        x, y = _pair(location, "location")
        index = self._level(level)
        width, height = _size(size)
        mode = _mode(mode)
        pixels = self._destination(out, width, height, mode)
        native.read_region(x, y, index, width, height, pixels, mode)
        return pixels

    def read_region_at(self, location: Pair, size: Pair, *, downsample: Optional[float] = None,
                       magnification: Optional[float] = None, mpp: Optional[float] = None,
                       allow_nominal_mpp: bool = False, out: Optional[Pixels] = None,
                       mode: str = "RGB") -> Pixels:
        """A region at any downsample, magnification or resolution, stored
        or not. Give exactly one of downsample (full-resolution pixels per
        output pixel), magnification (e.g. 8 on a 40x slide is downsample 5)
        and mpp (microns per output pixel; see downsample_for_mpp for a
        slide without a measured resolution).

        The pixels come from the level OpenSlide's rule picks for the
        downsample (get_best_level_for_downsample: the coarsest level not
        coarser than asked). At a stored level's downsample that level is
        read as stored; otherwise the level's pixels are resampled by area
        averaging when shrinking (each output pixel the mean of the level
        pixels it covers, weighted by how much of each it covers: OpenCV's
        INTER_AREA) and bilinearly when enlarging (finer than full
        resolution)."""
        native = self._open_native()
        x, y = _pair(location, "location")
        width, height = _size(size)
        mode = _mode(mode)
        factor = self._downsample_of(downsample, magnification, mpp, allow_nominal_mpp)
        pixels = self._destination(out, width, height, mode)
        native.read_region_at(x, y, factor, width, height, pixels, mode)
        return pixels

    def _downsample_of(self, downsample: Optional[float], magnification: Optional[float], mpp: Optional[float],
                       allow_nominal_mpp: bool) -> float:
        if sum(value is not None for value in (downsample, magnification, mpp)) != 1:
            raise TypeError("give exactly one of downsample, magnification and mpp")
        if magnification is not None:
            return self.magnification / _positive_number(magnification, "magnification")
        if mpp is not None:
            return self.downsample_for_mpp(mpp, allow_nominal_mpp=allow_nominal_mpp)
        return _positive_number(downsample, "downsample")

    def read_regions(self, locations: Locations, level: Optional[SupportsIndex] = None, size: Optional[Pair] = None,
                     *, mpp: Optional[float] = None, allow_nominal_mpp: bool = False,
                     num_workers: Optional[int] = None, batch_size: Optional[int] = None,
                     prefetch: Optional[int] = None, mode: str = "RGB") -> Union[_RegionIterator, _ResampledRegions]:
        """Reads many regions of one size at one level on `num_workers`
        threads (None: one per core) and yields them in the order of
        `locations` (a sequence of (x, y) pairs or an (N, 2) integer array):
        (height, width, 3) arrays, or (B, height, width, 3) arrays of up to
        `batch_size` regions. Workers read at most `prefetch` items ahead.

        Give `level`, or `mpp` (microns per pixel) to read at a resolution
        as read_region_at does: from the level OpenSlide's rule picks,
        resampled by area averaging unless a level holds it as stored."""
        native = self._open_native()
        if (level is None) == (mpp is None):
            raise TypeError("give exactly one of level and mpp")
        if size is None:
            raise TypeError("read_regions() needs a size (width, height)")
        width, height = _size(size)
        mode = _mode(mode)
        pairs = _locations(locations)
        workers = 0 if num_workers is None else _integer(num_workers, "num_workers")
        if workers < 0 or (num_workers is not None and workers == 0):
            raise ValueError(f"num_workers must be positive or None, got {num_workers}")
        batch = 1 if batch_size is None else _integer(batch_size, "batch_size")
        if batch < 1:
            raise ValueError(f"batch_size must be positive, got {batch_size}")
        ahead = 0 if prefetch is None else _integer(prefetch, "prefetch")
        if ahead < 0 or (prefetch is not None and ahead == 0):
            raise ValueError(f"prefetch must be positive or None, got {prefetch}")
        if mpp is not None:
            downsample = self.downsample_for_mpp(mpp, allow_nominal_mpp=allow_nominal_mpp)
            level = self.get_best_level_for_downsample(downsample)
            if abs(downsample - self.level_downsamples[level]) > 1e-9 * downsample:
                return _ResampledRegions(self, pairs, downsample, (width, height), mode,
                                         workers or os.cpu_count() or 1, batch, batch_size is not None, ahead)
        assert level is not None  # given, or picked for mpp above
        index = self._level(level)
        return _RegionIterator(self, _native.RegionBatch(native, pairs, index, width, height, mode, workers,
                                                         batch, ahead, batch_size is not None))

    def get_thumbnail(self, size: Pair) -> Pixels:
        """The whole slide fitted into `size` (width, height), aspect kept,
        as an RGB array."""
        width, height = _size(size)
        if width < 1 or height < 1:
            raise ValueError(f"size must be at least 1 x 1, got {(width, height)}")
        return self._open_native().thumbnail(width, height, "RGB")

    # -- dask and zarr ------------------------------------------------------

    def to_dask(self, level: int = 0, chunks: Any = None) -> Any:
        """`level` as a lazy (height, width, 3) uint8 RGB dask array whose
        tasks reopen the slide by path wherever they run (threads, processes,
        dask.distributed). chunks: None for 2048 x 2048 pixels, or anything
        dask.array takes; chunks on tile boundaries decode each tile once.
        See tqfslide.dask_array."""
        return _to_dask(self, level, chunks)

    def zarr_store(self) -> SlideStore:
        """Every level as a read-only zarr v2 store with OME-NGFF 0.4
        multiscales metadata: arrays "0", "1", ... of shape (3, height,
        width), one tile a chunk. zarr.open(store, mode="r") and
        dask.array.from_zarr(store, component="0") take it. See
        tqfslide.zarr_store."""
        # zarr is optional, and slow to import: only here.
        from .zarr_store import SlideStore
        return SlideStore(self)


class _RegionIterator:
    """Regions of Slide.read_regions, in order; stops its workers when
    exhausted, closed or collected."""

    def __init__(self, slide: Slide, batch: _native.RegionBatch) -> None:
        self._slide = slide
        self._batch: Optional[_native.RegionBatch] = batch
        self._length = len(batch)

    def __iter__(self) -> _RegionIterator:
        return self

    def __next__(self) -> Pixels:
        if self._batch is None:
            raise StopIteration
        self._slide._open_native()
        try:
            return self._batch.__next__()
        except StopIteration:
            self.close()
            raise

    def __len__(self) -> int:
        return self._length

    def close(self) -> None:
        """Stops the workers; regions not taken yet are dropped."""
        if self._batch is not None:
            self._batch.stop()
            self._batch = None

    def __enter__(self) -> _RegionIterator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class _ResampledRegions:
    """Regions of Slide.read_regions at a resolution no level holds: batches
    read by _native.read_patches on a pool of threads, at most a few ahead,
    handed out in order."""

    def __init__(self, slide: Slide, locations: npt.NDArray[np.int64], downsample: float, size: Tuple[int, int],
                 mode: str, workers: int, batch: int, batched: bool, ahead: int) -> None:
        self._slide = slide
        self._locations = locations
        self._downsample = downsample
        self._size = size
        self._mode = mode
        self._batch = batch
        self._batched = batched
        self._length = len(locations)
        # Small batches are read in chunks of a few regions per worker, so
        # that the threads' start and the call cost little beside the reads.
        self._chunk = batch if batched else max(1, min(16, -(-self._length // workers)))
        self._workers = workers
        self._ahead = max(2, -(-(ahead or 2 * workers * self._chunk) // self._chunk))
        self._starts = iter(range(0, self._length, self._chunk))
        self._pending: collections.deque[concurrent.futures.Future[Pixels]] = collections.deque()
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=min(workers, self._ahead),
                                                           thread_name_prefix="tqfslide-regions")
        self._ready: collections.deque[Pixels] = collections.deque()
        self._fill()

    def _fill(self) -> None:
        while len(self._pending) < self._ahead:
            start = next(self._starts, None)
            if start is None:
                return
            self._pending.append(self._pool.submit(self._read, start))

    def _read(self, start: int) -> Pixels:
        places = self._locations[start:start + self._chunk]
        width, height = self._size
        out = np.empty((len(places), height, width, _MODES[self._mode]), np.uint8)
        _read_patches([self._slide], np.zeros(len(places), np.int32), places,
                      np.full(len(places), self._downsample), out, self._mode, 1)
        return out

    def __iter__(self) -> _ResampledRegions:
        return self

    def __next__(self) -> Pixels:
        if self._ready:
            return self._ready.popleft()
        if not self._pending:
            self.close()
            raise StopIteration
        self._slide._open_native()
        future = self._pending.popleft()
        try:
            chunk = future.result()
        except BaseException:
            self.close()
            raise
        self._fill()
        if self._batched:
            return chunk
        self._ready.extend(chunk)
        return self._ready.popleft()

    def __len__(self) -> int:
        return self._length

    def close(self) -> None:
        """Stops the workers; regions not taken yet are dropped."""
        for future in self._pending:
            future.cancel()
        self._pending.clear()
        self._ready.clear()
        self._starts = iter(())
        self._pool.shutdown(wait=False)

    def __del__(self) -> None:
        pool = getattr(self, "_pool", None)
        if pool is not None:
            self.close()

    def __enter__(self) -> _ResampledRegions:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _read_patches(slides: Sequence[Slide], which: npt.NDArray[np.int32], locations: Any, downsamples: Any,
                  out: Pixels, mode: str, threads: int, channels_first: bool = False) -> None:
    """Reads patch i of slides[which[i]] at locations[i] and downsamples[i]
    into out[i] ((height, width, channels), or (channels, height, width))
    on `threads` native threads (see _native.read_patches); an error names
    the failed patch's slide."""
    height, width = out.shape[2:4] if channels_first else out.shape[1:3]
    failed = np.zeros(1, np.int64)
    native = [slide._open_native() for slide in slides]
    _native.read_patches(native, which, locations, downsamples, width, height, out, mode, threads, failed,
                         channels_first)


def _locations(locations: Any) -> npt.NDArray[np.int64]:
    if isinstance(locations, np.ndarray):
        if not np.issubdtype(locations.dtype, np.integer):
            raise TypeError(f"locations must hold integers, not {locations.dtype}")
        if locations.ndim != 2 or locations.shape[1] != 2:
            raise ValueError(f"locations must have shape (N, 2), not {locations.shape}")
        return np.ascontiguousarray(locations, dtype=np.int64)
    try:
        pairs = [_pair(location, f"locations[{i}]") for i, location in enumerate(locations)]
    except TypeError:
        if not hasattr(locations, "__iter__"):
            raise TypeError(f"locations must be a sequence of (x, y) pairs, not {type(locations).__name__}") from None
        raise
    return np.array(pairs, dtype=np.int64).reshape(-1, 2)


def _number_text(value: float) -> str:
    return f"{value:g}" if float(value) != int(value) else str(int(value))


class _ReadOnlyDict(Mapping[str, str]):
    def __init__(self, values: dict[str, str]) -> None:
        self._values = values

    def __getitem__(self, key: str) -> str:
        return self._values[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __repr__(self) -> str:
        return f"<properties {self._values!r}>"


def open(path: PathLike, *, cache_size: int = DEFAULT_CACHE_SIZE, num_threads: Optional[int] = None,  # noqa: A001
         read_all: bool = False) -> Slide:
    # (open: the name users expect, tqfslide.open)
    """Opens a slide: the same as Slide(path, ...)."""
    return Slide(path, cache_size=cache_size, num_threads=num_threads, read_all=read_all)
