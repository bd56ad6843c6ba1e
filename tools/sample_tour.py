#!/usr/bin/python3
"""Reads a slide the way a user of the Python face would, and writes what it
read as PNG files: two regions at two magnifications, the preview and the
label.

    sample_tour.py SLIDE.tqf OUTPUT_DIR

Run with the build directory on PYTHONPATH (it holds _tqfReader and tqfReader).
"""
import os
import sys

import imageio

import tqfReader


def save_bgr(path, pixels, width, height):
    """Writes a flat blue-green-red pixel array as an RGB PNG."""
    image = pixels.reshape(height, width, 3)[:, :, ::-1]
    imageio.imwrite(path, image)
    print(f"  wrote {os.path.abspath(path)} ({width} x {height})")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    slide, out_dir = os.path.abspath(sys.argv[1]), sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    # The preview and label pass through scratch files in the working directory.
    os.chdir(out_dir)
    out_dir = "."

    reader = tqfReader.reader()
    if not reader.ReadInfo(slide):
        sys.exit(f"cannot open {slide}")
    scan = reader.getReadScale()
    width, height = reader.getWidth(), reader.getHeight()
    print(f"{slide}: {width} x {height} pixels at {scan}x")

    # A 1024-pixel square from the middle, at full resolution.
    side = min(1024, width, height)
    x, y = (width - side) // 2, (height - side) // 2
    save_bgr(os.path.join(out_dir, f"region_{scan}x.png"), reader.ReadRoi(x, y, side, side, scan), side, side)

    # The whole slide at a quarter of the scan magnification, read from the
    # pyramid level of that magnification. Coordinates and sizes count at
    # the requested scale; the slide was opened at the scan magnification,
    # so its bounds are the full-resolution ones.
    quarter = scan / 4
    reader.setReadScale(quarter)
    qw, qh = width // 4, height // 4
    save_bgr(os.path.join(out_dir, f"overview_{quarter:g}x.png"), reader.ReadRoi(0, 0, qw, qh, quarter), qw, qh)

    for name, (image_width, pixels) in (("preview", reader.ReadPreview()), ("label", reader.readLabelImage())):
        if image_width == 0:
            print(f"  the slide has no {name} image")
            continue
        save_bgr(os.path.join(out_dir, f"{name}.png"), pixels, image_width, pixels.size // (3 * image_width))


if __name__ == "__main__":
    main()
