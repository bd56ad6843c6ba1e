"""Tissue in slides.

    from tqfslide.tissue import tissue_mask, patch_grid
    with tqfslide.open("slide.tqf") as slide:
        mask = tissue_mask(slide)                                     # bool, at 1/32 of full resolution
        locations = patch_grid(slide, 256, mpp=0.5, min_tissue=0.5)   # (N, 2) level-0 x, y
        for patch in slide.read_regions(locations, size=(256, 256), mpp=0.5):
            ...

tissue_mask and patch_grid work on slides (tqfslide.tissue._slides); the
detector, the mask's cleaning and the tile statistics on NumPy arrays alone
(tqfslide.tissue._detect, where the rule is described); `tqf tissue-mask`
and `tqf patches` run them over many slides on a dask.distributed cluster.
"""

from ._detect import (DARK, THRESHOLD_BOUNDS, clean_mask, detect_tissue, otsu, saturation, tile_fractions,
                      tile_means)
from ._slides import MASK_DOWNSAMPLE, MIN_AREA, patch_grid, tissue_mask

__all__ = ["tissue_mask", "patch_grid", "detect_tissue", "clean_mask", "saturation", "otsu", "tile_fractions",
           "tile_means", "THRESHOLD_BOUNDS", "DARK", "MASK_DOWNSAMPLE", "MIN_AREA"]
