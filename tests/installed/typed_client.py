"""A user's script as a type checker sees it (mypy --strict, not run): the
types tqfslide's annotations and stubs give."""
from typing import assert_type

import numpy as np
import numpy.typing as npt

import tqfReader
import tqfslide
from tqfslide.deepzoom import DeepZoom

with tqfslide.open("scan.tqf") as slide:
    assert_type(slide, tqfslide.Slide)
    assert_type(slide.read_region((0, 0), 0, (256, 256)), npt.NDArray[np.uint8])
    assert_type(slide.read_region_at((0, 0), (64, 64), downsample=4.0), npt.NDArray[np.uint8])
    assert_type(slide.get_thumbnail((512, 512)), npt.NDArray[np.uint8])
    assert_type(slide.associated_images["label"], npt.NDArray[np.uint8])
    assert_type(slide.dimensions, tuple[int, int])
    assert_type(slide.level_downsamples, tuple[float, ...])
    assert_type(slide.properties["openslide.mpp-x"], str)
    for patch in slide.read_regions([(0, 0), (256, 0)], 0, (256, 256)):
        assert_type(patch, npt.NDArray[np.uint8])
    tiles = DeepZoom(slide)
    assert_type(tiles.get_tile_jpeg(0, (0, 0)), bytes)
    assert_type(tiles.get_dzi(), str)

reader = tqfReader.reader()
assert_type(reader.ReadInfo("scan.tqf", 10), bool)
assert_type(reader.ReadRoi(0, 0, 16, 16, 10), npt.NDArray[np.uint8])
assert_type(tqfslide.__version__, str)
