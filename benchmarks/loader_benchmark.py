#!/usr/bin/python3
"""Patches per second of the ways to feed a training loop from a cohort of
slides, on the same tile-aligned 256-pixel patches of level 0:

    read_regions     Slide.read_regions(..., num_workers=2, batch_size=64),
                     slide after slide (the reference)
    item by item     DataLoader(PatchDataset(items), batch_size=64,
                     num_workers=2, shuffle=True), one patch per call
    worker batches   the same DataLoader; each worker reads a whole batch in
                     one call (PatchDataset.__getitems__), which the loader
                     then copies into shared memory (its collation)
    batch sampler    DataLoader(dataset, sampler=dataset.batch_sampler(64,
                     shuffle=True), batch_size=None, num_workers=2): each
                     worker reads its batch straight into shared memory
    native threads   DataLoader(PatchDataset(items, batch_size=64,
                     num_threads=2, shuffle=True), batch_size=None,
                     num_workers=0)

each with the tile cache on (64 MiB a slide) and off. The cohort is SLIDES
names (symbolic links) of one slide, so that every method reads the same
tiles from the page cache. Each figure is the best of --repeat passes over
all the patches; the ratios to read_regions come from the same run.

    benchmarks/loader_benchmark.sh [--patches N] [--slides K] [--repeat R]
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import torch
from torch.utils.data import DataLoader

import tqfslide
from tqfslide.torch import PatchDataset

SIZE = 256
BATCH = 64


class ItemByItem(PatchDataset):
    """PatchDataset as it was: DataLoader reads its batches a patch at a time."""
    __getitems__ = None


def consume(batch):
    # What a training step needs at the least: the pixels are there.
    patches = batch[0] if isinstance(batch, (tuple, list)) else batch
    return int(patches[:, 0, 0, 0].sum()) if patches.ndim == 4 else 0


def timed(run, patches, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        count = run()
        best = min(best, time.perf_counter() - start)
        assert count == patches, (count, patches)
    return patches / best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("slide")
    parser.add_argument("--patches", type=int, default=4096)
    parser.add_argument("--slides", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()

    torch.set_num_threads(1)
    with tqfslide.open(args.slide) as slide:
        width, height = slide.dimensions
    columns, rows = width // SIZE, height // SIZE
    rng = np.random.default_rng(7)
    cells = rng.choice(columns * rows, size=min(args.patches, columns * rows), replace=False)
    locations = np.stack([cells % columns * SIZE, cells // columns * SIZE], axis=1).astype(np.int64)
    folder = tempfile.mkdtemp(prefix="tqf-loader-benchmark-")
    paths = []
    for number in range(args.slides):
        paths.append(os.path.join(folder, f"slide{number}.tqf"))
        os.symlink(os.path.abspath(args.slide), paths[-1])
    parts = np.array_split(locations, args.slides)
    items = [(path, part, number % 2) for number, (path, part) in enumerate(zip(paths, parts))]
    total = len(locations)
    print(f"{total} tile-aligned {SIZE} x {SIZE} patches of level 0 of {args.slide} ({width} x {height}), "
          f"over {args.slides} slides, batches of {BATCH}, best of {args.repeat}; {os.cpu_count()} cores")

    def read_regions(cache):
        def run():
            count = 0
            for path, part, _ in items:
                with tqfslide.Slide(path, cache_size=cache) as slide:
                    for batch in slide.read_regions(part, 0, (SIZE, SIZE), num_workers=2, batch_size=BATCH):
                        count += len(batch)
            return count
        return run

    def loader(dataset_type, cache):
        def run():
            dataset = dataset_type(items, level=0, size=(SIZE, SIZE), cache_size=cache)
            count = 0
            for batch in DataLoader(dataset, batch_size=BATCH, num_workers=2, shuffle=True):
                consume(batch)
                count += len(batch[0])
            return count
        return run

    def sampled(cache):
        def run():
            dataset = PatchDataset(items, level=0, size=(SIZE, SIZE), cache_size=cache)
            count = 0
            for batch in DataLoader(dataset, sampler=dataset.batch_sampler(BATCH, shuffle=True), batch_size=None,
                                    num_workers=2):
                consume(batch)
                count += len(batch[0])
            return count
        return run

    def native(cache):
        def run():
            dataset = PatchDataset(items, level=0, size=(SIZE, SIZE), cache_size=cache, batch_size=BATCH,
                                   num_threads=2, shuffle=True)
            count = 0
            for batch in DataLoader(dataset, batch_size=None, num_workers=0):
                consume(batch)
                count += len(batch[0])
            return count
        return run

    methods = [("read_regions(num_workers=2)", read_regions), ("item by item, 2 workers",
                                                                lambda c: loader(ItemByItem, c)),
               ("worker batches (__getitems__), 2 workers", lambda c: loader(PatchDataset, c)),
               ("batch sampler, 2 workers", sampled),
               ("native threads, num_threads=2", native)]
    print(f"{'method':44} {'cache':>6} {'patches/s':>10} {'x read_regions':>15}")
    for cache, name in ((tqfslide.DEFAULT_CACHE_SIZE, "on"), (0, "off")):
        reference = None
        for label, make in methods:
            rate = timed(make(cache), total, args.repeat)
            reference = reference or rate
            print(f"{label:44} {name:>6} {rate:10.0f} {rate / reference:15.2f}", flush=True)
    for path in paths:
        os.unlink(path)
    os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
