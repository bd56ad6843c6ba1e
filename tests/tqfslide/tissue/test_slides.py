"""tissue_mask and patch_grid on slides: stain on glass with a pale hole
inside and a speck of dust beside it."""
import numpy as np
import pytest

import tqfslide
from slides import make_slide
from tqfslide.tissue import patch_grid, tissue_mask

WIDTH, HEIGHT = 3072, 2048
TISSUE = (1024, 512, 2560, 1536)  # left, top, right, bottom
HOLE = (1536, 768, 1792, 1024)    # white, inside the tissue
SPECK = (256, 1792, 352, 1888)    # stain, far from the tissue: 96 x 96 pixels
STAIN = (170, 90, 160)


def paint(image, box, colour):
    left, top, right, bottom = box
    image[top:bottom, left:right] = colour


@pytest.fixture(scope="module")
def glass(tmp_path_factory):
    image = np.full((HEIGHT, WIDTH, 3), 255, np.uint8)
    paint(image, TISSUE, STAIN)
    paint(image, HOLE, 255)
    paint(image, SPECK, STAIN)
    folder = tmp_path_factory.mktemp("glass")
    return {"measured": make_slide(folder, "glass", pixels=image, mpp=0.25),
            "nominal": make_slide(folder, "nominal", pixels=image, mpp=0)}


def box_of(mask, box, downsample):
    left, top, right, bottom = (int(v / downsample) for v in box)
    return mask[top:bottom, left:right]


def test_mask_fills_holes_and_drops_specks(glass):
    with tqfslide.open(glass["measured"]) as slide:
        level = slide.get_best_level_for_downsample(32)
        downsample = slide.level_downsamples[level]
        mask = tissue_mask(slide)
        raw = tissue_mask(slide, fill_holes=False, min_area=0)
        assert mask.dtype == bool and mask.shape == slide.level_dimensions[level][::-1]
    assert box_of(mask, TISSUE, downsample).all()
    outside = mask.copy()
    left, top, right, bottom = (int(v / downsample) for v in TISSUE)
    outside[top - 1:bottom + 1, left - 1:right + 1] = False
    assert not outside.any()
    # Without the cleaning the hole and the speck are there.
    assert not box_of(raw, HOLE, downsample)[1:-1, 1:-1].any()
    assert box_of(raw, SPECK, downsample)[1:-1, 1:-1].all()


@pytest.mark.parametrize("options, shape, downsample", [
    ({"level": 1}, (1024, 1536), 2),
    ({"mpp": 2.0}, (256, 384), 8),    # a level's resolution
    ({"mpp": 3.0}, (171, 256), 12),   # none: ceil(2048 / 12) x ceil(3072 / 12)
])
def test_mask_resolution(glass, options, shape, downsample):
    mask = tissue_mask(str(glass["measured"]), **options)  # a path opens the slide
    assert mask.shape == shape
    assert box_of(mask, TISSUE, downsample)[1:-1, 1:-1].all()
    assert mask.sum() < (box_of(mask, TISSUE, downsample).size + 2 * sum(shape)) * 1.01


def grid_points(xs, ys):
    return [(x, y) for y in ys for x in xs]


@pytest.mark.parametrize("size, options, expected", [
    # Tile-aligned patches of level 0 inside the tissue, row by row.
    (256, {}, grid_points(range(1024, 2560, 256), range(512, 1536, 256))),
    # 256 pixels at 0.5 microns per pixel cover 512 of the 0.25 of level 0.
    (256, {"mpp": 0.5}, grid_points(range(1024, 2560, 512), range(512, 1536, 512))),
    ((128, 64), {"level": 3}, grid_points(range(1024, 2560, 1024), range(512, 1536, 512))),
    # Overlapping patches; half-covered ones count at min_tissue 0.5.
    (256, {"stride": 128, "min_tissue": 1.0}, grid_points(range(1024, 2305, 128), range(512, 1281, 128))),
    (256, {"stride": 128}, [(x, y) for x, y in grid_points(range(896, 2433, 128), range(384, 1409, 128))
                            if (x, y) not in [(896, 384), (2432, 384), (896, 1408), (2432, 1408)]]),
    # Every patch that fits in the slide.
    (1000, {"min_tissue": 0}, grid_points([0, 1000, 2000], [0, 1000])),
    (4000, {"min_tissue": 0}, []),
])
def test_patch_grid(glass, size, options, expected):
    with tqfslide.open(glass["measured"]) as slide:
        locations = patch_grid(slide, size, **options)
    assert locations.dtype == np.int64 and locations.shape == (len(expected), 2)
    assert [tuple(p) for p in locations.tolist()] == expected


def test_reading_by_microns_needs_a_measured_resolution(glass):
    with tqfslide.open(glass["nominal"]) as slide:
        with pytest.raises(tqfslide.NoResolutionError, match="no measured resolution.*allow_nominal_mpp"):
            patch_grid(slide, 256, mpp=0.5)
        with pytest.raises(tqfslide.NoResolutionError):
            tissue_mask(slide, mpp=8)
        nominal = patch_grid(slide, 256, mpp=0.5, allow_nominal_mpp=True)  # 10 / 40x = 0.25
    assert nominal.tolist() == patch_grid(glass["measured"], 256, mpp=0.5).tolist()


@pytest.mark.parametrize("call, error", [
    (lambda s: patch_grid(s, 0), ValueError),
    (lambda s: patch_grid(s, 256.0), TypeError),
    (lambda s: patch_grid(s, 256, min_tissue=1.5), ValueError),
    (lambda s: patch_grid(s, 256, level=9), ValueError),
    (lambda s: patch_grid(s, 256, level=0, mpp=0.5), TypeError),
    (lambda s: tissue_mask(s, threshold=2), ValueError),
    (lambda s: tissue_mask(s, min_area=-1), ValueError),
])
def test_bad_arguments(glass, call, error):
    with tqfslide.open(glass["measured"]) as slide, pytest.raises(error):
        call(slide)
