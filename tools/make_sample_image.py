#!/usr/bin/python3
"""Makes a large, realistic stained-tissue image for converter benchmarks.

The source is scikit-image's immunohistochemistry sample (512 x 512 RGB).
Patches of it, each flipped, rotated and cut at a random place, are laid in
a grid whose pitch (383 px) and random origin keep patch borders off the
256-pixel tile grid, so no tile repeats another and neighbours differ.

    make_sample_image.py OUTPUT WIDTH HEIGHT [SEED]

OUTPUT ends in .tif/.tiff (uncompressed, striped) or .png. The pixel array
is built once in memory (WIDTH x HEIGHT x 3 bytes: 1.2 GB for 20000^2).
"""
import argparse
import os
import sys

import numpy as np
from skimage import data

PATCH = 383  # patch pitch: shares no factor with the tile edge 256
MAX_SIDE = 100_000


def dihedral(patch, k):
    """One of the eight flips and quarter turns of a square patch."""
    turned = np.rot90(patch, k % 4)
    return turned[:, ::-1] if k >= 4 else turned


def build(width, height, seed):
    source = data.immunohistochemistry()  # RGB, uint8
    rng = np.random.default_rng(seed)
    spare = source.shape[0] - PATCH
    image = np.empty((height, width, 3), dtype=np.uint8)
    origin_x, origin_y = rng.integers(0, PATCH, size=2)
    for top in range(-int(origin_y), height, PATCH):
        for left in range(-int(origin_x), width, PATCH):
            ox, oy = rng.integers(0, spare + 1, size=2)
            patch = dihedral(source[oy:oy + PATCH, ox:ox + PATCH], int(rng.integers(0, 8)))
            y0, x0 = max(top, 0), max(left, 0)
            y1, x1 = min(top + PATCH, height), min(left + PATCH, width)
            image[y0:y1, x0:x1] = patch[y0 - top:y1 - top, x0 - left:x1 - left]
    return image


FORMATS = (".tif", ".tiff", ".png")


def save(image, path):
    """Writes RGB pixels; both formats store RGB, so colours stay true."""
    extension = os.path.splitext(path)[1].lower()
    if extension in (".tif", ".tiff"):
        import tifffile
        tifffile.imwrite(path, image, photometric="rgb", rowsperstrip=64)
    elif extension == ".png":
        from PIL import Image
        Image.fromarray(image, "RGB").save(path, compress_level=1)
    else:
        raise ValueError(f"'{path}': the output must end in .tif, .tiff or .png")


def side(text):
    value = int(text)
    if not 1 <= value <= MAX_SIDE:
        raise argparse.ArgumentTypeError(f"{value} is outside 1..{MAX_SIDE}")
    return value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="image to write (.tif, .tiff or .png)")
    parser.add_argument("width", type=side)
    parser.add_argument("height", type=side)
    parser.add_argument("seed", type=int, nargs="?", default=1)
    args = parser.parse_args()
    if os.path.splitext(args.output)[1].lower() not in FORMATS:
        parser.error(f"'{args.output}': the output must end in .tif, .tiff or .png")
    try:
        save(build(args.width, args.height, args.seed), args.output)
    except (ValueError, OSError) as error:
        sys.exit(f"make_sample_image.py: {error}")


if __name__ == "__main__":
    main()
