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

Tissue is what tqfslide.tissue.detect_tissue finds on the RGB pixels of the
mask level: pixels whose saturation 255 * (max - min) / max reaches Otsu's
threshold, kept within 20 to 50 (--threshold sets it instead, 0 to 1);
pixels darker than 26 are background.

The work runs on a dask.distributed.LocalCluster started for the job (one
single-threaded worker process per core; --workers sets how many) or on an
existing cluster (--scheduler ADDRESS), whose workers must see the slides at
the same paths (shared storage; paths are made absolute). Each task reads
its part of a slide through tqfslide in its worker (tqfslide.tissue._cluster).
Slides are processed together; a slide that cannot be read (missing,
damaged, removed or changed while the job runs) is reported on standard
error and writes nothing, and the others go on. Files appear whole: each is
written under a temporary name in FOLDER and renamed into place once both
files of the slide are complete.

Exit status: 0 when every slide was processed, 1 when any failed, 2 for bad
arguments or an output folder that cannot be made.
"""

import argparse
import contextlib
import logging
import os
import struct
import sys
import zlib
from typing import Any

import numpy as np

from .._files import write_files
from ..tissue import _cluster
from ._arguments import fraction, positive_float, positive_int
from ._progress import Progress

PROGRAM = "tqf tissue-mask"
MASK_DOWNSAMPLE = 32.0


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


def output_names(folder, path):
    stem = os.path.basename(path)
    if stem.lower().endswith(".tqf"):
        stem = stem[:-4]
    return os.path.join(folder, f"{stem}-tissue-mask.png"), os.path.join(folder, f"{stem}-tiles.csv")


def _write(result, folder):
    mask_name, csv_name = output_names(folder, result.path)
    comment = (f"tissue mask of {os.path.basename(result.path)}: level {result.mask_level}, downsample "
               f"{result.mask_downsample:g}, saturation threshold {result.threshold}/255")
    write_files({mask_name: png_bytes(result.mask, comment),
                 csv_name: csv_text(result.fractions, result.means, result.size, result.tile).encode()})
    with_tissue = int((result.fractions > 0).sum())
    return (f"{result.path}: {with_tissue} of {result.fractions.size} tiles with tissue (threshold "
            f"{result.threshold}/255); wrote {mask_name} and {csv_name}")


# -- the run ------------------------------------------------------------------

def _describe(error):
    return f"{type(error).__name__}: {error}"


class _JobError(Exception):
    pass


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


def run(args):
    """Runs the job for parsed arguments; returns the exit status."""
    if args.scheduler and args.workers:
        print(f"{PROGRAM}: error: --workers applies to the local cluster only, not with --scheduler",
              file=sys.stderr)
        return 2
    paths = [os.path.abspath(os.fsdecode(path)) for path in args.slides]
    outputs: dict[str, Any] = {}
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
    """Runs the slides through the cluster; returns how many failed."""
    progress = Progress(PROGRAM, len(paths), sys.stderr)
    failures = 0
    for result in _cluster.tissue_of_slides(client, paths, mask_downsample=args.mask_downsample,
                                            threshold=args.threshold, task_done=progress.task_done):
        progress.slide_done()
        if result.error is not None:
            failures += 1
            progress.say(f"{PROGRAM}: error: {result.path}: {_describe(result.error)}", sys.stderr)
            continue
        try:
            progress.say(_write(result, args.output), sys.stdout)
        except OSError as error:
            failures += 1
            progress.say(f"{PROGRAM}: error: {result.path}: cannot write the results: {error}", sys.stderr)
    progress.clear()
    return failures


# -- the command line ---------------------------------------------------------

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
    parser.add_argument("--workers", type=positive_int, metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--mask-downsample", type=positive_float, default=MASK_DOWNSAMPLE, metavar="D",
                        help="the mask is made at the level OpenSlide's rule picks for this downsample "
                             "(default %(default)g)")
    parser.add_argument("--threshold", type=fraction, metavar="S",
                        help="saturation (0 to 1] at and above which a pixel is tissue (default: Otsu's)")
    parser.add_argument("--timeout", type=positive_float, default=30.0, metavar="SECONDS",
                        help="how long to try to reach the scheduler (default %(default)g)")


def main(argv=None):
    """The command on its own: python3 -m tqfslide.tissue_mask SLIDE... -o FOLDER."""
    parser = argparse.ArgumentParser(prog="python3 -m tqfslide.tissue_mask", description=_DESCRIPTION,
                                     epilog=_EPILOG)
    _arguments(parser)
    return run(parser.parse_args(argv))
