#!/usr/bin/python3
"""Region reads of tqfslide against the libjpeg-turbo decode floor of the
same tiles and against OpenSlide reading the same image as a tiled TIFF.

    benchmarks/slide_benchmark.sh [--seconds S]      (builds the inputs first)

For every scenario the same places are read by each method (fixed seed);
the floor is the time libjpeg-turbo alone (tjDecompress2 into a reused
buffer) takes to decode every tile those reads touch, streams already in
memory. Ratios below 1 are faster than the floor or than OpenSlide.
"""

import argparse
import ctypes
import math
import os
import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import openslide

import tqfslide

TILE = 256


class Floor:
    """Decodes a slide's tile streams with libjpeg-turbo alone."""

    def __init__(self, slide_path, build_dir):
        self.yelk = ctypes.CDLL(os.path.join(build_dir, "yelk", "libyelk.so.1"))
        self.yelk.yelk_load_image.restype = ctypes.c_void_p
        self.yelk.yelk_load_image.argtypes = [ctypes.c_char_p, ctypes.c_int]
        self.yelk.yelk_get_datablock_stream_single.argtypes = [
            ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int32, ctypes.c_int32, ctypes.c_char_p,
            ctypes.POINTER(ctypes.c_uint32)]
        self.handle = self.yelk.yelk_load_image(slide_path.encode(), 0)
        self.tj = ctypes.CDLL("libturbojpeg.so.0")
        self.tj.tjInitDecompress.restype = ctypes.c_void_p
        self.tj.tjDecompress2.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_void_p,
                                          ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int]
        self.tj.tjDecompressHeader3.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong] + \
            [ctypes.POINTER(ctypes.c_int)] * 4
        self.decoder = self.tj.tjInitDecompress()
        self.buffer = ctypes.create_string_buffer(196608)
        self.pixels = np.empty((TILE, TILE, 3), np.uint8)
        self.streams = {}

    def stream(self, address, column, row):
        key = (address, column, row)
        if key not in self.streams:
            length = ctypes.c_uint32(0)
            self.yelk.yelk_get_datablock_stream_single(self.handle, address, column * TILE, row * TILE,
                                                       self.buffer, ctypes.byref(length))
            self.streams[key] = self.buffer.raw[:length.value] if length.value else None
        return self.streams[key]

    def time(self, keys):
        """Seconds to decode the streams of `keys` ((address, column, row)) in order."""
        streams = [self.stream(*key) for key in keys]
        w, h, s, c = (ctypes.c_int() for _ in range(4))
        start = time.perf_counter()
        for stream in streams:
            if stream is None:
                continue
            self.tj.tjDecompressHeader3(self.decoder, stream, len(stream), w, h, s, c)
            self.tj.tjDecompress2(self.decoder, stream, len(stream), self.pixels.ctypes.data, w.value, 0, h.value,
                                  0, 0)  # TJPF_RGB
        return time.perf_counter() - start


def touched(slide, level, x, y, width, height):
    """(address, column, row) of every tile a read_region touches."""
    downsample = slide.level_downsamples[level]
    address = int(float(slide.level_magnifications[level]))
    level_w, level_h = slide.level_dimensions[level]
    lx, ly = math.floor(x / downsample), math.floor(y / downsample)
    x0, y0 = max(lx, 0), max(ly, 0)
    x1, y1 = min(lx + width, level_w), min(ly + height, level_h)
    if x0 >= x1 or y0 >= y1:
        return []
    return [(address, c, r) for r in range(y0 // TILE, (y1 - 1) // TILE + 1)
            for c in range(x0 // TILE, (x1 - 1) // TILE + 1)]


def timed(work, seconds, minimum=3):
    """Runs work(i) for i = 0, 1, ... for about `seconds`; returns (calls, seconds)."""
    start = time.perf_counter()
    calls = 0
    while calls < minimum or time.perf_counter() - start < seconds:
        work(calls)
        calls += 1
    return calls, time.perf_counter() - start


def places(slide, level, side, count, seed):
    rng = random.Random(seed)
    width, height = slide.dimensions
    downsample = slide.level_downsamples[level]
    span = int(side * downsample)
    return [(rng.randrange(0, width - span), rng.randrange(0, height - span)) for _ in range(count)]


def row(name, seconds_each, floor_each, openslide_each, unit="ms/read"):
    ratio_floor = seconds_each / floor_each if floor_each else float("nan")
    ratio_os = seconds_each / openslide_each if openslide_each else float("nan")
    print(f"  {name:<44} {1000 * seconds_each:9.2f} {unit:<9} floor {1000 * floor_each:8.2f}  "
          f"÷floor {ratio_floor:5.2f}  ÷OpenSlide {ratio_os:5.2f}")


def single_reads(tqf, osr, floor, seconds):
    print("read_region, one thread, cache off (ms per read):")
    slide = tqfslide.Slide(tqf, cache_size=0, num_threads=1)
    pool_slide = tqfslide.Slide(tqf, cache_size=0)
    reference = openslide.OpenSlide(osr)
    level_quarter = slide.get_best_level_for_downsample(4)
    for name, level, side in [("256² at full resolution", 0, 256), ("1024² at full resolution", 0, 1024),
                              ("4096² at full resolution", 0, 4096),
                              ("1024² at the fourth-resolution level", level_quarter, 1024)]:
        spots = places(slide, level, side, 400, side)
        out = np.empty((side, side, 3), np.uint8)
        calls, spent = timed(lambda i: slide.read_region(spots[i % len(spots)], level, (side, side), out=out),
                             seconds)
        each = spent / calls
        keys = [k for i in range(calls) for k in touched(slide, level, *spots[i % len(spots)], side, side)]
        floor_each = floor.time(keys) / calls
        if side == 4096:
            pool_calls, pool_spent = timed(lambda i: pool_slide.read_region(spots[i % len(spots)], level,
                                                                            (side, side), out=out), seconds)
        os_calls, os_spent = timed(lambda i: reference.read_region(spots[i % len(spots)], level, (side, side)),
                                   seconds)
        row(name, each, floor_each, os_spent / os_calls)
        if side == 4096:
            row(f"4096² on {os.cpu_count()} threads", pool_spent / pool_calls, floor_each, os_spent / os_calls)
    slide.close()
    pool_slide.close()
    reference.close()


def patches(tqf, osr, floor, seconds):
    print("256² patches at random places (patches per second):")
    for level in (0, 1):
        slide = tqfslide.Slide(tqf)
        spots = places(slide, level, 256, 200000, 100 + level)
        keys = [k for spot in spots[:2000] for k in touched(slide, level, *spot, 256, 256)]
        floor_rate = 2000 / floor.time(keys)
        rates = {}
        for workers in (1, 2):
            slide.close()
            slide = tqfslide.Slide(tqf)  # a cold cache for each run
            it = slide.read_regions(spots, level, (256, 256), num_workers=workers)
            count, spent = timed(lambda i: next(it), seconds, 50)
            it.close()
            rates[workers] = count / spent
        os_rates = {}
        for threads in (1, 2):
            reference = openslide.OpenSlide(osr)
            stop = threading.Event()
            done = [0] * threads

            def work(t):
                i = t
                while not stop.is_set():
                    reference.read_region(spots[i], level, (256, 256))
                    done[t] += 1
                    i += threads
            with ThreadPoolExecutor(threads) as pool:
                start = time.perf_counter()
                futures = [pool.submit(work, t) for t in range(threads)]
                time.sleep(seconds)
                stop.set()
                for f in futures:
                    f.result()
                spent = time.perf_counter() - start
            os_rates[threads] = sum(done) / spent
            reference.close()
        slide.close()
        print(f"  level {level}: tqfslide 1 worker {rates[1]:7.0f}, 2 workers {rates[2]:7.0f} "
              f"({rates[2] / rates[1]:.2f}x); OpenSlide 1 thread {os_rates[1]:6.0f}, 2 threads {os_rates[2]:6.0f}; "
              f"tqfslide 2 ÷ OpenSlide 2: {rates[2] / os_rates[2]:.2f}x; floor one thread {floor_rate:6.0f}")


def deep_zoom(tqf, osr, floor, seconds):
    print("Deep Zoom tiles (254 + 1-pixel overlap) in row order over level 0, one thread (ms per tile):")
    side, overlap = 254, 1
    results = {}
    for cache in (True, False):
        slide = tqfslide.Slide(tqf, cache_size=64 << 20 if cache else 0, num_threads=1)
        width, height = slide.dimensions
        columns, rows = width // side, height // side
        out = np.empty((side + 2 * overlap, side + 2 * overlap, 3), np.uint8)

        def place(i):
            i %= columns * rows  # row order, starting over at the end
            return (i % columns) * side - overlap, (i // columns) * side - overlap

        def tile(i):
            slide.read_region(place(i), 0, (side + 2 * overlap,) * 2, out=out)
        calls, spent = timed(tile, seconds)
        results[cache] = spent / calls
        keys = [k for i in range(calls) for k in touched(slide, 0, *place(i), 256, 256)]
        floor_each = floor.time(keys) / calls
        slide.close()
    from openslide.deepzoom import DeepZoomGenerator
    reference = DeepZoomGenerator(openslide.OpenSlide(osr), tile_size=side, overlap=overlap)
    level = reference.level_count - 1
    columns, rows = reference.level_tiles[level]
    calls, spent = timed(lambda i: reference.get_tile(level, ((i % (columns * rows)) % columns,
                                                              (i % (columns * rows)) // columns)), seconds)
    os_each = spent / calls
    row("cache on", results[True], floor_each, os_each, "ms/tile")
    row("cache off", results[False], floor_each, os_each, "ms/tile")
    print(f"  cache on is {results[False] / results[True]:.2f}x as fast as cache off")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("slide", help="the .tqf slide")
    parser.add_argument("tiff", help="the same image as a tiled pyramidal TIFF, for OpenSlide")
    parser.add_argument("--seconds", type=float, default=3.0, help="time per method and scenario")
    parser.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", "build"))
    args = parser.parse_args()
    floor = Floor(args.slide, args.build_dir)
    print(f"tqfslide {tqfslide.__version__}, OpenSlide {openslide.__library_version__}, "
          f"{os.cpu_count()} cores; slide {args.slide}, TIFF {args.tiff}")
    single_reads(args.slide, args.tiff, floor, args.seconds)
    patches(args.slide, args.tiff, floor, args.seconds)
    deep_zoom(args.slide, args.tiff, floor, args.seconds)


if __name__ == "__main__":
    sys.exit(main())
