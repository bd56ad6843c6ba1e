"""Slides for the tests of the OpenSlide-compatible libraries, and a way to
run commands through `tqf with-openslide` as a user would.

`slide` is a 40x .tqf slide made by tqf-convert; `slide_tiff` holds its very
pixels, level by level, as a tiled lossless TIFF that the system's OpenSlide
reads; `damaged` is the slide cut short, which the library opens in the
error state.
"""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from make_sample_image import build as tissue_image  # noqa: E402

TQF = os.environ["TQF_COMMAND"]
CHECK_DIR = os.environ["OPENSLIDE_CHECK_DIR"]
LIBRARY_DIR = os.environ["OPENSLIDE_LIBRARY_DIR"]


@pytest.fixture(scope="session")
def made(tmp_path_factory):
    return tmp_path_factory.mktemp("made")


@pytest.fixture(scope="session")
def slide(made):
    import tifffile

    source = made / "source.tif"
    tifffile.imwrite(source, tissue_image(3000, 2000, 3), photometric="rgb")
    path = made / "tissue.tqf"
    subprocess.run([os.environ["TQF_CONVERT"], "--quiet", "-m", "40", "--mpp", "0.25", str(source), str(path)],
                   check=True)
    source.unlink()
    return path


@pytest.fixture(scope="session")
def slide_tiff(slide, made):
    import tifffile
    import tqfslide

    path = made / "tissue.tiff"
    with tqfslide.open(slide) as s, tifffile.TiffWriter(path) as tiff:
        for level, size in enumerate(s.level_dimensions):
            tiff.write(s.read_region((0, 0), level, size), tile=(256, 256), photometric="rgb",
                       compression="zlib", subfiletype=1 if level else 0)
    return path


@pytest.fixture(scope="session")
def damaged(slide, made):
    path = made / "cut short.tqf"
    path.write_bytes(slide.read_bytes()[:3000])
    return path


def with_openslide(*command, **kwargs):
    """`tqf with-openslide COMMAND...`, its output captured as text."""
    kwargs.setdefault("timeout", 300)
    return subprocess.run([TQF, "with-openslide", *map(str, command)], capture_output=True, text=True, **kwargs)
