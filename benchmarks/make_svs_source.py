#!/usr/bin/python3
"""Makes a large Aperio-like SVS for the converter benchmark.

    make_svs_source.py OUTPUT WIDTH HEIGHT [MAGNIFICATION MPP]

The pixels are stained tissue: patches of scikit-image's
immunohistochemistry sample, flipped, turned and cut at random, laid in a
383-pixel grid (as tools/make_sample_image.py does), but made one band at a
time, so the image never has to fit in memory. The file is laid out as
Aperio's scanners write it: the full level as 256-pixel JPEG tiles (quality
90) with "AppMag" and "MPP" in its description, a stripped thumbnail, levels
reduced 4 and 16 times, then a label and a macro image. OpenSlide reads it
as an "aperio" slide.
"""
import argparse
import io
import sys

import numpy as np
import tifffile
from PIL import Image
from skimage import data

TILE = 256
PATCH = 383
QUALITY = 90


def _refuse_encoding(*args, **kwargs):
    raise NotImplementedError("tiles are handed to tifffile encoded")


# tifffile looks up a JPEG encoder before it sees encoded tiles; without
# imagecodecs it has none, so it gets one that is never called.
tifffile.TIFF.COMPRESSORS._codecs.setdefault(7, _refuse_encoding)


class Tissue:
    """Rows of an endless tissue image, the same whatever band is asked for."""

    def __init__(self, width, seed=7):
        self.source = data.immunohistochemistry()
        self.width = width
        self.seed = seed

    def patch(self, row, column):
        rng = np.random.default_rng((self.seed, row, column))
        oy, ox = rng.integers(0, self.source.shape[0] - PATCH + 1, size=2)
        piece = self.source[oy:oy + PATCH, ox:ox + PATCH]
        turn = int(rng.integers(0, 8))
        piece = np.rot90(piece, turn % 4)
        return piece[:, ::-1] if turn >= 4 else piece

    def rows(self, top, count):
        band = np.empty((count, self.width, 3), np.uint8)
        for prow in range(top // PATCH, (top + count - 1) // PATCH + 1):
            y0 = max(top, prow * PATCH)
            y1 = min(top + count, (prow + 1) * PATCH)
            for pcol in range((self.width + PATCH - 1) // PATCH):
                x0, x1 = pcol * PATCH, min(self.width, (pcol + 1) * PATCH)
                piece = self.patch(prow, pcol)
                band[y0 - top:y1 - top, x0:x1] = piece[y0 - prow * PATCH:y1 - prow * PATCH, :x1 - x0]
        return band


def reduce(band, factor):
    """Means of factor x factor blocks, the band's sides multiples of factor
    or padded by repeating the edge."""
    h, w = band.shape[:2]
    ph, pw = -h % factor, -w % factor
    band = np.pad(band, ((0, ph), (0, pw), (0, 0)), mode="edge").astype(np.uint16)
    return (band.reshape((h + ph) // factor, factor, (w + pw) // factor, factor, 3).mean(axis=(1, 3)) + 0.5).astype(
        np.uint8)


def jpeg(pixels):
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "JPEG", quality=QUALITY, subsampling=2)
    return out.getvalue()


def level_tiles(tissue, width, height, factor):
    """Tiles of the level reduced `factor` times, made band by band."""
    level_width, level_height = -(-width // factor), -(-height // factor)
    for top in range(0, level_height, TILE):
        rows = min(TILE, level_height - top)
        band = tissue.rows(top * factor, min(rows * factor, height - top * factor))
        band = reduce(band, factor) if factor > 1 else band
        band = band[:, :level_width]
        for left in range(0, level_width, TILE):
            tile = np.full((TILE, TILE, 3), 255, np.uint8)
            part = band[:, left:left + TILE]
            tile[:part.shape[0], :part.shape[1]] = part
            yield jpeg(tile)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("width", type=int)
    parser.add_argument("height", type=int)
    parser.add_argument("magnification", type=int, nargs="?", default=20)
    parser.add_argument("mpp", type=float, nargs="?", default=0.5)
    args = parser.parse_args()
    width, height = args.width, args.height
    tissue = Tissue(width)
    head = "Aperio Image Library v12.0.15"
    common = dict(dtype=np.uint8, photometric="ycbcr", compression="jpeg", subsampling=(2, 2), metadata=None)
    with tifffile.TiffWriter(args.output, bigtiff=True) as writer:
        description = (f"{head}\r\n{width}x{height} [0,0 {width}x{height}] ({TILE}x{TILE}) JPEG/RGB Q={QUALITY}"
                       f"|AppMag = {args.magnification}|MPP = {args.mpp}")
        writer.write(level_tiles(tissue, width, height, 1), shape=(height, width, 3), tile=(TILE, TILE),
                     description=description, **common)
        thumbnail = reduce(tissue.rows(0, min(height, 4096)), 32)
        writer.write(iter([jpeg(thumbnail)]), shape=thumbnail.shape, rowsperstrip=thumbnail.shape[0],
                     description=f"{head}\r\n{width}x{height} -> thumbnail", **common)
        for factor in (4, 16):
            shape = (-(-height // factor), -(-width // factor), 3)
            writer.write(level_tiles(tissue, width, height, factor), shape=shape, tile=(TILE, TILE),
                         subfiletype=1, description=f"{head}\r\n{width}x{height} -> {shape[1]}x{shape[0]}", **common)
        label = np.full((400, 400, 3), 240, np.uint8)
        label[40:360, 40:360] = tissue.rows(0, 320)[:, :320]
        macro = reduce(tissue.rows(0, min(height, 6400)), 16)[:, :1600]
        for image, name, kind in ((label, "label", 1), (macro, "macro", 9)):
            writer.write(iter([jpeg(np.ascontiguousarray(image))]), shape=image.shape, rowsperstrip=image.shape[0],
                         subfiletype=kind, description=f"{head}\n{name} {image.shape[1]}x{image.shape[0]}", **common)


if __name__ == "__main__":
    sys.exit(main())
