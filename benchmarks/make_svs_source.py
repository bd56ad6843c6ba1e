#!/usr/bin/python3
"""Makes a large Aperio-like SVS for the converter benchmark.

    make_svs_source.py OUTPUT WIDTH HEIGHT [MAGNIFICATION MPP]

The pixels are stained tissue: patches of scikit-image's
immunohistochemistry sample, flipped, turned and cut at random, laid in a
383-pixel grid (as tools/make_sample_image.py does), but made one band at a
time, so the image never has to fit in memory. The file is laid out as
Aperio's scanners write it: the full level as 256-pixel JPEG tiles (quality
90) with "AppMag", "MPP", "Date" and "Time" in its description, a stripped
thumbnail, levels reduced 4 and 16 times, then a label and a macro image.
The tiled levels' streams are abbreviated, their quantisation and Huffman
tables shared in the page's JPEGTables, as Aperio writes them. OpenSlide
reads it as an "aperio" slide.
"""
import argparse
import io
import struct
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


def abbreviate(stream):
    """A JFIF stream split into its tables (SOI, DQT and DHT segments, EOI)
    and the rest (SOI, frame and scan), as TIFF's JPEGTables share them."""
    tables, rest, at = b"", b"", 2
    while stream[at + 1] != 0xDA:
        length = struct.unpack(">H", stream[at + 2:at + 4])[0]
        segment = stream[at:at + 2 + length]
        if stream[at + 1] in (0xDB, 0xC4):
            tables += segment
        elif stream[at + 1] != 0xE0:  # the JFIF marker goes: TIFF's photometric tag says YCbCr
            rest += segment
        at += 2 + length
    return b"\xff\xd8" + tables + b"\xff\xd9", b"\xff\xd8" + rest + stream[at:]


def jpeg_tables():
    """The tables every tile at QUALITY shares (Pillow's standard Huffman tables)."""
    return abbreviate(jpeg(np.zeros((16, 16, 3), np.uint8)))[0]


def level_tiles(tissue, width, height, factor):
    """Abbreviated tiles of the level reduced `factor` times, made band by band."""
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
            yield abbreviate(jpeg(tile))[1]


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
    tiled = dict(common, tile=(TILE, TILE), jpegtables=jpeg_tables())
    with tifffile.TiffWriter(args.output, bigtiff=True) as writer:
        description = (f"{head}\r\n{width}x{height} [0,0 {width}x{height}] ({TILE}x{TILE}) JPEG/RGB Q={QUALITY}"
                       f"|AppMag = {args.magnification}|MPP = {args.mpp}|Date = 03/14/24|Time = 09:26:53"
                       f"|Time Zone = GMT+01:00")
        writer.write(level_tiles(tissue, width, height, 1), shape=(height, width, 3), description=description,
                     **tiled)
        thumbnail = reduce(tissue.rows(0, min(height, 4096)), 32)
        writer.write(iter([jpeg(thumbnail)]), shape=thumbnail.shape, rowsperstrip=thumbnail.shape[0],
                     description=f"{head}\r\n{width}x{height} -> thumbnail", **common)
        for factor in (4, 16):
            shape = (-(-height // factor), -(-width // factor), 3)
            writer.write(level_tiles(tissue, width, height, factor), shape=shape, subfiletype=1,
                         description=f"{head}\r\n{width}x{height} -> {shape[1]}x{shape[0]}", **tiled)
        label = np.full((400, 400, 3), 240, np.uint8)
        label[40:360, 40:360] = tissue.rows(0, 320)[:, :320]
        macro = reduce(tissue.rows(0, min(height, 6400)), 16)[:, :1600]
        for image, name, kind in ((label, "label", 1), (macro, "macro", 9)):
            writer.write(iter([jpeg(np.ascontiguousarray(image))]), shape=image.shape, rowsperstrip=image.shape[0],
                         subfiletype=kind, description=f"{head}\n{name} {image.shape[1]}x{image.shape[0]}", **common)


if __name__ == "__main__":
    sys.exit(main())
