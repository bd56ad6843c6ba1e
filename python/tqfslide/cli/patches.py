"""tqf patches: the grid of patches over the tissue of every slide of a
cohort, computed on a dask.distributed cluster.

    tqf patches SLIDE... --size 256 --mpp 0.5 --min-tissue 0.5 -o FOLDER
    tqf patches SLIDE... --size 256 --level 1 -o FOLDER --scheduler tcp://host:8786

For each slide NAME.tqf it writes to FOLDER:

NAME-patches.csv
    One row per patch, row by row from the slide's top-left corner: x, y
    (the patch's top-left corner in full-resolution pixels, as
    Slide.read_region and read_region_at take it), tissue_fraction, and
    mean_red, mean_green, mean_blue (its mean colour in the pixels of the
    tissue mask's level).
NAME-patches.h5
    The same as HDF5 (python3-h5py): datasets "locations" (N, 2) int64,
    "tissue_fraction" (N,) float32 and "mean_colour" (N, 3) float32, and
    attributes naming the slide and how the grid was made (size, stride,
    mpp or level, downsample, min_tissue, the slide's dimensions and
    microns per pixel, the mask's level and threshold).

The patches are those of tqfslide.tissue.patch_grid: `--size` pixels of
`--level` or at `--mpp` microns per pixel, `--stride` apart (default: the
size), wholly within the slide, with at least `--min-tissue` of tissue
in the mask (tqfslide.tissue.tissue_mask). A slide without a measured
resolution fails with --mpp unless --allow-nominal-mpp.

Each slide is one task of the cluster (a LocalCluster started for the job,
one single-threaded worker process per core, or --scheduler ADDRESS, whose
workers must see the slides at the same paths). The files of a slide are
written here once its task is done, under temporary names renamed into
place together: each file is whole or absent. A worker that dies (kill -9,
out of memory) loses nothing: the scheduler runs its task again on another
worker, and the slide is written once. A slide whose files are all there is
done: a rerun skips it unless --overwrite.

Exit status: 0 when every slide is done, 1 when any failed, 2 for bad
arguments or an output folder that cannot be made.
"""

import argparse
import concurrent.futures
import importlib.util
import os
import sys
import uuid

from .._errors import NoResolutionError
from .._files import write_files
from .._slide_pool import file_identity
from ..tissue import _cluster
from ._arguments import fraction, int_between, positive_float, positive_int
from ._dask import JobError, cluster_client
from ._progress import Progress

PROGRAM = "tqf patches"
FORMATS = {"csv": "-patches.csv", "hdf5": "-patches.h5"}
# Slides whose files are being written at once.
WRITERS = 4


def output_names(folder, path, formats):
    stem = os.path.basename(path)
    if stem.lower().endswith(".tqf"):
        stem = stem[:-4]
    return {kind: os.path.join(folder, stem + FORMATS[kind]) for kind in formats}


def csv_bytes(locations, fractions, means):
    lines = ["x,y,tissue_fraction,mean_red,mean_green,mean_blue"]
    for (x, y), share, (red, green, blue) in zip(locations.tolist(), fractions.tolist(), means.tolist()):
        lines.append(f"{x},{y},{share:.4f},{red:.2f},{green:.2f},{blue:.2f}")
    return ("\n".join(lines) + "\n").encode()


def hdf5_writer(locations, fractions, means, attributes):
    def write(stream):
        import h5py  # python3-h5py: only for this output

        with h5py.File(stream, "w") as table:
            table.create_dataset("locations", data=locations)
            table.create_dataset("tissue_fraction", data=fractions)
            table.create_dataset("mean_colour", data=means)
            for name, value in attributes.items():
                table.attrs[name] = value
    return write


def _attributes(path, args, facts):
    attributes = {"slide": path, "size": list(args.size), "stride": list(args.stride or args.size),
                  "min_tissue": args.min_tissue, "downsample": facts["downsample"],
                  "slide_dimensions": list(facts["dimensions"]), "slide_mpp": facts["slide_mpp"],
                  "mask_level": facts["mask_level"], "mask_downsample": facts["mask_downsample"],
                  "saturation_threshold": facts["threshold"]}
    if args.mpp is not None:
        attributes["mpp"] = args.mpp
    else:
        attributes["level"] = args.level
    return attributes


def _write(path, args, result):
    locations, fractions, means, facts = result
    names = output_names(args.output, path, args.formats)
    files = {}
    if "csv" in names:
        files[names["csv"]] = csv_bytes(locations, fractions, means)
    if "hdf5" in names:
        files[names["hdf5"]] = hdf5_writer(locations, fractions, means, _attributes(path, args, facts))
    write_files(files)
    return f"{path}: {len(locations)} patches; wrote {' and '.join(names.values())}"


def _describe(error):
    text = f"{type(error).__name__}: {error}"
    if isinstance(error, NoResolutionError):
        text += " (--allow-nominal-mpp)"
    return text


def run(args):
    """Runs the job for parsed arguments; returns the exit status."""
    if args.mpp is None and args.level is None:
        args.level = 0
    if isinstance(args.formats, str):
        args.formats = ["csv", "hdf5"] if args.formats == "both" else [args.formats]
    if args.scheduler and args.workers:
        print(f"{PROGRAM}: error: --workers applies to the local cluster only, not with --scheduler",
              file=sys.stderr)
        return 2
    if "hdf5" in args.formats:
        if importlib.util.find_spec("h5py") is None:  # say so before the cluster starts
            print(f"{PROGRAM}: error: HDF5 output needs h5py (apt install python3-h5py), or give --format csv",
                  file=sys.stderr)
            return 2
    paths = [os.path.abspath(os.fsdecode(path)) for path in args.slides]
    outputs: dict[str, str] = {}
    for path in paths:
        for name in output_names(args.output, path, args.formats).values():
            if name in outputs and outputs[name] != path:
                print(f"{PROGRAM}: error: {outputs[name]} and {path} would both write {name}", file=sys.stderr)
                return 2
            outputs[name] = path
    paths = list(dict.fromkeys(paths))  # a slide named twice is done once
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as error:
        print(f"{PROGRAM}: error: cannot make the output folder {args.output!r}: {error}", file=sys.stderr)
        return 2
    waiting = []
    for path in paths:
        if not args.overwrite and all(os.path.exists(name)
                                      for name in output_names(args.output, path, args.formats).values()):
            print(f"{path}: done already (--overwrite does it again)", flush=True)
        else:
            waiting.append(path)
    if not waiting:
        return 0
    try:
        with cluster_client(args) as client:
            failures = _process(client, waiting, args)
    except JobError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    return 1 if failures else 0


def _written(writes, progress, *, wait):
    """Reports the writes that are done (all of them, waiting, with wait);
    returns how many failed."""
    done = concurrent.futures.wait(writes)[0] if wait else [w for w in writes if w.done()]
    failures = 0
    for write in done:
        path = writes.pop(write)
        try:
            progress.say(write.result(), sys.stdout)
        except OSError as error:
            failures += 1
            progress.say(f"{PROGRAM}: error: {path}: cannot write the results: {error}", sys.stderr)
    return failures


def _process(client, paths, args):
    """Runs the slides through the cluster; returns how many failed."""
    from distributed import as_completed

    progress = Progress(PROGRAM, len(paths), sys.stderr)
    failures = 0
    futures = {}  # future -> its slide
    for path in paths:
        try:
            stamp = file_identity(path).stamp
        except OSError as error:
            failures += 1
            progress.slide_done()
            progress.say(f"{PROGRAM}: error: {path}: {_describe(error)}", sys.stderr)
            continue
        # A new key per slide and run, so that a slide rewritten between
        # runs is never served a result the cluster still holds.
        future = client.submit(_cluster.slide_patches, path, stamp, args.size, mpp=args.mpp, level=args.level,
                               stride=args.stride, min_tissue=args.min_tissue, threshold=args.threshold,
                               allow_nominal_mpp=args.allow_nominal_mpp, pure=False,
                               key=f"slide_patches-{os.path.basename(path)}-{uuid.uuid4().hex}")
        futures[future] = path
    # Files are written on threads of their own (most of a write is waiting
    # for the disk to sync), while the next results come in.
    writes = {}  # write -> its slide
    with concurrent.futures.ThreadPoolExecutor(max_workers=WRITERS) as writer:
        for future in as_completed(list(futures)):
            path = futures.pop(future)
            progress.slide_done()
            try:
                result = future.result()
            except Exception as error:  # noqa: BLE001 (this slide fails, the job goes on)
                failures += 1
                progress.say(f"{PROGRAM}: error: {path}: {_describe(error)}", sys.stderr)
                continue
            finally:
                future.release()
            writes[writer.submit(_write, path, args, result)] = path
            failures += _written(writes, progress, wait=False)
        failures += _written(writes, progress, wait=True)
    progress.clear()
    return failures


# -- the command line ---------------------------------------------------------

_DESCRIPTION = ("Writes, for each slide, the grid of patches over its tissue (level-0 x, y, tissue fraction, "
                "mean colour) as CSV and HDF5, computed on a local dask.distributed cluster or on an existing "
                "one (--scheduler).")
_EPILOG = ("Files appear whole or not at all; a slide whose files exist is skipped unless --overwrite. With "
           "--scheduler, this machine and every worker must see the slides at the same paths. Exit status: 0 "
           "all slides done, 1 some failed, 2 bad arguments.")


def _size(text):
    parts = text.lower().split("x")
    if len(parts) > 2:
        raise ValueError(text)
    values = [positive_int(part) for part in parts]
    return (values[0], values[-1])


_size.__name__ = "size"


def _share(text):
    """A number from 0 to 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be 0 to 1, got {text}")
    return value


def add_parser(subparsers):
    """Adds the "patches" command to an argparse subparsers object."""
    parser = subparsers.add_parser("patches", help="patch grids over the tissue of slides, on a dask cluster",
                                   description=_DESCRIPTION, epilog=_EPILOG)
    _arguments(parser)
    parser.set_defaults(func=run)
    return parser


def _arguments(parser):
    parser.add_argument("slides", nargs="+", metavar="SLIDE", help=".tqf slides")
    parser.add_argument("-o", "--output", required=True, metavar="FOLDER",
                        help="folder for NAME-patches.csv and NAME-patches.h5 (made if missing)")
    parser.add_argument("--size", type=_size, required=True, metavar="N[xM]",
                        help="patch size in pixels of the resolution read: N for a square, or WxH")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--mpp", type=positive_float, metavar="MICRONS",
                       help="read patches at this many microns per pixel (default: --level 0)")
    where.add_argument("--level", type=int_between(0, 1000), metavar="N", help="read patches of this stored level")
    parser.add_argument("--stride", type=_size, metavar="N[xM]", help="step between patches (default: the size)")
    parser.add_argument("--min-tissue", type=_share, default=0.5, metavar="F",
                        help="the least share of tissue a patch has, 0 to 1 (default %(default)g)")
    parser.add_argument("--threshold", type=fraction, metavar="S",
                        help="saturation (0 to 1] at and above which a pixel is tissue (default: Otsu's)")
    parser.add_argument("--allow-nominal-mpp", action="store_true",
                        help="with --mpp, take 10 / magnification for slides that record no resolution")
    parser.add_argument("--format", dest="formats", choices=["csv", "hdf5", "both"], default="both",
                        help="files to write (default: both)")
    parser.add_argument("--overwrite", action="store_true", help="redo slides whose files exist")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="the address of a running dask scheduler whose workers see the slides at the same "
                             "paths; default: a local cluster")
    parser.add_argument("--workers", type=positive_int, metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--timeout", type=positive_float, default=30.0, metavar="SECONDS",
                        help="how long to try to reach the scheduler (default %(default)g)")
