#!/usr/bin/python3
"""OpenSlide's own clients on a .tqf slide through this project's
libopenslide (`tqf with-openslide`) against the same image as a TIFF with
the very same tiles through the system's OpenSlide:

  * python3-openslide: random 256 x 256 read_region at full resolution,
    one thread (ms per read, wall and CPU);
  * vips: the whole slide as Deep Zoom tiles (openslideload into dzsave),
    and, to show the reading alone, the whole slide read and written raw
    to memory (openslideload into a .v file on /dev/shm); seconds of wall
    and CPU time. Both inputs go through the same openslideload, since
    vips would read the TIFF with its own loader otherwise.

    benchmarks/openslide_benchmark.sh        (makes the inputs, then runs this)

Each client runs in a process of its own; the two inputs take turns, round
after round, and the median round is printed, so that a change of load on
the machine falls on both alike. Ratios above 1: the .tqf slide is faster.
"""

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

READS_PER_ROUND = 1500


def reads(path, seed, count):
    """Run in a child: `count` random 256² reads; prints ms per read."""
    import openslide

    slide = openslide.OpenSlide(path)
    width, height = slide.dimensions
    rng = random.Random(seed)
    places = [(rng.randrange(0, width - 256), rng.randrange(0, height - 256)) for _ in range(count)]
    slide.read_region(places[0], 0, (256, 256))
    wall, cpu = time.perf_counter(), time.process_time()
    for place in places:
        slide.read_region(place, 0, (256, 256))
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(json.dumps({"vendor": slide.properties["openslide.vendor"], "library": openslide.__library_version__,
                      "wall_ms": 1000 * wall / count, "cpu_ms": 1000 * cpu / count}))


def child_run(command):
    """(wall seconds, CPU seconds of the child and its children, stdout)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if result.returncode != 0:
        sys.exit(f"openslide_benchmark: {' '.join(command)} failed:\n{result.stderr}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, result.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("slide")
    parser.add_argument("tiff")
    parser.add_argument("--tqf", required=True, help="the tqf command")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    here = os.path.abspath(__file__)
    python = "/usr/bin/python3"
    through = {args.slide: [args.tqf, "with-openslide"], args.tiff: []}

    read_rounds = {path: [] for path in through}
    for round_ in range(args.rounds):
        for path, prefix in through.items():
            _, _, out = child_run([*prefix, python, here, "--reads-child", path, str(round_), str(READS_PER_ROUND)])
            read_rounds[path].append(json.loads(out))
    outputs = {"tiles.dz": "the whole slide as Deep Zoom tiles (dzsave, a zip)",
               "raw.v": "the whole slide read, written raw to memory"}
    vips_rounds = {(output, path): [] for output in outputs for path in through}
    memory = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(prefix="tqf-openslide-benchmark-", dir=memory) as scratch:
        for _ in range(args.rounds):
            for output in outputs:
                for path, prefix in through.items():
                    out = os.path.join(scratch, output)
                    wall, cpu, _ = child_run([*prefix, "vips", "openslideload", path, out])
                    vips_rounds[output, path].append((wall, cpu))
                    os.remove(out)

    def median_by(rounds, key):
        return statistics.median(r[key] for r in rounds)

    tqf, tiff = args.slide, args.tiff
    first = read_rounds[tqf][0], read_rounds[tiff][0]
    print(f"OpenSlide's clients: {os.path.basename(tqf)} through tqfReader's libopenslide {first[0]['library']} "
          f"(vendor {first[0]['vendor']}) against {os.path.basename(tiff)} through the system's OpenSlide "
          f"{first[1]['library']} (vendor {first[1]['vendor']}); median of {args.rounds} rounds")
    print(f"python3-openslide, {READS_PER_ROUND} random 256x256 read_region at level 0, one thread (ms per read):")
    for key, name in (("wall_ms", "wall"), ("cpu_ms", "CPU ")):
        ours, theirs = median_by(read_rounds[tqf], key), median_by(read_rounds[tiff], key)
        print(f"  {name}  .tqf {ours:7.3f}   TIFF {theirs:7.3f}   TIFF / .tqf {theirs / ours:5.2f}x")
    for output, description in outputs.items():
        print(f"vips openslideload SLIDE {output} ({description}), seconds:")
        for index, name in ((0, "wall"), (1, "CPU ")):
            ours, theirs = median_by(vips_rounds[output, tqf], index), median_by(vips_rounds[output, tiff], index)
            print(f"  {name}  .tqf {ours:7.2f}   TIFF {theirs:7.2f}   TIFF / .tqf {theirs / ours:5.2f}x")


if __name__ == "__main__":
    if "--reads-child" in sys.argv:
        i = sys.argv.index("--reads-child")
        path, seed, count = sys.argv[i + 1:i + 4]
        reads(path, int(seed), int(count))
    else:
        main()
