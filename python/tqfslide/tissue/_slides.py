"""Tissue of a slide: its mask at a low resolution, and the grid of patches
that lie on it.

    mask = tissue_mask(slide)                                  # bool, (h, w)
    locations = patch_grid(slide, 256, mpp=0.5, min_tissue=0.5)   # (N, 2) level-0 x, y

Both read the slide once at a low resolution (by default the level
OpenSlide's rule picks for a downsample of MASK_DOWNSAMPLE), run the
detector of _detect on its pixels and clean the mask (clean_mask: holes
filled, specks removed).
"""

import math

import numpy as np

from .._slide import Slide, _integer, _positive_number
from ._detect import clean_mask, detect_tissue

__all__ = ["tissue_mask", "patch_grid", "SlideMask", "slide_mask", "mask_of_pixels", "grid_of", "MASK_DOWNSAMPLE",
           "MIN_AREA"]

# The default resolution of a mask: the level OpenSlide's rule picks for
# this downsample (level 5 of a 40x slide: 1.25x, 8 microns per pixel).
MASK_DOWNSAMPLE = 32.0
# Tissue smaller than a 128 x 128 square of full resolution (32 microns on a
# side at 40x: a few cells) is a speck.
MIN_AREA = 128 * 128


class SlideMask:
    """A tissue mask and where it lies: `mask` (bool, rows x columns), each
    of its pixels `downsample` full-resolution pixels on a side from the
    slide's top-left corner; `threshold` the saturation (of 255) used;
    `level` the level it was read from; `pixels` that level's RGB pixels
    at the mask's resolution."""

    def __init__(self, mask, downsample, threshold, level, pixels):
        self.mask, self.downsample, self.threshold, self.level, self.pixels = (mask, downsample, threshold, level,
                                                                               pixels)


def _opened(slide):
    if isinstance(slide, Slide):
        return slide, False
    return Slide(slide, num_threads=1, cache_size=0), True


def slide_mask(slide, *, level=None, mpp=None, threshold=None, fill_holes=True, min_area=MIN_AREA,
               allow_nominal_mpp=False):
    """A SlideMask of a Slide (see tissue_mask for the arguments)."""
    if level is not None and mpp is not None:
        raise TypeError("give at most one of level and mpp")
    if threshold is not None:
        threshold = _positive_number(threshold, "threshold")
        if threshold > 1:
            raise ValueError(f"threshold must be above 0 and at most 1, got {threshold}")
    if isinstance(min_area, (bool, np.bool_)) or not isinstance(min_area, (int, float, np.integer, np.floating)) \
            or not min_area >= 0:
        raise ValueError(f"min_area must be a number of at least 0, got {min_area!r}")
    if not isinstance(fill_holes, (bool, np.bool_)):
        fill_holes = float(_positive_number(fill_holes, "fill_holes"))
    if mpp is not None:
        downsample = slide.downsample_for_mpp(mpp, allow_nominal_mpp=allow_nominal_mpp)
        level = slide.get_best_level_for_downsample(downsample)
        width, height = (max(1, math.ceil(extent / downsample)) for extent in slide.dimensions)
        pixels = slide.read_region_at((0, 0), (width, height), downsample=downsample)
    else:
        if level is None:
            level = slide.get_best_level_for_downsample(MASK_DOWNSAMPLE)
        level = _integer(level, "level")
        if not 0 <= level < slide.level_count:
            raise ValueError(f"level must be 0 to {slide.level_count - 1}, got {level}")
        downsample = slide.level_downsamples[level]
        pixels = slide.read_region((0, 0), level, slide.level_dimensions[level])
    mask, used = mask_of_pixels(pixels, downsample, threshold=threshold, fill_holes=fill_holes, min_area=min_area)
    return SlideMask(mask, downsample, used, level, pixels)


def mask_of_pixels(pixels, downsample, *, threshold=None, fill_holes=True, min_area=MIN_AREA):
    """The cleaned tissue mask of RGB pixels of `downsample` and the
    saturation threshold used (see tissue_mask); areas in full-resolution
    pixels."""
    mask, used = detect_tissue(pixels, threshold)
    area = downsample * downsample  # full-resolution pixels per mask pixel
    if not isinstance(fill_holes, (bool, np.bool_)):
        fill_holes = fill_holes / area
    return clean_mask(mask, fill_holes=fill_holes, min_area=min_area / area), used


def tissue_mask(slide, *, level=None, mpp=None, threshold=None, fill_holes=True, min_area=MIN_AREA,
                allow_nominal_mpp=False):
    """The tissue of a slide (a tqfslide.Slide or a path) as a 2-D bool
    array, True for tissue.

    Its resolution: a stored `level` (rows x columns of that level), or
    `mpp` microns per pixel (ceil(height / d) x ceil(width / d) pixels,
    d = slide.downsample_for_mpp(mpp), read as read_region_at reads);
    by default the level OpenSlide's rule picks for a downsample of 32.

    Tissue is what tqfslide.tissue.detect_tissue finds (saturation at or
    above Otsu's threshold within 20 to 50 of 255, or `threshold` of 0 to
    1), with its holes filled (`fill_holes`: True for every hole, False for
    none, a number for holes of at most that many full-resolution pixels)
    and specks removed: connected tissue of fewer than `min_area`
    full-resolution pixels (default: a 128 x 128 square) is background.
    """
    slide, owned = _opened(slide)
    try:
        return slide_mask(slide, level=level, mpp=mpp, threshold=threshold, fill_holes=fill_holes,
                          min_area=min_area, allow_nominal_mpp=allow_nominal_mpp).mask
    finally:
        if owned:
            slide.close()


def _fractions(mask, downsample, lefts, tops, extent):
    """The share of tissue in the mask pixels each box (left, top, left +
    extent[0], top + extent[1]) of full resolution covers."""
    integral = np.zeros((mask.shape[0] + 1, mask.shape[1] + 1), np.int64)
    integral[1:, 1:] = np.cumsum(np.cumsum(mask, axis=0, dtype=np.int64), axis=1)

    def span(starts, length, limit):
        first = np.clip(np.floor(starts / downsample).astype(np.int64), 0, limit - 1)
        last = np.clip(np.ceil((starts + length) / downsample).astype(np.int64), first + 1, limit)
        return first, last

    left, right = span(lefts, extent[0], mask.shape[1])
    top, bottom = span(tops, extent[1], mask.shape[0])
    inside = integral[bottom, right] - integral[top, right] - integral[bottom, left] + integral[top, left]
    return (inside / ((bottom - top) * (right - left))).astype(np.float32), (left, top, right, bottom)


def grid_of(slide, size, *, mpp=None, level=None, stride=None, min_tissue=0.5, allow_nominal_mpp=False,
            mask=None, **mask_options):
    """patch_grid's locations (N, 2), with the tissue fraction of each
    patch (N,) and its mean colour (N, 3) float32 in the mask's pixels."""
    width, height = _patch_size(size, "size")
    if level is not None and mpp is not None:
        raise TypeError("give at most one of level and mpp")
    if mpp is not None:
        downsample = slide.downsample_for_mpp(mpp, allow_nominal_mpp=allow_nominal_mpp)
    else:
        level = 0 if level is None else _integer(level, "level")
        if not 0 <= level < slide.level_count:
            raise ValueError(f"level must be 0 to {slide.level_count - 1}, got {level}")
        downsample = slide.level_downsamples[level]
    step_x, step_y = (width, height) if stride is None else _patch_size(stride, "stride")
    min_tissue = float(min_tissue)
    if not 0 <= min_tissue <= 1:
        raise ValueError(f"min_tissue must be 0 to 1, got {min_tissue}")
    if mask is None:
        mask = slide_mask(slide, allow_nominal_mpp=allow_nominal_mpp, **mask_options)
    # Full-resolution footprint of a patch and of a step; patches lie wholly
    # within the slide.
    extent = (width * downsample, height * downsample)
    full_width, full_height = slide.dimensions
    xs = np.round(np.arange(0, max(0.0, full_width - extent[0]) + 1e-9, step_x * downsample)).astype(np.int64)
    ys = np.round(np.arange(0, max(0.0, full_height - extent[1]) + 1e-9, step_y * downsample)).astype(np.int64)
    if extent[0] > full_width or extent[1] > full_height or not len(xs) or not len(ys):
        return np.empty((0, 2), np.int64), np.empty(0, np.float32), np.empty((0, 3), np.float32)
    lefts, tops = np.meshgrid(xs, ys)
    lefts, tops = lefts.ravel(), tops.ravel()
    fractions, _ = _fractions(mask.mask, mask.downsample, lefts, tops, extent)
    keep = fractions >= min_tissue if min_tissue > 0 else np.ones(len(fractions), bool)
    lefts, tops, fractions = lefts[keep], tops[keep], fractions[keep]
    means = np.empty((len(lefts), 3), np.float32)
    pixels = mask.pixels
    for channel in range(3):
        means[:, channel], _ = _fractions(pixels[..., channel], mask.downsample, lefts, tops, extent)
    return np.stack([lefts, tops], axis=1), fractions, means


def patch_grid(slide, size, *, mpp=None, level=None, stride=None, min_tissue=0.5, allow_nominal_mpp=False,
               **mask_options):
    """The level-0 (x, y) of the patches of `size` (width, height, or one
    number for a square) whose tissue fraction is at least `min_tissue`,
    as an (N, 2) int64 array, row by row from the top-left corner.

    Patches are read at `level` (default 0) or at `mpp` microns per pixel
    (as Slide.read_region_at reads them), `stride` (default: `size`, no
    overlap) pixels of that resolution apart, and lie wholly within the
    slide. A patch's tissue fraction is the share of tissue in the pixels
    of the tissue mask it covers (tissue_mask; `mask_options` go to it: its
    level or mpp, threshold, fill_holes, min_area). `slide` is a
    tqfslide.Slide or a path."""
    slide, owned = _opened(slide)
    try:
        return grid_of(slide, size, mpp=mpp, level=level, stride=stride, min_tissue=min_tissue,
                       allow_nominal_mpp=allow_nominal_mpp, **mask_options)[0]
    finally:
        if owned:
            slide.close()


def _patch_size(value, name):
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        value = (value, value)
    try:
        width, height = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be an integer or a pair of integers, not {value!r}") from None
    width, height = _integer(width, f"{name}[0]"), _integer(height, f"{name}[1]")
    if width < 1 or height < 1:
        raise ValueError(f"{name} must be at least 1 x 1, got {(width, height)}")
    return width, height
