#!/usr/bin/python3
"""One scenario of benchmarks/instruction_counts.sh, run under callgrind with
collection on inside the native function that serves it, so the count is
the core's work alone, whatever else the machine is doing.

    instruction_counts.py SCENARIO SLIDE

Scenarios read fixed places (fixed seed) on one thread with the tile cache
off, but for Deep Zoom tiles, which read with the cache as the viewer does.
"""

import random
import sys

import numpy as np

import tqfslide
import tqfReader
from tqfslide.deepzoom import DeepZoom

SCENARIOS = {
    # name: (native function callgrind counts in, reads)
    "read_region 256² level 0": ("tqfio::slide::read_region(*", 40),
    "read_region 1024² level 0": ("tqfio::slide::read_region(*", 4),
    "read_region 1024² level 2": ("tqfio::slide::read_region(*", 4),
    "read_region_at 512² downsample 3": ("tqfio::slide::read_region_at(*", 4),
    "Deep Zoom tiles, cache on": ("tqfio::core::encode_deep_zoom_tile(*", 40),
    "reader ReadRoi 1024² at the scan level": ("tqfio::reader::ReadRoi(*", 4),
}


def places(slide, level, size, count):
    rng = random.Random(7)
    width, height = slide.level_dimensions[level]
    scale = slide.level_downsamples[level]
    return [(int(rng.randrange(0, width - size) * scale), int(rng.randrange(0, height - size) * scale))
            for _ in range(count)]


def run(name, path):
    _, count = SCENARIOS[name]
    if name.startswith("reader"):
        reader = tqfReader.reader()
        reader.ReadInfo(path)
        rng = random.Random(7)
        for _ in range(count):
            reader.ReadRoi(rng.randrange(0, 15000), rng.randrange(0, 15000), 1024, 1024, 40)
        return
    cache = 64 << 20 if name.startswith("Deep Zoom") else 0
    with tqfslide.Slide(path, cache_size=cache, num_threads=1) as slide:
        if name.startswith("read_region_at"):
            for x, y in places(slide, 0, 1536, count):
                slide.read_region_at((x, y), (512, 512), downsample=3)
        elif name.startswith("read_region"):
            size = 256 if "256" in name else 1024
            level = int(name[-1])
            out = np.empty((size, size, 3), np.uint8)
            for x, y in places(slide, level, size, count):
                slide.read_region((x, y), level, (size, size), out=out)
        else:
            tiles = DeepZoom(slide)
            level = tiles.level_count - 1
            for column in range(count):
                tiles.get_tile_jpeg(level, (30 + column, 30))


if __name__ == "__main__":
    if sys.argv[1] == "--list":
        for name, (function, count) in SCENARIOS.items():
            print(f"{name}\t{function}\t{count}")
    else:
        run(sys.argv[1], sys.argv[2])
