"""The tissue detector and the tile statistics, on small arrays."""
import numpy as np
import pytest

from tqfslide.tissue import clean_mask, detect_tissue, tile_fractions, tile_means


@pytest.mark.parametrize("pixels, tissue_share, threshold", [
    ([(255, 255, 255), (250, 246, 252)], 0.0, 20),  # glass alone: the floor keeps it background
    ([(6, 2, 4), (20, 12, 16)], 0.0, 20),           # black ink and dust are no tissue
    ([(200, 220, 230), (150, 90, 140)], 0.5, 34),   # tinted glass (saturation 33) and stain: Otsu splits them
    ([(160, 120, 150), (140, 60, 120)], 1.0, 50),   # all tissue (63 and 145): the cap keeps light stain in
])
def test_detector(pixels, tissue_share, threshold):
    image = np.array(pixels, np.uint8).reshape(1, 2, 3).repeat(10, axis=0)
    mask, used = detect_tissue(image)
    assert (mask.mean(), used) == (tissue_share, threshold)


@pytest.mark.parametrize("threshold, level, tissue", [
    (0.5, 128, [False, False]),
    (0.3, 77, [False, True]),
    (0.01, 3, [True, True]),
])
def test_a_given_threshold_replaces_otsu(threshold, level, tissue):
    # Saturations 33 (tinted glass) and 102 (stain).
    image = np.array([(200, 220, 230), (150, 90, 140)], np.uint8).reshape(1, 2, 3)
    mask, used = detect_tissue(image, threshold)
    assert used == level and mask.tolist() == [tissue]


@pytest.mark.parametrize("size, tile, downsample", [
    ((10, 7), (4, 4), 1.0),   # tiles cut by both edges
    ((20, 14), (4, 4), 2.0),  # a mask of a coarser level
    ((9, 9), (3, 3), 3.0),    # one mask pixel a tile
])
def test_tile_fractions_and_means_match_a_plain_count(size, tile, downsample):
    rng = np.random.default_rng(sum(size))
    (width, height), (tile_width, tile_height) = size, tile
    mask = rng.random((round(height / downsample), round(width / downsample))) < 0.4
    fractions = tile_fractions(mask, downsample, size, tile)
    block = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    means = tile_means(block, tile_height, tile_width)
    rows, columns = -(-height // tile_height), -(-width // tile_width)
    assert fractions.shape == (rows, columns) and means.shape == (rows, columns, 3)
    for row in range(rows):
        for column in range(columns):
            y, x = row * tile_height, column * tile_width
            covered = mask[int(y // downsample):-(-min(y + tile_height, height) // int(downsample)),
                           int(x // downsample):-(-min(x + tile_width, width) // int(downsample))]
            assert fractions[row, column] == pytest.approx(covered.mean(), abs=1e-6)
            pixels = block[y:y + tile_height, x:x + tile_width].reshape(-1, 3)
            assert means[row, column] == pytest.approx(pixels.mean(axis=0), abs=1e-3)


def grid(text):
    """A bool mask from rows of '#' (tissue) and '.' (background)."""
    return np.array([[c == "#" for c in row] for row in text.split()], bool)


@pytest.mark.parametrize("before, options, after", [
    # A hole inside tissue is filled; one open to the border is not.
    ("##### #...# #...# #####", {}, "##### ##### ##### #####"),
    ("##### #...# #.... #####", {}, "##### #...# #.... #####"),
    # A diagonal line of tissue encloses what lies inside it.
    ("..#.. .#.#. ..#.. .....", {}, "..#.. .###. ..#.. ....."),
    # Holes up to a size, or none.
    ("###### #.##.# #.##.# ######", {"fill_holes": 2}, "###### ###### ###### ######"),
    ("####### #..#..# #..#.## #######", {"fill_holes": 3}, "####### #..#### #..#### #######"),
    ("##### #...# #...# #####", {"fill_holes": False}, "##### #...# #...# #####"),
    # Specks under min_area go; a ring counts with what it encloses.
    ("#.... ..... ...## ...##", {"min_area": 2}, "..... ..... ...## ...##"),
    ("###.. #.#.. ###.. .....", {"min_area": 9}, "###.. ###.. ###.. ....."),
    ("###.. #.#.. ###.. .....", {"min_area": 10}, "..... ..... ..... ....."),
])
def test_clean_mask(before, options, after):
    mask = grid(before)
    cleaned = clean_mask(mask, **options)
    assert cleaned.tolist() == grid(after).tolist()
    assert mask.tolist() == grid(before).tolist()  # the input is left alone


def test_clean_mask_of_nothing():
    assert clean_mask(np.zeros((0, 4), bool), min_area=5).shape == (0, 4)
    assert not clean_mask(np.zeros((3, 3), bool), min_area=5).any()
    with pytest.raises(ValueError, match="2-D"):
        clean_mask(np.zeros(4, bool))
