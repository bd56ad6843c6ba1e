"""Tissue on RGB pixels, in NumPy alone: the detector, and statistics of
the tiles of a level.

The detector, on the RGB pixels of a low level of a slide:
- the saturation of a pixel is 255 * (max - min) / max of its red, green and
  blue; glass and empty background are white or grey (saturation near 0),
  stained tissue is coloured. Pixels darker than DARK (max < 26: ink, dust,
  unscanned areas, where a little noise makes the saturation high) count as
  background;
- the threshold is Otsu's on the histogram of those saturations, kept
  within THRESHOLD_BOUNDS (20 to 50): glass stays below 20 even when
  tinted, stained tissue lies above 50, and the bounds keep a slide that is
  all background (Otsu would split its noise) or all tissue (Otsu would
  split lighter from darker stain) from being cut in two. A threshold given
  (0 to 1) is used instead;
- tissue is every pixel whose saturation reaches the threshold;
- clean_mask then fills the holes tissue encloses (pale stroma, fat and
  lumens read as background by saturation alone) and removes specks (dust,
  debris, stray stain) smaller than a given area.
"""

import math

import numpy as np
from scipy import ndimage

__all__ = ["THRESHOLD_BOUNDS", "DARK", "saturation", "otsu", "detect_tissue", "clean_mask", "tile_fractions",
           "tile_means"]

THRESHOLD_BOUNDS = (20, 50)  # of 255
DARK = 26  # of 255


def saturation(rgb):
    """255 * (max - min) / max of each pixel of an (h, w, 3) uint8 array,
    rounded down, as uint8, and whether each pixel is darker than DARK."""
    red, green, blue = (rgb[..., i] for i in range(3))
    high = np.maximum(np.maximum(red, green), blue).astype(np.uint16)
    low = np.minimum(np.minimum(red, green), blue).astype(np.uint16)
    value = ((high - low) * np.uint16(255) // np.maximum(high, 1)).astype(np.uint8)
    return value, high < DARK


def otsu(histogram):
    """The threshold t (1 to 255) of a 256-bin histogram that splits it into
    [0, t) and [t, 256) with the largest between-class variance."""
    counts = np.asarray(histogram, np.float64)
    total = counts.sum()
    if total == 0:
        return 1
    levels = np.arange(counts.size, dtype=np.float64)
    below = np.cumsum(counts)[:-1]  # pixels below t = 1 ... 255
    above = total - below
    sum_below = np.cumsum(counts * levels)[:-1]
    mean_below = np.divide(sum_below, below, out=np.zeros_like(below), where=below > 0)
    mean_above = np.divide(sum_below[-1] + counts[-1] * levels[-1] - sum_below, above,
                           out=np.zeros_like(above), where=above > 0)
    variance = below * above * (mean_below - mean_above) ** 2
    return int(np.argmax(variance)) + 1


def detect_tissue(rgb, threshold=None):
    """The tissue mask (bool) of an RGB image and the saturation threshold
    (of 255) used: Otsu's within THRESHOLD_BOUNDS unless `threshold` (0 to
    1) is given."""
    value, dark = saturation(rgb)
    if threshold is None:
        low, high = THRESHOLD_BOUNDS
        level = min(max(otsu(np.bincount(value[~dark], minlength=256)), low), high)
    else:
        level = max(1, math.ceil(threshold * 255))
    return (value >= level) & ~dark, level


# Tissue touches along edges and corners; background only along edges, so
# that a diagonal line of tissue pixels encloses what lies inside it.
_TISSUE_CONNECTIVITY = np.ones((3, 3), bool)
_BACKGROUND_CONNECTIVITY = ndimage.generate_binary_structure(2, 1)


def clean_mask(mask, *, fill_holes=True, min_area=0):
    """A tissue mask (2-D bool) with its holes filled and its specks removed,
    as a new array. fill_holes: True fills every region of background that
    tissue encloses (one that does not reach the mask's border), False none,
    a number those of at most that many pixels. min_area: connected tissue
    of fewer pixels is removed, after the holes are filled (a ring of
    tissue counts with what it encloses)."""
    mask = np.asarray(mask, bool)
    if mask.ndim != 2:
        raise ValueError(f"mask must be 2-D, not of shape {mask.shape}")
    result = mask.copy()
    if fill_holes is not False and mask.size:
        labels, count = ndimage.label(~mask, _BACKGROUND_CONNECTIVITY)
        if count:
            areas = np.bincount(labels.ravel(), minlength=count + 1)
            hole = np.ones(count + 1, bool)
            hole[0] = False  # tissue
            border = np.concatenate([labels[0], labels[-1], labels[:, 0], labels[:, -1]])
            hole[border] = False
            if fill_holes is not True:
                hole &= areas <= fill_holes
            result |= hole[labels]
    if min_area > 1 and result.any():
        labels, count = ndimage.label(result, _TISSUE_CONNECTIVITY)
        areas = np.bincount(labels.ravel(), minlength=count + 1)
        keep = areas >= min_area
        keep[0] = False
        result = keep[labels]
    return result


def tile_fractions(mask, downsample, size, tile):
    """The share of tissue in the mask pixels each tile of full resolution
    covers: (rows, columns) float32 for a full-resolution `size` (w, h) cut
    in `tile` (w, h) tiles, `mask` being of a level of that `downsample`."""
    (width, height), (tile_width, tile_height) = size, tile
    integral = np.zeros((mask.shape[0] + 1, mask.shape[1] + 1), np.int64)
    integral[1:, 1:] = np.cumsum(np.cumsum(mask, axis=0, dtype=np.int64), axis=1)

    def spans(extent, step, limit):
        starts = np.arange(0, extent, step)
        ends = np.minimum(starts + step, extent)
        first = np.minimum(np.floor(starts / downsample).astype(np.int64), limit - 1)
        last = np.clip(np.ceil(ends / downsample).astype(np.int64), first + 1, limit)
        return first, last

    top, bottom = spans(height, tile_height, mask.shape[0])
    left, right = spans(width, tile_width, mask.shape[1])
    inside = (integral[bottom[:, None], right[None, :]] - integral[top[:, None], right[None, :]]
              - integral[bottom[:, None], left[None, :]] + integral[top[:, None], left[None, :]])
    area = (bottom - top)[:, None] * (right - left)[None, :]
    return (inside / area).astype(np.float32)


def tile_means(block, tile_height, tile_width):
    """The mean colour of each tile of a block that starts on a tile
    boundary: (rows, columns, 3) float32."""
    height, width = block.shape[:2]
    rows = -(-height // tile_height)
    # Rows of a tile first, into 16 bits (256 x 255 fits), then columns.
    wide = tile_height <= 257
    columns_sum = np.empty((rows, width, 3), np.uint16 if wide else np.uint32)
    for row in range(rows):
        np.sum(block[row * tile_height:(row + 1) * tile_height], axis=0, dtype=columns_sum.dtype,
               out=columns_sum[row])
    sums = np.add.reduceat(columns_sum, np.arange(0, width, tile_width), axis=1, dtype=np.uint64)
    heights = np.minimum(tile_height, height - np.arange(rows) * tile_height)
    widths = np.minimum(tile_width, width - np.arange(0, width, tile_width))
    return (sums / (heights[:, None, None] * widths[None, :, None])).astype(np.float32)
