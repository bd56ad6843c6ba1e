"""The OpenSlide-compatible slide class and what goes with it (its errors,
open_slide, its cache), apart from the module that re-exports them with
openslide-python's other names (openslide_compat), so that the functions of
lowlevel can use them without importing that module back."""

from __future__ import annotations

import operator
import os
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any, Optional, Sequence, SupportsIndex, Union

import openslide
from openslide import AbstractSlide, OpenSlideError, OpenSlideUnsupportedFormatError, OpenSlideVersionError
from PIL import Image

from ._errors import TqfError, UnsupportedFormatError
from ._slide import Slide

if TYPE_CHECKING:
    from ._slide import PathLike

VENDOR = "tqf"


class _MissingSlideError(OpenSlideUnsupportedFormatError, FileNotFoundError):
    """No file at the path: OpenSlide's error for it, and the one open() raises."""


class _UnreadableSlideError(OpenSlideError, PermissionError):
    pass


class _ClosedSlideError(OpenSlideError, ValueError):
    pass


def _open(path: str) -> Slide:
    try:
        return Slide(path)
    except FileNotFoundError as e:
        raise _MissingSlideError(e.errno, e.strerror, e.filename) from None
    except PermissionError as e:
        raise _UnreadableSlideError(e.errno, e.strerror, e.filename) from None
    except IsADirectoryError:
        raise OpenSlideUnsupportedFormatError(f"cannot open slide {path!r}: it is a directory") from None
    except UnsupportedFormatError as e:
        raise OpenSlideUnsupportedFormatError(str(e)) from None
    except TqfError as e:
        raise OpenSlideError(str(e)) from None


class OpenSlide(AbstractSlide):
    """A .tqf slide with openslide.OpenSlide's interface.

    OpenSlide(filename) opens it; close() (or the end of a with block)
    releases it. Raises OpenSlideUnsupportedFormatError for a file that is
    not a .tqf slide (also a FileNotFoundError when there is no file) and
    OpenSlideError for a damaged one.
    """

    def __new__(cls, filename: Optional[PathLike] = None) -> Any:
        # Another file is openslide's own business, as with open_slide.
        if cls is OpenSlide and isinstance(filename, (str, bytes, os.PathLike)) and not _is_tqf_name(filename):
            return openslide.OpenSlide(filename)
        return super().__new__(cls)

    def __init__(self, filename: PathLike) -> None:
        AbstractSlide.__init__(self)
        self._filename = filename
        if not isinstance(filename, (str, bytes, os.PathLike)):
            raise TypeError(f"filename must be a str or os.PathLike, not {type(filename).__name__}")
        self._slide = _open(os.fsdecode(os.fspath(filename)))

    def __repr__(self) -> str:
        return f"{self.__class__.__name__}({self._filename!r})"

    @classmethod
    def detect_format(cls, filename: PathLike) -> Optional[str]:
        """"tqf" for a .tqf slide, what openslide.OpenSlide.detect_format
        says for any other file, None for a file no format reads (also a
        missing file)."""
        try:
            path = os.fsdecode(os.fspath(filename))
            with open(path, "rb") as f:
                magic = f.read(4)
        except (OSError, TypeError, ValueError):
            return None
        if magic == b"TQFH" and path.endswith(".tqf"):
            return VENDOR
        try:
            vendor: Optional[str] = openslide.OpenSlide.detect_format(path)
            return vendor
        except (OpenSlideError, ValueError):
            return None

    def _live(self) -> Slide:
        if self._slide.closed:
            raise _ClosedSlideError(f"the slide {self._filename!r} is closed")
        return self._slide

    def close(self) -> None:
        self._slide.close()

    @property
    def level_count(self) -> int:
        return self._live().level_count

    @property
    def level_dimensions(self) -> tuple[tuple[int, int], ...]:
        return self._live().level_dimensions

    @property
    def level_downsamples(self) -> tuple[float, ...]:
        return self._live().level_downsamples

    @property
    def properties(self) -> Mapping[str, str]:
        """Text properties: openslide.vendor, openslide.objective-power,
        openslide.mpp-x and -y where the slide records them,
        openslide.background-color, the openslide.level[n].* keys, the
        slide's own header values under tqf.*, and a converted slide's
        source's properties under source.*."""
        return self._live().properties

    @property
    def associated_images(self) -> Mapping[str, Image.Image]:
        """The label and macro as RGBA PIL images, read on first use."""
        return _AssociatedImages(self._live())

    def get_best_level_for_downsample(self, downsample: float) -> int:
        slide = self._live()
        try:
            factor = float(downsample)
        except (TypeError, ValueError):
            raise TypeError(f"downsample must be a number, not {type(downsample).__name__}") from None
        # OpenSlide answers level 0 for any downsample below the first level's
        # (also zero, negative or NaN), where Slide refuses it.
        if not factor >= 1.0:
            return 0
        return slide.get_best_level_for_downsample(min(factor, 1e300))

    def read_region(self, location: tuple[int, int], level: SupportsIndex,
                    size: tuple[SupportsIndex, SupportsIndex]) -> Image.Image:
        """The region of `level` whose top-left corner lies at `location`
        (x, y of level 0), `size` (width, height) pixels of that level, as an
        RGBA PIL image: not premultiplied, (0, 0, 0, 0) outside the slide."""
        slide = self._live()
        x, y = location
        width, height = (operator.index(v) for v in size)
        index = operator.index(level)
        if width < 0 or height < 0:
            raise OpenSlideError(f"negative width ({width}) or negative height ({height}) not allowed")
        if width == 0 or height == 0:
            return Image.new("RGBA", (width, height))
        if not 0 <= index < slide.level_count:
            raise OpenSlideError(f"invalid level {index}: the slide {self._filename!r} has levels 0 to "
                                 f"{slide.level_count - 1}")
        try:
            pixels = slide.read_region((x, y), index, (width, height), mode="RGBA")
        except ValueError as e:
            raise OpenSlideError(str(e)) from None
        return Image.frombuffer("RGBA", (width, height), pixels, "raw", "RGBA", 0, 1)

    def get_thumbnail(self, size: tuple[int, int]) -> Image.Image:
        """An RGB thumbnail no larger than `size`, made as OpenSlide makes
        it (the best level for the scale, shrunk with Lanczos), so sizes match
        openslide.OpenSlide.get_thumbnail to the pixel."""
        slide = self._live()
        downsample = max(dimension / limit for dimension, limit in zip(slide.dimensions, size))
        level = self.get_best_level_for_downsample(downsample)
        # White outside the slide, which is the background colour.
        pixels = slide.read_region((0, 0), level, slide.level_dimensions[level], mode="RGB")
        thumbnail = Image.fromarray(pixels, "RGB")
        thumbnail.thumbnail(size, Image.Resampling.LANCZOS)
        return thumbnail

    def set_cache(self, cache: Any) -> None:
        """Takes the capacity of an OpenSlideCache (this module's or
        openslide's) as this slide's decoded-tile budget (the cache itself
        is not shared)."""
        capacity = getattr(cache, "_capacity", None)
        if isinstance(capacity, bool) or not isinstance(capacity, int):
            raise TypeError("Not a cache object")
        self._live().cache_size = max(0, capacity)


class _AssociatedImages(Mapping[str, Any]):
    def __init__(self, slide: Slide) -> None:
        self._slide = slide

    def __getitem__(self, name: str) -> Image.Image:
        try:
            rgb = self._slide.associated_images[name]
        except TqfError as e:
            raise OpenSlideError(str(e)) from None
        alpha = Image.new("L", (rgb.shape[1], rgb.shape[0]), 255)
        image = Image.fromarray(rgb, "RGB")
        image.putalpha(alpha)
        return image

    def __iter__(self) -> Iterator[str]:
        return iter(self._slide.associated_images)

    def __len__(self) -> int:
        return len(self._slide.associated_images)

    def __repr__(self) -> str:
        return f"<{self.__class__.__name__} {list(self)!r}>"


def open_slide(filename: PathLike) -> Any:
    """OpenSlide (this module's) for a .tqf slide, else what
    openslide.open_slide returns (openslide.OpenSlide or ImageSlide)."""
    if _is_tqf_name(filename):
        return OpenSlide(filename)
    return openslide.open_slide(filename)


def _is_tqf_name(filename: Union[PathLike, Any]) -> bool:
    return os.fsdecode(os.fspath(filename)).endswith(".tqf")


class OpenSlideCache(openslide.OpenSlideCache):
    """A tile cache of `capacity` bytes for OpenSlide.set_cache, as
    openslide.OpenSlideCache, made also where the OpenSlide C library has no
    caches of its own (OpenSlide 3.4): .tqf slides take its capacity as
    their budget; openslide's slides share it where the library can (else
    their set_cache raises OpenSlideVersionError, as openslide's does)."""

    def __init__(self, capacity: int) -> None:
        if isinstance(capacity, bool) or not isinstance(capacity, int):
            raise TypeError("capacity must be an int")
        if capacity < 0:
            raise ValueError("capacity must not be negative")
        self._capacity = capacity
        try:
            self._openslide_cache = openslide.lowlevel.cache_create(capacity)
        except OpenSlideVersionError:
            self._openslide_cache = None
