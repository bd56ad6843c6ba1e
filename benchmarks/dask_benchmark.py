#!/usr/bin/python3
"""The whole-slide job and the dask array of tqfslide, on one slide.

    benchmarks/dask_benchmark.sh            (makes the slide first)
    dask_benchmark.py SLIDE [--level L] [--workers N]

1. tissue-mask on the slide on a dask.distributed LocalCluster of 1 and of N
   single-threaded worker processes (goal: 2 workers at least 1.8x one).
   Timed from submitting to the files written, the cluster started and its
   workers warmed up beforehand; the start-up is printed apart.
2. Every tile of a level read through Slide.to_dask (threaded scheduler
   with N threads, default chunks and one tile a chunk; a LocalCluster of N
   workers, as dask starts them and without the MALLOC_TRIM_THRESHOLD_ its
   nanny sets) against Slide.read_regions with N workers over the same tiles
   (goal: to_dask within 1.2x of read_regions). Each chunk or patch is
   touched, not kept, so that only reading is measured.

Each is run twice in a row on the same slide, and both times are printed:
the first pays for the memory the process touches for the first time. The
job runs four times on the same cluster: its first run, and the median of
the other three. Load averages before and after are printed, since the
machine may be shared.
"""

import argparse
import logging
import os
import sys
import tempfile
import time
import uuid

import numpy as np

import tqfslide
from tqfslide.cli import tissue_mask


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def corner(block):
    """A task's whole result: one pixel of its chunk (the chunk is read)."""
    return block[:1, :1, :1]


def touch_all(array, **compute):
    import dask.array as da
    chunks = tuple((1,) * len(c) for c in array.chunks)
    # A name of its own each time: a cluster may still hold the last run's
    # results under the same keys.
    return da.map_blocks(corner, array, chunks=chunks, dtype=np.uint8,
                         name=f"corner-{uuid.uuid4().hex}").compute(**compute)


def cluster(workers, trim=True):
    """A LocalCluster, its client and its start-up time. trim=False starts
    the workers without the MALLOC_TRIM_THRESHOLD_ that dask's nanny sets
    (which makes every new chunk array page-fault)."""
    import dask
    from distributed import Client, LocalCluster
    started = time.perf_counter()
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    if not trim:
        environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        os.environ.pop("MALLOC_TRIM_THRESHOLD_", None)  # the nanny leaves it in our environment too
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        local = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                             silence_logs=logging.ERROR)
    client = Client(local)
    client.wait_for_workers(workers)
    client.run(lambda: [__import__(name) for name in ("dask.array", "tqfslide.tissue._cluster")])
    return local, client, time.perf_counter() - started


def job(slide_path, workers):
    """Seconds of the job on a new cluster, cold (its first job) and warm
    (the median of the next three: the job is short, and a single run moves
    with whatever else the machine does), and the cluster's start-up."""
    local, client, startup = cluster(workers)
    times = []
    try:
        with tempfile.TemporaryDirectory() as out:
            arguments = argparse.Namespace(slides=[slide_path], output=out, scheduler=local.scheduler_address,
                                           workers=None, mask_downsample=tissue_mask.MASK_DOWNSAMPLE,
                                           threshold=None, timeout=30.0)
            stdout = sys.stdout
            sys.stdout = open(os.devnull, "w")
            try:
                for _ in range(4):
                    # Nothing of the last run left for this one to reuse.
                    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
                        time.sleep(0.05)
                    started = time.perf_counter()
                    status = tissue_mask.run(arguments)
                    times.append(time.perf_counter() - started)
                    if status != 0:
                        raise SystemExit(f"the job failed on {slide_path}")
            finally:
                sys.stdout.close()
                sys.stdout = stdout
    finally:
        client.close()
        local.close()
    return times[0], sorted(times[1:])[1], startup


def twice(run):
    """Seconds of a first and a second run(): memory a process touches for
    the first time costs page faults (dear in a virtual machine), which a
    process reading many slides pays once."""
    times = []
    for _ in range(2):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("slide")
    parser.add_argument("--level", type=int, default=0, help="level read in part 2 (default 0)")
    parser.add_argument("--workers", type=int, default=2, help="workers and threads of the parallel runs")
    args = parser.parse_args()
    n = args.workers

    import dask.array  # noqa: F401 (imported before any timing)
    import distributed  # noqa: F401

    print(f"machine: {os.cpu_count()} cores; before: {load()}")
    with tqfslide.open(args.slide) as slide:
        width, height = slide.dimensions
        tile_width, tile_height = slide.level_tile_sizes[0]
        tiles = -(-width // tile_width) * -(-height // tile_height)
    print(f"\n1. tissue-mask on {os.path.basename(args.slide)} ({width} x {height}, {tiles} full-resolution tiles)")
    runs = {}
    for workers in (1, n):
        cold, warm, startup = runs[workers] = job(args.slide, workers)
        print(f"   {workers} worker{'s' if workers > 1 else ' '}: {warm:6.2f} s  {tiles / warm:6.0f} tiles/s  "
              f"(its first job {cold:.2f} s; cluster start-up {startup:.1f} s)")
    print(f"   speed-up {runs[1][1] / runs[n][1]:.2f}x, first jobs {runs[1][0] / runs[n][0]:.2f}x  "
          f"(goal: at least 1.8x with 2 workers)")

    with tqfslide.open(args.slide) as slide:
        level = args.level
        w, h = slide.level_dimensions[level]
        tw, th = slide.level_tile_sizes[level]
        ds = slide.level_downsamples[level]
        columns = -(-w // tw)
        locations = [(int(x * tw * ds), int(y * th * ds)) for y in range(-(-h // th)) for x in range(columns)]
        print(f"\n2. every tile of level {level} ({w} x {h}, {len(locations)} tiles of {tw} x {th}), "
              "read twice: seconds of the second run (of the first)")

        def read_all(workers):
            for patch in slide.read_regions(locations, level, (tw, th), num_workers=workers):
                patch[0, 0, 0]

        width = 42
        floors = {}
        for workers in sorted({1, n}):
            first, floors[workers] = twice(lambda: read_all(workers))
            label = f"read_regions, {workers} worker{'s' if workers > 1 else ''}"
            print(f"   {label:{width}}: {floors[workers]:5.2f} s ({first:5.2f})  "
                  f"{len(locations) / floors[workers]:5.0f} tiles/s")
        floor = floors[n]
        results = []
        for label, chunks in ((f"to_dask, {n} threads, default chunks", None),
                              (f"to_dask, {n} threads, a tile a chunk", (th, tw))):
            array = slide.to_dask(level, chunks=chunks)
            results.append((label, twice(lambda: touch_all(array, scheduler="threads", num_workers=n))))
        for trim, label in ((True, f"to_dask, LocalCluster of {n} workers"),
                            (False, "  the same, without MALLOC_TRIM_THRESHOLD_")):
            local, client, _ = cluster(n, trim)
            try:
                array = slide.to_dask(level)
                results.append((label, twice(lambda: touch_all(array))))
            finally:
                client.close()
                local.close()
        for label, (first, second) in results:
            print(f"   {label:{width}}: {second:5.2f} s ({first:5.2f})  {len(locations) / second:5.0f} tiles/s  "
                  f"{second / floor:.2f}x read_regions ({first / floor:.2f}x)")
        print(f"   (goal: to_dask within 1.2x of read_regions with {n} workers)")
    print(f"\nafter: {load()}")


if __name__ == "__main__":
    main()
