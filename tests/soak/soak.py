#!/usr/bin/python3
"""Soak run of the Python module: region reads, preview and label calls and
reader creations by the hundred thousand, with the process's memory watched.

    PYTHONPATH=build /usr/bin/python3 tests/soak/soak.py [--scale S] [--slide PATH.tqf] [--phases P,...]
                                                         [--convert PATH] [--seed N] [--no-rss-limit]

--scale multiplies the size of the four phases (--phases picks some of
them). At 1.0, the default:
  regions   1,000,000 region reads of mixed sizes (0 and 1x1 up to 1024x1024,
            most small, some runs of one size), places (inside, across an
            edge, wholly outside, as far as the int range goes) and
            magnifications (the scan magnification, half, quarter, 13.3/40 of
            it and twice it), on readers opened at several scales, with and
            without read-all, some with the read scale set to a pyramid level;
  images    100,000 preview and label calls;
  readers   100,000 reader creations and deletions (deleted through the
            class, through delete_reader, or left to collection as a plain
            handle or in a reference cycle), opening the slide in half.
  slides    1,000,000 reads through tqfslide (the slide API): read_region at
            every level in RGB, BGR and RGBA, read_region_at at downsamples
            between the levels, read_regions batches on two workers, and
            associated images, on slides with a small tile cache (so it
            evicts all the time), without one, and loaded whole; results
            are compared with a slide without a cache, and the cache must
            stay within its budget; slides are reopened now and then.
--scale 0.01 is the short run that CTest runs.

Without --slide a 5000 x 3700 slide at 40x is made with tqf-convert (by
default the one next to the module) from the stained-tissue image of
tools/make_sample_image.py, or from a generated pattern when scikit-image is
missing. The run works in a temporary directory of its own, where the
preview and label calls leave their scratch files.

Results are checked as they come: sizes, white wherever a region leaves the
slide, the same pixels from readers with and without read-all, previews and
labels equal to the first ones. Some arrays are kept for a while - region
arrays across reads of other sizes and across the deletion of their reader -
and read again when they are let go: once the reader has moved to a buffer
of another size, or was deleted, the array owns its memory and its bytes
must not change.

Memory is flat when a phase, after a warm-up, grows by little from its
middle to its end. Each phase first runs a warm-up (a twentieth of its
count, at least a thousand steps), then its count in two halves. At the
start, middle and end the state is the same: kept arrays checked and let
go, each reader's result buffer and working image shrunk by a 1x1 read,
garbage collected, and the C heap's free memory handed back to the system
(malloc_trim), so that memory the allocator merely caches - a freed 10 MB
read-all slide may or may not stay in its heap - does not count. There the
resident set size (VmRSS), the blocks held by the interpreter's object
allocator (sys.getallocatedblocks) and the open file descriptors are taken.
From middle to end:
  - the C heap's memory in use (mallinfo2: what is allocated and not freed,
    whatever the allocator keeps besides) may grow by at most 1 MiB, two
    bytes a step of the long run's half: a leak of any size per call shows
    here first;
  - RSS may grow by at most 2 MiB plus 1% of the middle figure, 3% for the
    slides phase, whose reads run on pool threads: each thread's malloc
    arena keeps freed memory of its own that malloc_trim only partly hands
    back, so its RSS wanders by a few MiB either way while the heap in use
    stays put. The warm-up
    and the first half absorb what allocators keep for their own use (heap
    fragmentation under the mix of sizes, arenas, thread stacks and caches
    of the image library); the second half repeats the same work, so
    anything leaked per call grows in proportion to its calls. In the short
    run's second half a region buffer leaked per read is hundreds of MiB,
    1 KiB leaked per read 5 MiB;
  - Python blocks may grow by at most 400 plus one per 50 steps of the half
    (caches filled by rare paths move the count by a few hundred), so one
    object leaked per step is caught in the short run;
  - open file descriptors must not grow at all.
The figures at start, middle and end are printed with the counts and times.
--no-rss-limit prints RSS without judging it, for builds whose allocator
holds freed memory on purpose (AddressSanitizer's quarantine moves RSS by
tens of MiB either way); the other checks stay.

Exit status 0 when every check held, 1 when memory grew or a result was
wrong (the first wrong result ends the run).
"""
import argparse
import ctypes
import gc
import os
import random
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

try:
    import _tqfReader
    import tqfReader
    import tqfslide
except ImportError as error:
    sys.exit("soak.py: %s; run with PYTHONPATH set to the build directory" % error)

MIB = 1024 * 1024
RSS_ALLOWANCE = 2 * MIB
RSS_FRACTION = 0.01
RSS_FRACTION_THREADED = 0.03
HEAP_ALLOWANCE = 1 * MIB
BLOCKS_ALLOWANCE = 400
BLOCKS_PER_STEPS = 50

# Region sizes: (name, share of the random picks, smallest side, largest side).
# Most reads are small so a million of them take minutes, not hours; the
# large ones make the buffer move between the allocator's heap and mappings.
SIZE_CLASSES = [
    ("empty", 0.005, 0, 0),
    ("1-16", 0.42, 1, 16),
    ("17-96", 0.352, 17, 96),
    ("97-320", 0.17, 97, 320),
    ("321-767", 0.045, 321, 767),
    ("768-1024", 0.008, 768, 1024),
]
# The longest side a read may fetch at the tile level: reads far below the
# read scale are made smaller so they do not decode hundreds of tiles.
TILE_LEVEL_SIDE = 1100
# A run of equal-size reads on one reader starts at this share of the picks
# and lasts 5 to 40 reads: the result buffer is then reused, not replaced.
RUN_SHARE = 0.005
KEEP_EVERY = 25        # region reads between arrays kept
KEPT_REGIONS = 32      # region arrays kept at once
COMPARE_EVERY = 500    # region reads between read-all comparisons
REPLACE_EVERY = 1000   # region reads between reader replacements
KEPT_IMAGES = 16
KEPT_PAST_READERS = 16
REPLACE_IMAGES_EVERY = 250


class SoakFailure(Exception):
    pass


def check(condition, message, *args):
    if not condition:
        raise SoakFailure(message % args if args else message)


class Kept:
    """A result array kept for a while. Its checksum is taken once its
    bytes may no longer change (None until then)."""
    __slots__ = ("array", "crc", "what")

    def __init__(self, array, what, crc=None):
        self.array = array
        self.what = what
        self.crc = crc

    def freeze(self):
        self.crc = zlib.crc32(self.array)

    def verify(self):
        # Reads every byte, also when nothing is known about them: under
        # AddressSanitizer a buffer freed beneath the array ends the run.
        crc = zlib.crc32(self.array)
        check(self.crc is None or crc == self.crc, "%s changed after its buffer was let go", self.what)


class Ring:
    """A fixed number of kept arrays; each is verified when it leaves."""

    def __init__(self, size):
        self.slots = [None] * size
        self.next = 0
        self.verified = 0

    def add(self, kept):
        old = self.slots[self.next]
        if old is not None:
            old.verify()
            self.verified += 1
        self.slots[self.next] = kept
        self.next = (self.next + 1) % len(self.slots)

    def clear(self):
        for kept in self.slots:
            if kept is not None:
                kept.verify()
                self.verified += 1
        self.slots = [None] * len(self.slots)
        self.next = 0


class Slot:
    """A reader opened in a fixed way, and the kept arrays that may still
    view its result buffer. The reader reuses that buffer for a read of the
    same byte count and lets go of it for any other."""

    def __init__(self, path, opening, read_all, read_scale):
        self.path = path
        self.opening = opening
        self.read_all = read_all
        self.set_read_scale = read_scale
        self.reader = None
        self.open()

    def open(self):
        self.reader = tqfReader.reader()
        check(self.reader.ReadInfo(self.path, self.opening, self.read_all), "ReadInfo(%r, %r, %r) failed",
              self.path, self.opening, self.read_all)
        if self.set_read_scale:
            self.reader.setReadScale(self.set_read_scale)
        self.read_scale = self.reader.getReadScale()
        self.width = self.reader.getWidth()
        self.height = self.reader.getHeight()
        self.length = None
        self.viewing = []

    def let_go_of_views(self):
        for kept in self.viewing:
            kept.freeze()
        self.viewing = []

    def read(self, x, y, w, h, scale):
        length = w * h * 3
        if length != self.length:
            self.let_go_of_views()
        array = self.reader.ReadRoi(x, y, w, h, scale)
        self.length = length
        check(isinstance(array, np.ndarray) and array.dtype == np.uint8 and array.shape == (length,),
              "ReadRoi(%d, %d, %d, %d, %r) returned %r", x, y, w, h, scale,
              getattr(array, "shape", array))
        return array

    def keep(self, array, what):
        kept = Kept(array, what)
        self.viewing.append(kept)
        return kept

    def shrink(self):
        """A 1x1 read inside the slide: the result buffer and the working
        image become tiny, so measurements see no large buffer of the mix."""
        self.read(0, 0, 1, 1, self.opening)

    def replace(self, explicit_delete):
        self.let_go_of_views()
        old, self.reader = self.reader, None
        if explicit_delete:
            old.delete()
        del old
        self.open()

    def describe(self):
        return "opened at %g%s, read scale %d" % (self.opening, " with read-all" if self.read_all else "",
                                                   self.read_scale)


# ---------------------------------------------------------------- measuring

def rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise SoakFailure("no VmRSS in /proc/self/status")


def _malloc_trim():
    try:
        return ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        return None


MALLOC_TRIM = _malloc_trim()


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _mallinfo2():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    function.restype = _MallInfo2
    return function


MALLINFO2 = _mallinfo2()


def heap_in_use():
    """Bytes the C heap has handed out and not had back (all arenas and
    mapped chunks), or None where the allocator does not say (a sanitizer's
    allocator answers zeros)."""
    if MALLINFO2 is None:
        return None
    info = MALLINFO2()
    used = info.uordblks + info.hblkhd
    return used or None


def measure():
    gc.collect()
    if MALLOC_TRIM:
        MALLOC_TRIM(0)
    return {"rss": rss_bytes(), "heap": heap_in_use(), "blocks": sys.getallocatedblocks(),
            "fds": len(os.listdir("/proc/self/fd"))}


def mib(value):
    return value / MIB


class Phase:
    """Runs `step(i)` for a warm-up and then `count` times in two halves,
    calling `settle()` before each measurement."""

    def __init__(self, name, unit, count, step, settle, judge_rss=True, rss_fraction=RSS_FRACTION):
        self.name, self.unit, self.count = name, unit, count
        self.judge_rss, self.rss_fraction = judge_rss, rss_fraction
        self.step, self.settle = step, settle

    def run(self):
        warmup = max(self.count // 20, 1000)
        for i in range(warmup):
            self.step(i)
        self.settle()
        start = measure()
        print("%s: started after %d warm-up %s, RSS %.1f MiB" % (self.name, warmup, self.unit, mib(start["rss"])),
              flush=True)
        began = time.perf_counter()
        half = self.count // 2
        for i in range(half):
            self.step(i)
        self.settle()
        middle = measure()
        print("%s: %d %s in %.1f s, RSS %.1f MiB" % (self.name, half, self.unit, time.perf_counter() - began,
                                                   mib(middle["rss"])), flush=True)
        for i in range(half, self.count):
            self.step(i)
        self.settle()
        end = measure()
        self.elapsed = time.perf_counter() - began
        self.warmup, self.figures = warmup, (start, middle, end)
        rss_limit = RSS_ALLOWANCE + self.rss_fraction * middle["rss"]
        blocks_limit = BLOCKS_ALLOWANCE + (self.count - half) // BLOCKS_PER_STEPS
        self.problems = []
        if self.judge_rss and end["rss"] - middle["rss"] > rss_limit:
            self.problems.append("RSS grew by %.1f MiB from middle to end, more than %.1f MiB"
                                 % (mib(end["rss"] - middle["rss"]), mib(rss_limit)))
        if end["heap"] is not None and middle["heap"] is not None and end["heap"] - middle["heap"] > HEAP_ALLOWANCE:
            self.problems.append("the C heap in use grew by %.2f MiB from middle to end, more than %.1f MiB"
                                 % (mib(end["heap"] - middle["heap"]), mib(HEAP_ALLOWANCE)))
        if end["blocks"] - middle["blocks"] > blocks_limit:
            self.problems.append("Python blocks grew by %d from middle to end, more than %d"
                                 % (end["blocks"] - middle["blocks"], blocks_limit))
        if end["fds"] > middle["fds"]:
            self.problems.append("open file descriptors grew from %d to %d" % (middle["fds"], end["fds"]))
        self.rss_limit, self.blocks_limit = rss_limit, blocks_limit

    def report(self, details):
        start, middle, end = self.figures
        print("%s: %d %s after %d warm-up %s, %.1f s (%.3f ms each)"
              % (self.name, self.count, self.unit, self.warmup, self.unit, self.elapsed,
                 1000 * self.elapsed / max(self.count, 1)))
        for line in details:
            print("  " + line)
        print("  RSS MiB: start %.1f, middle %.1f, end %.1f; middle to end %+.2f (%s), start to end %+.2f"
              % (mib(start["rss"]), mib(middle["rss"]), mib(end["rss"]), mib(end["rss"] - middle["rss"]),
                 "limit %.1f" % mib(self.rss_limit) if self.judge_rss else "not judged",
                 mib(end["rss"] - start["rss"])))
        if None not in (start["heap"], middle["heap"], end["heap"]):
            print("  C heap in use MiB: start %.2f, middle %.2f, end %.2f; middle to end %+.2f (limit %.1f)"
                  % (mib(start["heap"]), mib(middle["heap"]), mib(end["heap"]), mib(end["heap"] - middle["heap"]),
                     mib(HEAP_ALLOWANCE)))
        print("  Python blocks: start %d, middle %d, end %d (middle to end limit +%d); "
              "descriptors %d, %d, %d"
              % (start["blocks"], middle["blocks"], end["blocks"], self.blocks_limit,
                 start["fds"], middle["fds"], end["fds"]))
        for problem in self.problems:
            print("  NOT FLAT: " + problem)
        sys.stdout.flush()


# ----------------------------------------------------------------- regions

def side_cap(slot, scale):
    """The longest side worth reading at `scale` on this slot's reader."""
    return max(1, int(TILE_LEVEL_SIDE / max(slot.read_scale / scale, 1.0)))


def inside_bounds(x, y, w, h, width, height):
    return 0 <= x and x + w <= width and 0 <= y and y + h <= height


def meets_slide(x, y, w, h, width, height):
    return w > 0 and h > 0 and x < width and x + w > 0 and y < height and y + h > 0


class RegionPhase:
    def __init__(self, path, scan, rng):
        self.rng = rng
        self.scan = scan
        self.scales = [scan, scan / 2, scan / 4, scan * 13.3 / 40, scan * 2]
        # (opening scale, read-all, read scale set to a pyramid level)
        self.slots = [
            Slot(path, scan, False, None),
            Slot(path, scan, True, None),
            Slot(path, scan / 2, False, scan / 2),
            Slot(path, scan / 4, True, scan / 4),
            Slot(path, scan * 13.3 / 40, False, None),
            Slot(path, scan * 2, False, None),
        ]
        self.ring = Ring(KEPT_REGIONS)
        self.run = None  # (slot, w, h, reads left)
        self.reads = 0
        self.places = {"inside": 0, "overhanging": 0, "outside": 0}
        self.by_scale = {}
        self.by_size = {name: 0 for name, _, _, _ in SIZE_CLASSES}
        self.in_runs = 0
        self.megapixels = 0.0
        self.edge_checks = 0
        self.compares = 0
        self.replaced = 0
        self.weights = [share for _, share, _, _ in SIZE_CLASSES]

    def pick_size(self, cap):
        name, _, low, high = self.rng.choices(SIZE_CLASSES, self.weights)[0]
        self.by_size[name] += 1
        if high == 0:
            return (0, self.rng.randint(0, 64)) if self.rng.random() < 0.5 else (self.rng.randint(0, 64), 0)
        w = self.rng.randint(low, high)
        h = w if self.rng.random() < 0.4 else self.rng.randint(low, high)
        return min(w, cap), min(h, cap)

    def pick_place(self, w, h, width, height):
        rng = self.rng
        kind = rng.random()
        if kind < 0.6:  # inside where it fits
            return rng.randint(0, max(width - w, 0)), rng.randint(0, max(height - h, 0))
        if kind < 0.88:  # across one or two edges
            x = rng.randint(0, max(width - w, 0))
            y = rng.randint(0, max(height - h, 0))
            side = rng.randrange(6)
            if side in (0, 4):
                x = -rng.randint(1, max(w - 1, 1))
            if side in (1, 5):
                x = width - rng.randint(1, max(w - 1, 1))
            if side in (2, 4):
                y = -rng.randint(1, max(h - 1, 1))
            if side in (3, 5):
                y = height - rng.randint(1, max(h - 1, 1))
            return x, y
        far = rng.randrange(6)  # wholly outside, near or far
        if far == 0:
            return width + rng.randint(0, 3000), rng.randint(-h, height)
        if far == 1:
            return rng.randint(-w, width), -h - rng.randint(0, 3000)
        if far == 2:
            return -w - rng.randint(0, 3000), height + rng.randint(0, 3000)
        if far == 3:
            return rng.choice([-1, 1]) * rng.randint(10 ** 6, 10 ** 9), rng.randint(0, height)
        if far == 4:
            return 2 ** 31 - 1 - rng.randint(0, w), rng.randint(0, height)
        return rng.randint(0, width), -2 ** 31 + rng.randint(0, 10)

    def check_white_outside(self, array, x, y, w, h, width, height, what):
        image = array.reshape(h, w, 3)
        x0, x1 = min(max(-x, 0), w), min(max(width - x, 0), w)
        y0, y1 = min(max(-y, 0), h), min(max(height - y, 0), h)
        for part in (image[:y0], image[y1:], image[:, :x0], image[:, x1:]):
            check(part.size == 0 or part.min() == 255, "%s: a part outside the slide is not white", what)
        self.edge_checks += 1

    def read(self, slot, x, y, w, h, scale):
        what = "region (%d, %d, %d, %d) at %g on the reader %s" % (x, y, w, h, scale, slot.describe())
        array = slot.read(x, y, w, h, scale)
        self.reads += 1
        self.megapixels += w * h / 1e6
        self.by_scale[scale] = self.by_scale.get(scale, 0) + 1
        width, height = slot.width, slot.height
        if inside_bounds(x, y, w, h, width, height) and w and h:
            self.places["inside"] += 1
        elif meets_slide(x, y, w, h, width, height):
            self.places["overhanging"] += 1
            # At the tile level, with bounds counted at the same scale, the
            # parts outside are exactly the padding.
            if scale == slot.opening == slot.read_scale:
                self.check_white_outside(array, x, y, w, h, width, height, what)
        else:
            self.places["outside"] += 1
            check(array.size == 0 or array.min() == 255, "%s: not white though wholly outside", what)
        return array, what

    def step(self, i):
        rng = self.rng
        if self.run is not None:
            slot, w, h, left = self.run
            scale = slot.opening
            self.run = (slot, w, h, left - 1) if left > 1 else None
            self.in_runs += 1
        else:
            slot = rng.choice(self.slots)
            if rng.random() < RUN_SHARE:
                scale = slot.opening
                w, h = self.pick_size(min(side_cap(slot, scale), 512))
                self.run = (slot, w, h, rng.randint(5, 40))
            else:
                scale = slot.opening if rng.random() < 0.8 else rng.choice(self.scales)
                w, h = self.pick_size(side_cap(slot, scale))
        x, y = self.pick_place(w, h, slot.width, slot.height)
        array, what = self.read(slot, x, y, w, h, scale)
        if i % KEEP_EVERY == 0:
            self.ring.add(slot.keep(array, what))
        if i % COMPARE_EVERY == 1:
            self.compare()
        if i % REPLACE_EVERY == 2:
            self.slots[rng.randrange(len(self.slots))].replace(explicit_delete=rng.random() < 0.5)
            self.replaced += 1

    def compare(self):
        """The same region inside the slide from the readers with and
        without read-all (both at the scan magnification)."""
        plain, whole = self.slots[0], self.slots[1]
        w, h = self.rng.randint(1, 300), self.rng.randint(1, 300)
        x = self.rng.randint(0, max(plain.width - w, 0))
        y = self.rng.randint(0, max(plain.height - h, 0))
        first, what = self.read(plain, x, y, w, h, self.scan)
        second, _ = self.read(whole, x, y, w, h, self.scan)
        check(np.array_equal(first, second), "%s differs from the same region read with read-all", what)
        self.compares += 1

    def settle(self):
        self.run = None
        for slot in self.slots:
            slot.shrink()
        self.ring.clear()

    def details(self):
        scales = ", ".join("%g: %d" % (scale, self.by_scale.get(scale, 0)) for scale in self.scales)
        return [
            "sizes: " + ", ".join("%s %d" % item for item in self.by_size.items())
            + "; in equal-size runs %d; %.0f megapixels" % (self.in_runs, self.megapixels),
            "places: " + ", ".join("%s %d" % item for item in self.places.items())
            + "; by scale: " + scales,
            "checked: %d kept arrays, %d edges white, %d read-all comparisons; %d readers replaced"
            % (self.ring.verified, self.edge_checks, self.compares, self.replaced),
        ]


# ----------------------------------------------------------------- images

class ImagePhase:
    def __init__(self, path, scan, rng):
        self.rng = rng
        self.slots = [Slot(path, scan, False, None), Slot(path, scan, True, None),
                      Slot(path, scan / 4, False, scan / 4)]
        self.ring = Ring(KEPT_IMAGES)
        self.reference = {}
        for name in ("preview", "label"):
            width, array = self.call(self.slots[0].reader, name)
            self.reference[name] = (width, array.size, zlib.crc32(array))
        self.calls = {"preview": 0, "label": 0}
        self.replaced = 0

    @staticmethod
    def call(reader, name):
        result = reader.ReadPreview() if name == "preview" else reader.readLabelImage()
        check(isinstance(result, list) and len(result) == 2, "%s returned %r", name, result)
        width, array = result
        check(width > 0 and array.dtype == np.uint8 and array.ndim == 1 and array.size % (3 * width) == 0,
              "%s: width %r, array of %r", name, width, getattr(array, "shape", array))
        return width, array

    def step(self, i):
        rng = self.rng
        slot = rng.choice(self.slots)
        name = "preview" if rng.random() < 0.5 else "label"
        width, array = self.call(slot.reader, name)
        ref_width, ref_size, ref_crc = self.reference[name]
        check((width, array.size) == (ref_width, ref_size) and zlib.crc32(array) == ref_crc,
              "%s from the reader %s differs from the first one", name, slot.describe())
        self.calls[name] += 1
        if i % 10 == 0:
            self.ring.add(Kept(array, "kept " + name, ref_crc))
        if i % REPLACE_IMAGES_EVERY == 3:
            rng.choice(self.slots).replace(explicit_delete=rng.random() < 0.5)
            self.replaced += 1

    def settle(self):
        self.ring.clear()

    def details(self):
        (pw, ps, _), (lw, ls, _) = self.reference["preview"], self.reference["label"]
        return ["calls: preview %d (%d x %d), label %d (%d x %d); %d kept arrays checked; %d readers replaced"
                % (self.calls["preview"], pw, ps // (3 * pw), self.calls["label"], lw, ls // (3 * lw),
                   self.ring.verified, self.replaced)]


# ----------------------------------------------------------------- slides

SLIDE_CACHE = 8 * MIB


class SlidePhase:
    """Reads through tqfslide, checked against a slide without a cache."""

    def __init__(self, path, scan, rng):
        self.path, self.rng = path, rng
        self.reference = tqfslide.Slide(path, cache_size=0, num_threads=1)
        # Each slot keeps its options when its slide is reopened, so that the
        # memory the run needs stays the same from start to end.
        self.options = [{"cache_size": SLIDE_CACHE}, {"cache_size": 0}, {"cache_size": SLIDE_CACHE, "read_all": True}]
        self.slides = [tqfslide.Slide(path, **options) for options in self.options]
        self.width, self.height = self.reference.dimensions
        self.ring = Ring(KEPT_REGIONS)
        self.counts = {"region": 0, "scaled": 0, "batch": 0, "associated": 0, "compared": 0, "reopened": 0}
        self.label = self.reference.associated_images["label"].copy()

    def place(self, downsample, side):
        span = int(side * downsample)
        return (self.rng.randrange(-span, self.width + span // 2), self.rng.randrange(-span, self.height + span // 2))

    def step(self, i):
        rng = self.rng
        slide = rng.choice(self.slides)
        pick = rng.random()
        if pick < 0.8:
            level = rng.randrange(slide.level_count)
            w, h = rng.randint(0, 300), rng.randint(0, 300)
            mode = rng.choice(("RGB", "RGB", "BGR", "RGBA"))
            location = self.place(slide.level_downsamples[level], max(w, h))
            region = slide.read_region(location, level, (w, h), mode=mode)
            check(region.shape == (h, w, 4 if mode == "RGBA" else 3), "read_region shape %r", region.shape)
            if i % COMPARE_EVERY == 0:
                expected = self.reference.read_region(location, level, (w, h), mode=mode)
                check(np.array_equal(region, expected), "read_region%r differs from a slide without a cache",
                      (location, level, (w, h), mode))
                self.counts["compared"] += 1
            if i % KEEP_EVERY == 0:
                self.ring.add(Kept(region.reshape(-1), "kept slide region", zlib.crc32(region)))
            self.counts["region"] += 1
        elif pick < 0.95:
            downsample = rng.uniform(1.0, 40.0)
            w, h = rng.randint(1, 200), rng.randint(1, 200)
            region = slide.read_region_at(self.place(downsample, max(w, h)), (w, h), downsample=downsample)
            check(region.shape == (h, w, 3), "read_region_at shape %r", region.shape)
            self.counts["scaled"] += 1
        elif pick < 0.998:
            level = rng.randrange(min(2, slide.level_count))
            locations = [self.place(slide.level_downsamples[level], 64) for _ in range(rng.randint(1, 12))]
            batches = list(slide.read_regions(locations, level, (64, 64), num_workers=2, batch_size=4))
            check(sum(len(b) for b in batches) == len(locations), "read_regions lost regions")
            self.counts["batch"] += 1
        else:
            check(np.array_equal(slide.associated_images["label"], self.label), "the label changed")
            self.counts["associated"] += 1
        if i % REPLACE_EVERY == REPLACE_EVERY - 1:
            index = rng.randrange(len(self.slides))
            self.slides[index].close()
            self.slides[index] = tqfslide.Slide(self.path, **self.options[index])
            self.counts["reopened"] += 1
        for cached in self.slides:
            check(cached._open_native().cache_used_bytes <= max(cached.cache_size, 0),
                  "the tile cache holds %d bytes, more than its budget %d",
                  cached._open_native().cache_used_bytes, cached.cache_size)

    def settle(self):
        # Fresh slides: their caches and decoding scratch start empty at
        # every measurement, as they did at the first.
        self.ring.clear()
        for index, slide in enumerate(self.slides):
            slide.close()
            self.slides[index] = tqfslide.Slide(self.path, **self.options[index])

    def details(self):
        c = self.counts
        return ["reads: %d regions, %d at a downsample, %d batches, %d associated images; %d compared with a "
                "slide without a cache; %d slides reopened; tile cache budget %.0f MiB"
                % (c["region"], c["scaled"], c["batch"], c["associated"], c["compared"], c["reopened"],
                   mib(SLIDE_CACHE))]


# ----------------------------------------------------------------- readers

class ReaderPhase:
    WAYS = ["class deleted", "class delete()", "delete_reader", "handle collected", "cycle collected"]

    def __init__(self, path, scan, rng):
        self.path = path
        self.rng = rng
        self.openings = [scan, scan / 2, scan / 4, scan * 13.3 / 40, scan * 2]
        self.sizes = {}
        for scale in self.openings:
            probe = tqfReader.reader()
            check(probe.ReadInfo(path, scale), "ReadInfo(%r, %r) failed", path, scale)
            self.sizes[scale] = (probe.getWidth(), probe.getHeight())
        self.ring = Ring(KEPT_PAST_READERS)
        self.ways = {way: 0 for way in self.WAYS}
        self.opened = self.read_all = self.reopened = self.regions = 0

    def use(self, handle, i):
        """Opens the slide on about half of the readers and reads a small
        region on some, keeping it past the reader's end."""
        rng = self.rng
        if rng.random() >= 0.5:
            return
        scale = rng.choice(self.openings)
        read_all = rng.random() < 0.05
        reopen = rng.random() < 0.1
        for _ in range(2 if reopen else 1):
            check(_tqfReader.reader_ReadInfo(handle, self.path, scale, read_all), "ReadInfo(%r, %r, %r) failed",
                  self.path, scale, read_all)
            self.opened += 1
        self.reopened += reopen
        self.read_all += read_all
        size = (_tqfReader.reader_getWidth(handle), _tqfReader.reader_getHeight(handle))
        check(size == self.sizes[scale], "opened at %g: %r, not %r", scale, size, self.sizes[scale])
        if i % 5 == 0:
            w, h = rng.randint(1, 64), rng.randint(1, 64)
            array = _tqfReader.reader_ReadRoi(handle, rng.randint(-32, size[0]), rng.randint(-32, size[1]),
                                              w, h, scale)
            check(array.shape == (w * h * 3,), "region of %d x %d: %r", w, h, array.shape)
            # The reader reads nothing more: the bytes are final now.
            self.ring.add(Kept(array, "region kept past its reader", zlib.crc32(array)))
            self.regions += 1

    def step(self, i):
        way = self.WAYS[i % len(self.WAYS)]
        self.ways[way] += 1
        if way == "class deleted":
            r = tqfReader.reader()
            self.use(r, i)
            del r
        elif way == "class delete()":
            r = tqfReader.reader()
            self.use(r, i)
            r.delete()
            del r
        elif way == "delete_reader":
            h = _tqfReader.new_reader()
            self.use(h, i)
            _tqfReader.delete_reader(h)
            del h
        elif way == "handle collected":
            h = _tqfReader.new_reader()
            self.use(h, i)
            del h
        else:
            r = tqfReader.reader()
            r.itself = r
            self.use(r, i)
            del r

    def settle(self):
        self.ring.clear()

    def details(self):
        return ["ways: " + ", ".join("%s %d" % item for item in self.ways.items()),
                "opened %d times (%d with read-all, %d reopenings), %d regions kept past their reader"
                % (self.opened, self.read_all, self.reopened, self.regions)]


# ----------------------------------------------------------------- the slide

def tissue_or_pattern(width, height):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
    try:
        import make_sample_image
        return make_sample_image.build(width, height, 1), "stained tissue"
    except ImportError:
        yy, xx = np.mgrid[0:height, 0:width]
        noise = np.random.default_rng(1).integers(0, 40, size=(height, width), dtype=np.uint8)
        rgb = np.stack([(xx * 7 + yy) % 200, (xx + yy * 5) % 180, (xx ^ yy) % 220], axis=-1).astype(np.uint8)
        return rgb + noise[..., None], "generated pattern"


def make_slide(convert, directory):
    width, height = 5000, 3700
    rgb, source = tissue_or_pattern(width, height)
    image = os.path.join(directory, "soak.ppm")
    with open(image, "wb") as out:
        out.write(b"P6\n%d %d\n255\n" % (width, height))
        out.write(np.ascontiguousarray(rgb).tobytes())
    slide = os.path.join(directory, "soak.tqf")
    subprocess.run([convert, "--preview-size", "512", image, slide], check=True, stdout=subprocess.DEVNULL)
    os.remove(image)
    return slide, "%d x %d %s" % (width, height, source)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="size of the run (1.0: a million reads)")
    parser.add_argument("--slide", help="slide to read (default: make one)")
    parser.add_argument("--convert", default=os.path.join(os.path.dirname(_tqfReader.__file__), "tqf-convert"),
                        help="tqf-convert for making the slide (default: next to the module)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--phases", default="regions,images,readers,slides",
                        help="the phases to run, comma-separated (default: all)")
    parser.add_argument("--no-rss-limit", action="store_true",
                        help="print RSS without judging it (sanitizer builds)")
    args = parser.parse_args()
    if not 0 < args.scale <= 100:
        parser.error("--scale must be above 0 and at most 100")
    slide = os.path.abspath(args.slide) if args.slide else None
    convert = os.path.abspath(args.convert)

    with tempfile.TemporaryDirectory(prefix="tqf-soak-") as directory:
        os.chdir(directory)
        if slide is None:
            slide, made = make_slide(convert, directory)
            print("slide: made %s from a %s" % (slide, made))
        probe = tqfReader.reader()
        if not probe.ReadInfo(slide):
            sys.exit("soak.py: cannot open %s" % slide)
        scan = probe.getReadScale()
        print("slide: %s, %d x %d at %dx; scale %g; module %s"
              % (slide, probe.getWidth(), probe.getHeight(), scan, args.scale, _tqfReader.__file__))
        del probe
        sys.stdout.flush()

        rng = random.Random(args.seed)
        plan = [
            ("regions", "reads", 1_000_000, RegionPhase),
            ("images", "calls", 100_000, ImagePhase),
            ("readers", "readers", 100_000, ReaderPhase),
            ("slides", "reads", 1_000_000, SlidePhase),
        ]
        failed = False
        try:
            for name, unit, full, kind in plan:
                if name not in args.phases.split(","):
                    continue
                work = kind(slide, scan, rng)
                phase = Phase(name, unit, max(int(full * args.scale), 2), work.step, work.settle,
                              judge_rss=not args.no_rss_limit,
                              rss_fraction=RSS_FRACTION_THREADED if kind is SlidePhase else RSS_FRACTION)
                phase.run()
                phase.report(work.details())
                failed |= bool(phase.problems)
                del work
        except SoakFailure as failure:
            print("WRONG RESULT: %s" % failure)
            return 1
        finally:
            os.chdir("/")
    print("memory grew: see NOT FLAT above" if failed else "memory stayed flat in every phase")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
