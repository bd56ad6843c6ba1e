"""An unmodified openslide-python client, run by the tests through
`tqf with-openslide`: opens a .tqf slide and a TIFF in one process, reads
what openslide-python offers and answers, and saves it all for the test to
compare with tqfslide.

    python_client.py SLIDE.tqf SAME.tiff DAMAGED.tqf OUT.npz
"""
import json
import sys

import numpy as np
import openslide
from openslide.deepzoom import DeepZoomGenerator

# (location, level, size): inside, across the edges, outside, at every level.
REGIONS = [
    ((0, 0), 0, (300, 200)),
    ((2900, 1900), 0, (300, 250)),
    ((-50, -40), 0, (120, 90)),
    ((1000, 500), 1, (400, 300)),
    ((2000, 1500), 2, (300, 200)),
    ((0, 0), 3, (375, 250)),
    ((16, 16), 4, (200, 200)),
    ((5000, 5000), 2, (16, 16)),
]
TILES = [(12, (0, 0)), (12, (5, 3)), (11, (2, 1)), (9, (0, 0))]


def errors(slide_path, damaged_path):
    """What openslide-python raises, by case: (class name, message)."""
    cases = {
        "damaged": lambda: openslide.OpenSlide(damaged_path),
        "missing": lambda: openslide.OpenSlide(slide_path + ".missing.tqf"),
        "negative size": lambda: openslide.OpenSlide(slide_path).read_region((0, 0), 0, (-1, 4)),
    }
    raised = {}
    for name, case in cases.items():
        try:
            case()
            raised[name] = None
        except openslide.OpenSlideError as e:
            raised[name] = [type(e).__name__, str(e)]
    # The error latches: the slide answers every later call with it.
    slide = openslide.lowlevel.open(slide_path)
    try:
        openslide.lowlevel.read_region(slide, 0, 0, 0, 10, 10)
        openslide.lowlevel._read_region(slide, None, 0, 0, 0, -3, 2)
    except openslide.OpenSlideError as e:
        raised["latched"] = str(e)
    try:
        openslide.lowlevel.get_level_count(slide)
    except openslide.OpenSlideError as e:
        raised["after"] = str(e)
    return raised


def main(slide_path, tiff_path, damaged_path, out):
    slide, tiff = openslide.OpenSlide(slide_path), openslide.OpenSlide(tiff_path)
    arrays = {}
    for i, (location, level, size) in enumerate(REGIONS):
        arrays[f"region{i}"] = np.asarray(slide.read_region(location, level, size))
        if level <= 2:
            arrays[f"tiff{i}"] = np.asarray(tiff.read_region(location, level, size))
    for name, image in slide.associated_images.items():
        arrays[f"associated_{name}"] = np.asarray(image)
    arrays["thumbnail"] = np.asarray(slide.get_thumbnail((300, 300)))
    tiles = DeepZoomGenerator(slide, tile_size=254, overlap=1)
    for level, address in TILES:
        arrays[f"tile_{level}_{address[0]}_{address[1]}"] = np.asarray(tiles.get_tile(level, address))
    slide.set_cache(openslide.OpenSlideCache(8 << 20))
    facts = {
        "library_version": openslide.__library_version__,
        "detect_format": [openslide.OpenSlide.detect_format(slide_path), openslide.OpenSlide.detect_format(tiff_path)],
        "tiff_vendor": tiff.properties[openslide.PROPERTY_NAME_VENDOR],
        "properties": dict(slide.properties),
        "level_dimensions": slide.level_dimensions,
        "level_downsamples": slide.level_downsamples,
        "best_levels": [slide.get_best_level_for_downsample(d) for d in (0.5, 1, 3, 4, 100)],
        "dzi": tiles.get_dzi("png"),
        "errors": errors(slide_path, damaged_path),
    }
    np.savez(out, facts=np.array(json.dumps(facts)), **arrays)


if __name__ == "__main__":
    main(*sys.argv[1:])
