#!/usr/bin/python3
"""Writes a .tqf slide's levels as a tiled pyramidal TIFF that OpenSlide
reads (generic-tiff): 256-pixel YCbCr JPEG tiles, 4:2:0, of the given
quality (90), one TIFF directory per level of the slide, the same sizes.

    tiled_tiff.py SLIDE.tqf OUT.tiff [--quality 90]

For the benchmarks, where the converter has no --export-tiff: libvips 8.14
writes RGB (4:4:4) JPEG tiles, which cost OpenSlide more to decode than the
slide's own 4:2:0 tiles cost tqfslide. Tiles are encoded by Pillow
(libjpeg-turbo) and handed to tifffile already compressed.
"""
import argparse
import io
import os
import sys

import numpy as np
import tifffile
import tqfslide
from PIL import Image

TILE = 256


def tiles(slide, level, quality):
    width, height = slide.level_dimensions[level]
    downsample = slide.level_downsamples[level]
    for y in range(0, height, TILE):
        for x in range(0, width, TILE):
            pixels = slide.read_region((round(x * downsample), round(y * downsample)), level, (TILE, TILE))
            buffer = io.BytesIO()
            Image.fromarray(pixels).save(buffer, "JPEG", quality=quality, subsampling="4:2:0")
            yield buffer.getvalue()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("slide")
    parser.add_argument("output")
    parser.add_argument("--quality", type=int, default=90)
    args = parser.parse_args()
    # This tifffile encodes JPEG only through imagecodecs, which Debian does
    # not ship; the tiles come encoded, so the encoder is never called.
    tifffile.TIFF.COMPRESSORS._codecs.setdefault(7, lambda data, *rest, **options: data)
    part = args.output + ".part.tiff"
    with tqfslide.open(args.slide) as slide, tifffile.TiffWriter(part, bigtiff=True) as tiff:
        for level, (width, height) in enumerate(slide.level_dimensions):
            tiff.write(tiles(slide, level, args.quality), shape=(height, width, 3), dtype=np.uint8,
                       tile=(TILE, TILE), compression="jpeg", photometric="ycbcr", subsampling=(2, 2),
                       subfiletype=1 if level else 0)
    os.replace(part, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
