"""openslide.lowlevel's functions, taking .tqf slides too:
tqfslide.openslide_compat.lowlevel.

open() returns a handle of its own for a .tqf slide (read through tqfslide)
and openslide.lowlevel's handle for any other file; every function takes
either. Errors are raised as openslide.lowlevel raises them, so get_error()
of a .tqf handle is always None.
"""

from __future__ import annotations

from typing import Any

from openslide import lowlevel as _openslide

from . import _openslide_slide
from openslide.lowlevel import (  # noqa: F401  re-exported
    OpenSlideError,
    OpenSlideUnsupportedFormatError,
    OpenSlideVersionError,
)


class _TqfSlide:
    """The handle open() returns for a .tqf slide."""

    def __init__(self, slide: Any) -> None:
        self.slide = slide

    def __repr__(self) -> str:
        return f"<lowlevel handle of {self.slide!r}>"


def _compat() -> Any:
    return _openslide_slide


def _tqf(slide: Any) -> Any:
    return slide.slide if isinstance(slide, _TqfSlide) else None


def detect_vendor(filename: Any) -> Any:
    if _compat().OpenSlide.detect_format(filename) == "tqf":
        return "tqf"
    return _openslide.detect_vendor(filename)


def open(filename: Any) -> Any:  # noqa: A001  openslide.lowlevel's name
    compat = _compat()
    if compat._is_tqf_name(filename):
        return _TqfSlide(compat.OpenSlide(filename))
    return _openslide.open(filename)


def close(slide: Any) -> None:
    if _tqf(slide):
        _tqf(slide).close()
    else:
        _openslide.close(slide)


def get_level_count(slide: Any) -> Any:
    return _tqf(slide).level_count if _tqf(slide) else _openslide.get_level_count(slide)


def get_level_dimensions(slide: Any, level: Any) -> Any:
    tqf = _tqf(slide)
    if tqf is None:
        return _openslide.get_level_dimensions(slide, level)
    return tqf.level_dimensions[level] if 0 <= level < tqf.level_count else (-1, -1)


def get_level_downsample(slide: Any, level: Any) -> Any:
    tqf = _tqf(slide)
    if tqf is None:
        return _openslide.get_level_downsample(slide, level)
    return tqf.level_downsamples[level] if 0 <= level < tqf.level_count else -1.0


def get_best_level_for_downsample(slide: Any, downsample: Any) -> Any:
    tqf = _tqf(slide)
    return tqf.get_best_level_for_downsample(downsample) if tqf else _openslide.get_best_level_for_downsample(
        slide, downsample)


def read_region(slide: Any, x: Any, y: Any, level: Any, w: Any, h: Any) -> Any:
    """An RGBA PIL image, not premultiplied; transparent for a level the
    slide does not have, as the C library answers."""
    tqf = _tqf(slide)
    if tqf is None:
        return _openslide.read_region(slide, x, y, level, w, h)
    if w >= 0 and h >= 0 and not 0 <= level < tqf.level_count:
        from PIL import Image

        return Image.new("RGBA", (w, h))
    return tqf.read_region((x, y), level, (w, h))


def get_error(slide: Any) -> Any:
    return None if _tqf(slide) else _openslide.get_error(slide)


def get_property_names(slide: Any) -> Any:
    return sorted(_tqf(slide).properties) if _tqf(slide) else _openslide.get_property_names(slide)


def get_property_value(slide: Any, name: Any) -> Any:
    return _tqf(slide).properties.get(name) if _tqf(slide) else _openslide.get_property_value(slide, name)


def get_associated_image_names(slide: Any) -> Any:
    return sorted(_tqf(slide).associated_images) if _tqf(slide) else _openslide.get_associated_image_names(slide)


def get_associated_image_dimensions(slide: Any, name: Any) -> Any:
    tqf = _tqf(slide)
    if tqf is None:
        return _openslide.get_associated_image_dimensions(slide, name)
    return tqf.associated_images[name].size if name in tqf.associated_images else (-1, -1)


def read_associated_image(slide: Any, name: Any) -> Any:
    tqf = _tqf(slide)
    return tqf.associated_images[name] if tqf else _openslide.read_associated_image(slide, name)


def get_version() -> Any:
    return _openslide.get_version()


def cache_create(capacity: Any) -> Any:
    """A cache for set_cache: openslide_compat.OpenSlideCache (its capacity
    is a .tqf slide's budget; it holds openslide's own cache where the C
    library has caches)."""
    return _compat().OpenSlideCache(capacity)


def set_cache(slide: Any, cache: Any) -> None:
    tqf = _tqf(slide)
    if tqf is not None:
        tqf.set_cache(cache)
    else:
        _openslide.set_cache(slide, getattr(cache, "_openslide_cache", cache))


def cache_release(cache: Any) -> None:
    """Nothing to do: the cache is released when no longer referenced."""
