"""Slides for the Python tests: one way to make them, used by every
conftest.py.

    from slides import make_slide, tissue_image
    path = make_slide(folder, "tissue", 3000, 2000)              # 40x stained tissue
    path = make_slide(folder, "glass", pixels=image, magnification=None)

Slides are made by tqf-convert ($TQF_CONVERT) from an RGB TIFF: by default
the stained-tissue image that tools/make_sample_image.py builds from
scikit-image's sample, whose patches never repeat a tile.

Put this folder on sys.path first (each conftest.py does).
"""
import os
import struct
import subprocess
import sys

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tools")
sys.path.insert(0, TOOLS)
from make_sample_image import build  # noqa: E402  (tools/ is not a package)


# Where the slide header keeps level 0's micrometres per pixel (a float).
RESOLUTION_OFFSET = 76


def tissue_image(width, height, seed=1):
    """A height x width x 3 uint8 RGB image of stained tissue."""
    return build(width, height, seed)


def make_slide(directory, name, width=None, height=None, *, magnification=40, seed=1, pixels=None, mpp=None):
    """directory/NAME.tqf made by tqf-convert from a width x height tissue
    image (or from `pixels`, an RGB array), at `magnification` (None: the
    converter's default) and `mpp` microns per pixel (None: the converter's
    nominal 10 / magnification; 0: none recorded, as a slide whose scanner
    measured none holds it).
    Returns its path (a pathlib.Path when `directory` is one)."""
    import tifffile

    if pixels is None:
        pixels = tissue_image(width, height, seed)
    image = directory / f"{name}-source.tif"
    tifffile.imwrite(image, pixels, photometric="rgb")
    slide = directory / f"{name}.tqf"
    command = [os.environ["TQF_CONVERT"], str(image), str(slide)]
    if magnification is not None:
        command[1:1] = ["-m", str(magnification)]
    if mpp:
        command[1:1] = ["--mpp", str(mpp)]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    image.unlink()
    if mpp == 0:
        with open(slide, "r+b") as stream:
            stream.seek(RESOLUTION_OFFSET)
            stream.write(struct.pack("<f", 0.0))
    return slide


def write_level_tiff(slide_path, tiff_path):
    """The slide's own levels as a tiled, losslessly compressed pyramidal
    TIFF: OpenSlide reads from it exactly the pixels the slide holds."""
    import tifffile
    import tqfslide

    with tqfslide.open(slide_path) as slide, tifffile.TiffWriter(tiff_path) as tiff:
        for level, size in enumerate(slide.level_dimensions):
            pixels = slide.read_region((0, 0), level, size)
            tiff.write(pixels, tile=(256, 256), photometric="rgb", compression="zlib",
                       subfiletype=1 if level else 0)
    return tiff_path
