"""Tissue in slides.

    from tqfslide.tissue import detect_tissue
    with tqfslide.open("slide.tqf") as slide:
        level = slide.get_best_level_for_downsample(32)
        mask, threshold = detect_tissue(slide.read_region((0, 0), level, slide.level_dimensions[level]))

The detector and the tile statistics work on NumPy arrays alone (see
tqfslide.tissue._detect for the rule); `tqf tissue-mask` runs them over
many slides on a dask.distributed cluster (tqfslide.tissue._cluster).
"""

from ._detect import DARK, THRESHOLD_BOUNDS, detect_tissue, otsu, saturation, tile_fractions, tile_means

__all__ = ["detect_tissue", "saturation", "otsu", "tile_fractions", "tile_means", "THRESHOLD_BOUNDS", "DARK"]
