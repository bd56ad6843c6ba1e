"""tqf tissue-mask: a tissue mask and per-tile statistics of whole slides,
computed on a dask.distributed cluster.

    tqf tissue-mask SLIDE... -o FOLDER                         # a local cluster
    tqf tissue-mask SLIDE... -o FOLDER --scheduler tcp://host:8786
    python3 -m tqfslide.tissue_mask SLIDE... -o FOLDER         # the same

For each slide NAME.tqf it writes to FOLDER:

NAME-tissue-mask.png
    The tissue mask at a low level (by default the level OpenSlide's rule
    picks for a downsample of 32): 8-bit grey, 255 for tissue, 0 for
    background, one pixel per pixel of that level. Its tEXt "Comment" names
    the level, its downsample and the threshold used.
NAME-tiles.csv
    One row per stored tile of full resolution, left to right, top to
    bottom: column, row, x, y, width, height (full-resolution pixels; tiles
    at the right and bottom edges are cut to the slide), tissue_fraction
    (the share of the mask pixels the tile covers that are tissue), and
    mean_red, mean_green, mean_blue (the mean colour of the tile's pixels,
    read at full resolution).

The tissue detector, on the RGB pixels of the mask level:
- the saturation of a pixel is 255 * (max - min) / max of its red, green and
  blue; glass and empty background are white or grey (saturation near 0),
  stained tissue is coloured. Pixels darker than 26 (max < 26: ink, dust,
  unscanned areas, where a little noise makes the saturation high) count as
  background;
- the threshold is Otsu's on the histogram of those saturations, kept
  within 20 to 50: glass stays below 20 even when tinted, stained tissue
  lies above 50, and the bounds keep a slide that is all background (Otsu
  would split its noise) or all tissue (Otsu would split lighter from darker
  stain) from being cut in two. --threshold sets it instead (0 to 1);
- tissue is every pixel whose saturation reaches the threshold.

The work runs on a dask.distributed.LocalCluster started for the job (one
single-threaded worker process per core; --workers sets how many) or on an
existing cluster (--scheduler ADDRESS), whose workers must see the slides at
the same paths (shared storage; paths are made absolute). Each task reads
its part of a slide through tqfslide in its worker. Slides are processed
together; a slide that cannot be read (missing, damaged, removed or changed
while the job runs) is reported on standard error and writes nothing, and
the others go on. Files appear whole: each is written under a temporary
name in FOLDER and renamed into place once both files of the slide are
complete.

Exit status: 0 when every slide was processed, 1 when any failed, 2 for bad
arguments or an output folder that cannot be made.
"""

import argparse
import contextlib
import logging
import math
import os
import struct
import sys
import tempfile
import threading
import time
import zlib

import numpy as np

PROGRAM = "tqf tissue-mask"
MASK_DOWNSAMPLE = 32.0
THRESHOLD_BOUNDS = (20, 50)  # of 255
DARK = 26  # of 255
SLIDES_IN_FLIGHT = 8


# -- the detector -------------------------------------------------------------

def saturation(rgb):
    """255 * (max - min) / max of each pixel of an (h, w, 3) uint8 array,
    rounded down, as uint8, and whether each pixel is darker than DARK."""
    red, green, blue = (rgb[..., i] for i in range(3))
    high = np.maximum(np.maximum(red, green), blue).astype(np.uint16)
    low = np.minimum(np.minimum(red, green), blue).astype(np.uint16)
    value = ((high - low) * np.uint16(255) // np.maximum(high, 1)).astype(np.uint8)
    return value, high < DARK


def otsu(histogram):
    """The threshold t (1 to 255) of a 256-bin histogram that splits it into
    [0, t) and [t, 256) with the largest between-class variance."""
    counts = np.asarray(histogram, np.float64)
    total = counts.sum()
    if total == 0:
        return 1
    levels = np.arange(counts.size, dtype=np.float64)
    below = np.cumsum(counts)[:-1]  # pixels below t = 1 ... 255
    above = total - below
    sum_below = np.cumsum(counts * levels)[:-1]
    mean_below = np.divide(sum_below, below, out=np.zeros_like(below), where=below > 0)
    mean_above = np.divide(sum_below[-1] + counts[-1] * levels[-1] - sum_below, above,
                           out=np.zeros_like(above), where=above > 0)
    variance = below * above * (mean_below - mean_above) ** 2
    return int(np.argmax(variance)) + 1


def detect_tissue(rgb, threshold=None):
    """The tissue mask (bool) of an RGB image and the saturation threshold
    (of 255) used: Otsu's within THRESHOLD_BOUNDS unless `threshold` (0 to
    1) is given."""
    value, dark = saturation(rgb)
    if threshold is None:
        low, high = THRESHOLD_BOUNDS
        level = min(max(otsu(np.bincount(value[~dark], minlength=256)), low), high)
    else:
        level = max(1, math.ceil(threshold * 255))
    return (value >= level) & ~dark, level


def tile_fractions(mask, downsample, size, tile):
    """The share of tissue in the mask pixels each tile of full resolution
    covers: (rows, columns) float32 for a full-resolution `size` (w, h) cut
    in `tile` (w, h) tiles."""
    (width, height), (tile_width, tile_height) = size, tile
    integral = np.zeros((mask.shape[0] + 1, mask.shape[1] + 1), np.int64)
    integral[1:, 1:] = np.cumsum(np.cumsum(mask, axis=0, dtype=np.int64), axis=1)

    def spans(extent, step, limit):
        starts = np.arange(0, extent, step)
        ends = np.minimum(starts + step, extent)
        first = np.minimum(np.floor(starts / downsample).astype(np.int64), limit - 1)
        last = np.clip(np.ceil(ends / downsample).astype(np.int64), first + 1, limit)
        return first, last

    top, bottom = spans(height, tile_height, mask.shape[0])
    left, right = spans(width, tile_width, mask.shape[1])
    inside = (integral[bottom[:, None], right[None, :]] - integral[top[:, None], right[None, :]]
              - integral[bottom[:, None], left[None, :]] + integral[top[:, None], left[None, :]])
    area = (bottom - top)[:, None] * (right - left)[None, :]
    return (inside / area).astype(np.float32)


def tile_means(block, tile_height, tile_width):
    """The mean colour of each tile of a block that starts on a tile
    boundary: (rows, columns, 3) float32."""
    height, width = block.shape[:2]
    rows = -(-height // tile_height)
    # Rows of a tile first, into 16 bits (256 x 255 fits), then columns.
    wide = tile_height <= 257
    columns_sum = np.empty((rows, width, 3), np.uint16 if wide else np.uint32)
    for row in range(rows):
        np.sum(block[row * tile_height:(row + 1) * tile_height], axis=0, dtype=columns_sum.dtype,
               out=columns_sum[row])
    sums = np.add.reduceat(columns_sum, np.arange(0, width, tile_width), axis=1, dtype=np.uint64)
    heights = np.minimum(tile_height, height - np.arange(rows) * tile_height)
    widths = np.minimum(tile_width, width - np.arange(0, width, tile_width))
    return (sums / (heights[:, None, None] * widths[None, :, None])).astype(np.float32)


# The tasks, run in the workers.

_scratch = threading.local()


def block_means(reader, top, left, height, width, tile_height, tile_width):
    """The mean colours of the tiles of a block of a level (see tile_means),
    read a row of tiles at a time into a buffer each worker thread keeps: a
    row is summed while its pixels are still in the processor's cache, and
    fresh memory for every read would cost page faults, the more so in dask
    workers, which make the C library give freed memory back at once."""
    size = tile_height * width * 3
    buffer = getattr(_scratch, "buffer", None)
    if buffer is None or buffer.size < size:
        buffer = _scratch.buffer = np.empty(size, np.uint8)
    rows = []
    for row_top in range(top, top + height, tile_height):
        row_height = min(tile_height, top + height - row_top)
        strip = buffer[:row_height * width * 3].reshape(row_height, width, 3)
        reader.read(left, row_top, width, row_height, out=strip)
        rows.append(tile_means(strip, tile_height, tile_width))
    return np.concatenate(rows)


def level_tissue(reader, threshold, size, tile, downsample):
    """The mask of a level read whole (as 0 and 255), the threshold used and
    the tissue fraction of each full-resolution tile."""
    mask, level = detect_tissue(reader.read(0, 0, reader.width, reader.height), threshold)
    return mask.astype(np.uint8) * np.uint8(255), level, tile_fractions(mask, downsample, size, tile)


# -- output -------------------------------------------------------------------

def png_bytes(grey, comment=None):
    """An 8-bit greyscale PNG of a 2-D uint8 array."""
    height, width = grey.shape

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = np.zeros((height, width + 1), np.uint8)  # filter byte 0 before each row
    rows[:, 1:] = grey
    parts = [b"\x89PNG\r\n\x1a\n", chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))]
    if comment:
        parts.append(chunk(b"tEXt", b"Comment\0" + comment.encode("latin-1", "replace")))
    parts += [chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)), chunk(b"IEND", b"")]
    return b"".join(parts)


def csv_text(fractions, means, size, tile):
    (width, height), (tile_width, tile_height) = size, tile
    lines = ["column,row,x,y,width,height,tissue_fraction,mean_red,mean_green,mean_blue"]
    for row in range(fractions.shape[0]):
        y = row * tile_height
        for column in range(fractions.shape[1]):
            x = column * tile_width
            red, green, blue = means[row, column]
            lines.append(f"{column},{row},{x},{y},{min(tile_width, width - x)},{min(tile_height, height - y)},"
                         f"{fractions[row, column]:.4f},{red:.2f},{green:.2f},{blue:.2f}")
    return "\n".join(lines) + "\n"


def write_together(files):
    """Writes {path: bytes} so that each file appears whole or not at all:
    under temporary names in the same folder first, renamed when all are
    written."""
    written = []
    try:
        for path, data in files.items():
            folder, name = os.path.split(path)
            handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or ".")
            written.append((temporary, path))
            with os.fdopen(handle, "wb") as stream:
                stream.write(data)
                stream.flush()
                os.fsync(stream.fileno())
            os.chmod(temporary, 0o666 & ~_umask())
        for temporary, path in written:
            os.replace(temporary, path)
        written = []
    finally:
        for temporary, _ in written:
            with contextlib.suppress(OSError):
                os.unlink(temporary)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def output_names(folder, path):
    stem = os.path.basename(path)
    if stem.lower().endswith(".tqf"):
        stem = stem[:-4]
    return os.path.join(folder, f"{stem}-tissue-mask.png"), os.path.join(folder, f"{stem}-tiles.csv")


# -- the job ------------------------------------------------------------------

# The side of the block of full-resolution tiles one task reads: 16 x 16
# tiles, so that a 100,000-pixel slide makes about 600 tasks and the
# scheduler's work per task (a millisecond or two of its own processor
# time, on the machines the workers run on when the cluster is local) stays
# small beside the task's.
JOB_BLOCK = 4096


class _SlideJob:
    """The futures of one slide: the tile means of full resolution, a block
    of tiles each, and the mask at a low level."""

    def __init__(self, client, path, args):
        from .dask_array import LevelReader, chunk_boxes, normalize_chunks
        from ._slide import Slide

        self.path = path
        self.error = None
        # Every tile is read once: a cache of decoded tiles would only take
        # memory in the workers.
        with Slide(path, num_threads=1, cache_size=0) as slide:
            self.size = slide.dimensions
            self.tile = slide.level_tile_sizes[0]
            self.mask_level = slide.get_best_level_for_downsample(args.mask_downsample)
            self.mask_downsample = slide.level_downsamples[self.mask_level]
            # The readers and the chunks of Slide.to_dask.
            full = LevelReader.of(slide, 0)
            low = LevelReader.of(slide, self.mask_level)
        tile_width, tile_height = self.tile
        self.boxes = chunk_boxes(normalize_chunks((JOB_BLOCK, JOB_BLOCK), full.shape, self.tile))
        count = len(self.boxes)
        self.futures = client.map(block_means, [full] * count, *zip(*self.boxes), [tile_height] * count,
                                  [tile_width] * count)
        self.futures.append(client.submit(level_tissue, low, args.threshold, self.size, self.tile,
                                          self.mask_downsample))
        self.pending = set(self.futures)

    def results(self, client):
        """(mask, threshold, fractions, means) once every future is done."""
        values = client.gather(self.futures)
        mask, threshold, fractions = values[-1]
        tile_width, tile_height = self.tile
        means = np.empty(fractions.shape + (3,), np.float32)
        for (top, left, _, _), block in zip(self.boxes, values[:-1]):
            row, column = top // tile_height, left // tile_width
            means[row:row + block.shape[0], column:column + block.shape[1]] = block
        return mask, threshold, fractions, means


class _Progress:
    """A one-line count of finished slides and tasks on standard error, on a
    terminal only."""

    def __init__(self, slides, stream):
        self.slides, self.stream = slides, stream
        self.slides_done = self.tasks_done = 0
        self.shown = 0.0
        self.active = stream.isatty()

    def task_done(self):
        self.tasks_done += 1
        self._show()

    def slide_done(self):
        self.slides_done += 1
        self._show(force=True)

    def _show(self, force=False):
        now = time.monotonic()
        if self.active and (force or now - self.shown > 0.1):
            self.shown = now
            self.stream.write(f"\r{PROGRAM}: {self.slides_done}/{self.slides} slides done, "
                              f"{self.tasks_done} tasks")
            self.stream.flush()

    def clear(self):
        if self.active and self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

    def say(self, text, stream):
        self.clear()
        print(text, file=stream, flush=True)
        self.shown = 0.0
        self._show(force=True)


def _describe(error):
    return f"{type(error).__name__}: {error}"


@contextlib.contextmanager
def _client(args):
    from distributed import Client, LocalCluster

    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout=args.timeout)
        except (OSError, TimeoutError) as error:
            raise _JobError(f"cannot reach the dask scheduler at {args.scheduler}: {error}") from None
        with client:
            yield client
        return
    workers = args.workers or os.cpu_count() or 1
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        yield client


class _JobError(Exception):
    pass


def run(args):
    """Runs the job for parsed arguments; returns the exit status."""
    if args.scheduler and args.workers:
        print(f"{PROGRAM}: error: --workers applies to the local cluster only, not with --scheduler",
              file=sys.stderr)
        return 2
    paths = [os.path.abspath(os.fsdecode(path)) for path in args.slides]
    outputs = {}
    for path in paths:
        for name in output_names(args.output, path):
            if name in outputs:
                print(f"{PROGRAM}: error: {outputs[name]} and {path} would both write {name}", file=sys.stderr)
                return 2
            outputs[name] = path
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as error:
        print(f"{PROGRAM}: error: cannot make the output folder {args.output!r}: {error}", file=sys.stderr)
        return 2

    try:
        with _client(args) as client:
            failures = _process(client, paths, args)
    except _JobError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    return 1 if failures else 0


def _process(client, paths, args):
    """Runs the slides through the cluster, a few at a time; returns how
    many failed."""
    from distributed import as_completed

    from ._errors import TqfError

    waiting = list(reversed(paths))
    running = {}  # future key -> its slide's job
    finished = as_completed()
    progress = _Progress(len(paths), sys.stderr)
    failures = 0

    def submit():
        nonlocal failures
        # Enough slides at once to keep every worker busy; not all of them,
        # so that thousands of slides do not flood the scheduler.
        while waiting and len({id(job) for job in running.values()}) < SLIDES_IN_FLIGHT:
            path = waiting.pop()
            try:
                job = _SlideJob(client, path, args)
            except (OSError, TqfError, ValueError) as error:
                failures += 1
                progress.slide_done()
                progress.say(f"{PROGRAM}: error: {path}: {_describe(error)}", sys.stderr)
                continue
            for future in job.futures:
                running[future.key] = job
                finished.add(future)

    submit()
    for future in finished:
        job = running.pop(future.key)
        job.pending.discard(future)
        if future.status == "error" and job.error is None:
            job.error = future.exception()
            client.cancel(list(job.pending))
        progress.task_done()
        if job.pending:
            continue
        progress.slide_done()
        if job.error is not None:
            failures += 1
            progress.say(f"{PROGRAM}: error: {job.path}: {_describe(job.error)}", sys.stderr)
        else:
            try:
                progress.say(_write(job, client, args.output), sys.stdout)
            except OSError as error:
                failures += 1
                progress.say(f"{PROGRAM}: error: {job.path}: cannot write the results: {error}", sys.stderr)
        job.futures = None  # lets the cluster drop the slide's results
        submit()
    progress.clear()
    return failures


def _write(job, client, folder):
    mask, threshold, fractions, means = job.results(client)
    mask_name, csv_name = output_names(folder, job.path)
    comment = (f"tissue mask of {os.path.basename(job.path)}: level {job.mask_level}, downsample "
               f"{job.mask_downsample:g}, saturation threshold {threshold}/255")
    write_together({mask_name: png_bytes(mask, comment),
                    csv_name: csv_text(fractions, means, job.size, job.tile).encode()})
    with_tissue = int((fractions > 0).sum())
    return (f"{job.path}: {with_tissue} of {fractions.size} tiles with tissue (threshold {threshold}/255); "
            f"wrote {mask_name} and {csv_name}")


# -- the command line ---------------------------------------------------------

def _fraction(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most 1, got {text}")
    return value


def _positive(kind):
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0 or (kind is float and not math.isfinite(value)):
            raise argparse.ArgumentTypeError(f"must be positive, got {text}")
        return value
    return parse


_DESCRIPTION = ("Writes, for each slide, a tissue mask PNG at a low level and a CSV of the tissue fraction and "
                "mean colour of every full-resolution tile, computed on a local dask.distributed cluster or "
                "on an existing one (--scheduler).")
_EPILOG = ("Tissue: pixels of the mask level whose saturation 255*(max-min)/max reaches Otsu's threshold (kept "
           "within 20-50 of 255); pixels darker than 26 are background. With --scheduler, this machine and "
           "every worker must see the slides at the same paths. Exit status: 0 all slides done, 1 some "
           "failed, 2 bad arguments.")


def add_parser(subparsers):
    """Adds the "tissue-mask" command to an argparse subparsers object."""
    parser = subparsers.add_parser("tissue-mask", help="tissue masks and per-tile statistics of slides, on a "
                                   "dask cluster", description=_DESCRIPTION, epilog=_EPILOG)
    _arguments(parser)
    parser.set_defaults(func=run)
    return parser


def _arguments(parser):
    parser.add_argument("slides", nargs="+", metavar="SLIDE", help=".tqf slides")
    parser.add_argument("-o", "--output", required=True, metavar="FOLDER",
                        help="folder for NAME-tissue-mask.png and NAME-tiles.csv (made if missing)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="the address of a running dask scheduler (e.g. tcp://10.0.0.5:8786) whose "
                             "workers see the slides at the same paths; default: a local cluster")
    parser.add_argument("--workers", type=_positive(int), metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--mask-downsample", type=_positive(float), default=MASK_DOWNSAMPLE, metavar="D",
                        help="the mask is made at the level OpenSlide's rule picks for this downsample "
                             "(default %(default)g)")
    parser.add_argument("--threshold", type=_fraction, metavar="S",
                        help="saturation (0 to 1] at and above which a pixel is tissue (default: Otsu's)")
    parser.add_argument("--timeout", type=_positive(float), default=30.0, metavar="SECONDS",
                        help="how long to try to reach the scheduler (default %(default)g)")


def main(argv=None):
    """The command on its own: python3 -m tqfslide.tissue_mask SLIDE... -o FOLDER."""
    parser = argparse.ArgumentParser(prog="python3 -m tqfslide.tissue_mask", description=_DESCRIPTION,
                                     epilog=_EPILOG)
    _arguments(parser)
    return run(parser.parse_args(argv))


if __name__ == "__main__":
    # Run from the package's module, not from __main__: the tasks must be
    # functions that workers import by name.
    from tqfslide.tissue_mask import main as package_main
    sys.exit(package_main())
