#!/usr/bin/python3
"""A tour of tqfslide on a slide: prints its levels and properties, and
writes a thumbnail and a contact sheet of 256-pixel patches cut over its
tissue (tqfslide.tissue.patch_grid) with read_regions, as PNG files.

    slide_tour.py SLIDE.tqf OUTPUT_DIR

Run with the build directory on PYTHONPATH (it holds the tqfslide package).
"""
import os
import sys
import time

import imageio
import numpy as np

import tqfslide
from tqfslide.tissue import patch_grid

PATCH = 256
SHEET_COLUMNS = 8
SHEET_PATCHES = 64


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    path, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    with tqfslide.open(path) as slide:
        print(repr(slide))
        mpp = f"{slide.mpp[0]:g} µm per pixel" if slide.mpp else "no resolution recorded"
        print(f"  scan magnification {slide.magnification:g}x, {mpp}")
        for level, (size, downsample, magnification) in enumerate(
                zip(slide.level_dimensions, slide.level_downsamples, slide.level_magnifications)):
            print(f"  level {level}: {size[0]:>6} x {size[1]:<6} downsample {downsample:>4g}  {magnification:g}x")
        for key in ("openslide.vendor", "openslide.objective-power", "openslide.mpp-x", "tqf.compressType",
                    "tqf.scanTime"):
            if key in slide.properties:
                print(f"  {key} = {slide.properties[key]}")
        print(f"  associated images: {', '.join(slide.associated_images) or 'none'}")

        thumbnail = slide.get_thumbnail((1024, 1024))
        thumbnail_path = os.path.join(out_dir, "thumbnail.png")
        imageio.imwrite(thumbnail_path, thumbnail)
        print(f"  wrote {os.path.abspath(thumbnail_path)} ({thumbnail.shape[1]} x {thumbnail.shape[0]})")

        level = 0
        locations = patch_grid(slide, PATCH, level=level, min_tissue=0.5)
        print(f"  {len(locations)} patches of {PATCH} x {PATCH} at level {level} are mostly tissue")
        chosen = locations[:: max(1, len(locations) // SHEET_PATCHES)][:SHEET_PATCHES]
        start = time.perf_counter()
        patches = list(slide.read_regions(chosen, level, (PATCH, PATCH), num_workers=2))
        seconds = time.perf_counter() - start
        rows = -(-len(patches) // SHEET_COLUMNS)
        sheet = np.full((rows * PATCH, SHEET_COLUMNS * PATCH, 3), 255, np.uint8)
        for i, patch in enumerate(patches):
            r, c = divmod(i, SHEET_COLUMNS)
            sheet[r * PATCH:(r + 1) * PATCH, c * PATCH:(c + 1) * PATCH] = patch
        sheet_path = os.path.join(out_dir, "patches.png")
        imageio.imwrite(sheet_path, sheet)
        print(f"  wrote {os.path.abspath(sheet_path)}: {len(patches)} tissue patches read by read_regions "
              f"in {1000 * seconds:.0f} ms")


if __name__ == "__main__":
    main()
