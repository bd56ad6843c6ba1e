#!/usr/bin/python3
"""Seconds of the `tqf patches` job over a cohort with one and with two
single-threaded worker processes of a LocalCluster started beforehand (the
start-up is printed apart), and the ratio of the two.

    benchmarks/patches_benchmark.sh [--slides K] [--size N] [--mpp M]

The cohort is K names (symbolic links) of one slide, so that both runs read
the same tiles from the page cache; each figure is the median of three runs
after a first, cold one, every run writing every slide's files again.
"""

import argparse
import logging
import os
import sys
import tempfile
import time

from tqfslide.cli import patches


def run_job(paths, workers, size, mpp):
    from distributed import Client, LocalCluster
    started = time.perf_counter()
    local = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                         silence_logs=logging.ERROR)
    client = Client(local)
    client.wait_for_workers(workers)
    client.run(lambda: __import__("tqfslide.tissue._cluster"))
    startup = time.perf_counter() - started
    times = []
    try:
        with tempfile.TemporaryDirectory() as out:
            arguments = argparse.Namespace(slides=paths, output=out, scheduler=local.scheduler_address, workers=None,
                                           size=(size, size), mpp=mpp, level=None, stride=None, min_tissue=0.5,
                                           threshold=None, allow_nominal_mpp=False, formats="both", overwrite=True,
                                           timeout=30.0)
            stdout, sys.stdout = sys.stdout, open(os.devnull, "w")
            try:
                for _ in range(4):
                    started = time.perf_counter()
                    if patches.run(arguments) != 0:
                        raise SystemExit("the job failed")
                    times.append(time.perf_counter() - started)
            finally:
                sys.stdout.close()
                sys.stdout = stdout
    finally:
        client.close()
        local.close()
    return times[0], sorted(times[1:])[1], startup


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("slide")
    parser.add_argument("--slides", type=int, default=16)
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--mpp", type=float, default=0.5)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="tqf-patches-benchmark-")
    paths = [os.path.join(folder, f"slide{n}.tqf") for n in range(args.slides)]
    for path in paths:
        os.symlink(os.path.abspath(args.slide), path)
    print(f"tqf patches over {args.slides} slides ({args.slide}), --size {args.size} --mpp {args.mpp:g}, CSV and "
          f"HDF5; {os.cpu_count()} cores")
    try:
        results = {}
        for workers in (1, 2):
            cold, warm, startup = results[workers] = run_job(paths, workers, args.size, args.mpp)
            print(f"   {workers} worker{'s' if workers > 1 else ' '}: {warm:6.2f} s  {args.slides / warm:6.1f} "
                  f"slides/s  (first run {cold:.2f} s; cluster start-up {startup:.2f} s)", flush=True)
        print(f"   2 workers against 1: {results[1][1] / results[2][1]:.2f}x")
    finally:
        for path in paths:
            os.unlink(path)
        os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
