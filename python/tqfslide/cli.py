"""The `tqf` command: facts, regions, thumbnails and associated images of
.tqf slides, the converter, and the viewer.

    tqf info SLIDE [--json]
    tqf region SLIDE X Y W H [--level N | --downsample D | --magnification M] -o OUT
    tqf thumbnail SLIDE -o OUT [--size N]
    tqf associated SLIDE NAME -o OUT
    tqf convert [OPTIONS] INPUT OUTPUT.tqf        (tqf-convert)
    tqf export [OPTIONS] SLIDE OUTPUT.tiff        (tqf-convert --export-tiff)
    tqf serve PATH [--host 127.0.0.1] [--port 8000]

Exit status: 0 on success, 1 for a failure (one line on standard error
naming the input and the cause), 2 for a usage error.
"""

import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile

from . import tissue_mask
from ._version import __version__

IMAGE_FORMATS = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG", ".tif": "TIFF", ".tiff": "TIFF"}
# Largest region written as one image: 768 MiB of RGB. Beyond it a typo in
# W or H would have the machine swap (or the kernel end the process) before
# any image library refused it.
MAX_REGION_PIXELS = 1 << 28


class Failure(Exception):
    """A failure of a command, reported as one line and exit status 1."""


# -- helpers ------------------------------------------------------------------


def _open_slide(path):
    import tqfslide

    return tqfslide.open(path)


def _output_path(parser, path):
    """The output file's image format from its name; a usage error when the
    name has no known image suffix."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in IMAGE_FORMATS:
        parser.error(f"the output {path!r} must end in one of {', '.join(sorted(IMAGE_FORMATS))}")
    return path


def _save(pixels, path):
    """Writes an RGB array to `path` in the format its suffix names, through
    a temporary file beside it, so a failure leaves no partial image."""
    from PIL import Image

    image_format = IMAGE_FORMATS[os.path.splitext(path)[1].lower()]
    options = {"quality": 90} if image_format == "JPEG" else {}
    if image_format == "TIFF":
        options = {"compression": "tiff_deflate"}
    directory = os.path.dirname(os.path.abspath(path))
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=".tqf-", suffix=".part", dir=directory)
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror}") from None
    try:
        with os.fdopen(descriptor, "wb") as f:
            Image.fromarray(pixels, "RGB").save(f, image_format, **options)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except OSError as e:
        _remove(temporary)
        raise Failure(f"cannot write {path}: {e.strerror or e}") from None
    except BaseException:
        _remove(temporary)
        raise


def _remove(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _number(value):
    return int(value) if float(value) == int(value) else value


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _int_between(low, high):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high}, got {value}")
        return value

    return parse


def _positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (value > 0 and value != float("inf")):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


# -- commands -----------------------------------------------------------------


def _facts(slide):
    props = slide.properties
    scan_time = props.get("tqf.scanTime")
    facts = {
        "path": slide.path,
        "vendor": "tqf",
        "dimensions": list(slide.dimensions),
        "magnification": _number(slide.magnification),
        "mpp": list(slide.mpp) if slide.mpp else None,
        "compression": props.get("tqf.compressType"),
        "scan_time": None,
        "levels": [
            {"level": i, "magnification": _number(m), "downsample": _number(d), "width": w, "height": h,
             "tile_width": tw, "tile_height": th}
            for i, (m, d, (w, h), (tw, th)) in enumerate(zip(slide.level_magnifications, slide.level_downsamples,
                                                            slide.level_dimensions, slide.level_tile_sizes))
        ],
        "associated_images": sorted(slide.associated_images),
        "properties": dict(props),
    }
    try:
        seconds = int(scan_time) if scan_time is not None else 0
        if seconds > 0:
            facts["scan_time"] = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()
    except (ValueError, OverflowError, OSError):
        pass
    return facts


def _one_line(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def cmd_info(args):
    with _open_slide(args.slide) as slide:
        facts = _facts(slide)
    if args.json:
        json.dump(facts, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    width, height = facts["dimensions"]
    mpp = facts["mpp"]
    lines = [
        facts["path"],
        f"  dimensions:        {width} x {height} pixels",
        f"  magnification:     {facts['magnification']}x",
        f"  microns per pixel: {f'{mpp[0]:g} x {mpp[1]:g}' if mpp else 'not recorded'}",
        f"  compression:       {facts['compression'] or 'unknown'}",
        f"  scan time:         {facts['scan_time'] or 'not recorded'}",
        f"  associated images: {', '.join(facts['associated_images']) or 'none'}",
        "  levels:",
        "    level  magnification  downsample       width x height  tile",
    ]
    for level in facts["levels"]:
        lines.append(f"    {level['level']:>5}  {level['magnification']:>12}x  {level['downsample']:>10}  "
                     f"{level['width']:>10} x {level['height']:<7} {level['tile_width']} x {level['tile_height']}")
    lines.append("  properties:")
    # One line each: a source's descriptions may run over several.
    lines.extend(f"    {name} = {_one_line(value)}" for name, value in facts["properties"].items())
    print("\n".join(lines))
    return 0


def cmd_region(args):
    if args.width * args.height > MAX_REGION_PIXELS:
        raise Failure(f"{args.slide}: a region of {args.width} x {args.height} pixels is more than one image "
                      f"may hold here ({MAX_REGION_PIXELS:,} pixels); read it in parts")
    with _open_slide(args.slide) as slide:
        location, size = (args.x, args.y), (args.width, args.height)
        if args.downsample is not None:
            pixels = slide.read_region_at(location, size, downsample=args.downsample)
        elif args.magnification is not None:
            pixels = slide.read_region_at(location, size, magnification=args.magnification)
        else:
            pixels = slide.read_region(location, args.level, size)
    _save(pixels, args.output)
    return 0


def cmd_thumbnail(args):
    with _open_slide(args.slide) as slide:
        pixels = slide.get_thumbnail((args.size, args.size))
    _save(pixels, args.output)
    return 0


def cmd_associated(args):
    with _open_slide(args.slide) as slide:
        names = sorted(slide.associated_images)
        if args.name not in names:
            raise Failure(f"{args.slide}: no associated image {args.name!r} (it has: {', '.join(names) or 'none'})")
        pixels = slide.associated_images[args.name]
    _save(pixels, args.output)
    return 0


def cmd_serve(args):
    from . import viewer

    access_log = (lambda line: (sys.stderr.write(line), sys.stderr.flush())) if args.access_log else None
    if not viewer.is_loopback(args.host):
        print(f"tqf serve: listening on {args.host}: anyone who can reach this machine can read these slides",
              file=sys.stderr)
    try:
        viewer.serve(args.path, args.host, args.port, threads=args.threads, quality=args.quality,
                     max_open=args.max_open, cache_size=args.cache_mb << 20, access_log=access_log)
    except OSError as e:
        if e.filename is not None:
            raise
        raise Failure(f"cannot listen on {args.host}:{args.port}: {e.strerror or e}") from None
    return 0


def converter_program():
    """tqf-convert: $TQF_CONVERT, beside the package in a build folder, or on
    PATH (where the package installs it)."""
    candidates = [os.environ.get("TQF_CONVERT"),
                  os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tqf-convert"),
                  shutil.which("tqf-convert")]
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    raise Failure("cannot find the tqf-convert program (set TQF_CONVERT, or put it on PATH)")


def run_converter(command, arguments):
    try:
        program = converter_program()
    except Failure as e:
        print(f"tqf {command}: {e}", file=sys.stderr)
        return 1
    if command == "export":
        arguments = ["--export-tiff", *arguments]
    try:
        return subprocess.call([program, *arguments])
    except KeyboardInterrupt:
        return 130


# -- the parser ---------------------------------------------------------------


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tqf",
        description="Look at .tqf whole-slide images: facts, regions, thumbnails and associated images, "
                    "conversion, and a viewer in the browser.",
        epilog="Coordinates are pixels of full resolution (level 0); sizes are pixels of the level read. "
               "Run 'tqf COMMAND --help' for a command's options.")
    parser.add_argument("--version", action="version", version=f"tqf {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    p = commands.add_parser("info", help="print a slide's dimensions, levels and properties",
                            description="Prints a slide's dimensions, magnification, microns per pixel, levels, "
                                        "associated images and properties.")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("--json", action="store_true", help="print them as JSON")
    p.set_defaults(func=cmd_info)

    p = commands.add_parser("region", help="write a region of a slide to an image file",
                            description="Writes the region whose top-left corner lies at X, Y (pixels of full "
                                        "resolution) and that is W x H pixels of the level read. Parts outside "
                                        "the slide are white.")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("x", metavar="X", type=int)
    p.add_argument("y", metavar="Y", type=int)
    p.add_argument("width", metavar="W", type=_positive_int)
    p.add_argument("height", metavar="H", type=_positive_int)
    scale = p.add_mutually_exclusive_group()
    scale.add_argument("--level", "-l", type=_int_between(0, 1000), default=0,
                       help="the stored level to read (default 0, full resolution)")
    scale.add_argument("--downsample", "-d", type=_positive_float,
                       help="any downsample: full-resolution pixels per output pixel")
    scale.add_argument("--magnification", "-m", type=_positive_float,
                       help="any magnification, e.g. 10 on a 40x slide is downsample 4")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="a .png, .jpg or .tif file")
    p.set_defaults(func=cmd_region)

    p = commands.add_parser("thumbnail", help="write a thumbnail of a whole slide",
                            description="Writes the whole slide shrunk to fit SIZE x SIZE pixels.")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="a .png, .jpg or .tif file")
    p.add_argument("--size", "-s", type=_int_between(1, 16384), default=512,
                   help="the longer side in pixels (default 512)")
    p.set_defaults(func=cmd_thumbnail)

    p = commands.add_parser("associated", help="write a slide's label or macro image",
                            description="Writes one of the slide's associated images (label, macro).")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("name", metavar="NAME", help="label or macro")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="a .png, .jpg or .tif file")
    p.set_defaults(func=cmd_associated)

    # Run by run_converter with their arguments untouched; here for the help.
    commands.add_parser("convert", add_help=False, help="make a .tqf slide from another image (tqf-convert); "
                        "'tqf convert --help' for its options")
    commands.add_parser("export", add_help=False, help="write a slide as a tiled pyramidal TIFF "
                        "(tqf-convert --export-tiff)")

    p = commands.add_parser("serve", help="view slides in the browser",
                            description="Serves the .tqf slides under PATH (a folder, searched recursively, or "
                                        "one slide) to the browser: a list of the slides and a Deep Zoom viewer "
                                        "for each. Only this machine can connect unless --host says otherwise.")
    p.add_argument("path", metavar="PATH", help="a folder of slides or one slide")
    p.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    p.add_argument("--port", "-p", type=_int_between(0, 65535), default=8000,
                   help="the port (default 8000; 0 picks a free one)")
    p.add_argument("--threads", type=_int_between(1, 256), default=None,
                   help="threads making tiles (default: one per processor)")
    p.add_argument("--quality", "-q", type=_int_between(1, 100), default=75, help="JPEG quality of the tiles "
                   "(default 75)")
    p.add_argument("--max-open", type=_int_between(1, 1000), default=8,
                   help="slides kept open at once (default 8)")
    p.add_argument("--cache-mb", type=_int_between(0, 1 << 20), default=32,
                   help="decoded-tile cache of each open slide in MiB (default 32)")
    p.add_argument("--access-log", action="store_true", help="print a line for each request on standard error")
    p.set_defaults(func=cmd_serve)

    tissue_mask.add_parser(commands)
    parser.commands = commands.choices
    return parser


def _input_of(args):
    for name in ("slide", "path", "input"):
        value = getattr(args, name, None)
        if isinstance(value, str):
            return value
    return None


def _failure_line(args, error):
    """One line naming the input and the cause."""
    where = _input_of(args)
    if isinstance(error, OSError) and error.strerror:
        name = error.filename if error.filename is not None else where
        return f"{name}: {error.strerror}" if name else error.strerror
    message = str(error) or type(error).__name__
    if isinstance(error, MemoryError):
        message = "not enough memory for the request"
    if where and where not in message:
        return f"{where}: {message}"
    return message


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in ("convert", "export"):
        return run_converter(argv[0], argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.func in (cmd_region, cmd_thumbnail, cmd_associated):
        _output_path(parser.commands[args.command], args.output)
    from ._slide import TqfError

    try:
        return args.func(args)
    except Failure as e:
        print(f"tqf {args.command}: {e}", file=sys.stderr)
    except (OSError, TqfError, ValueError, MemoryError) as e:
        if isinstance(e, BrokenPipeError):
            return _quiet_broken_pipe()
        print(f"tqf {args.command}: {_failure_line(args, e)}", file=sys.stderr)
    except KeyboardInterrupt:
        return 130
    return 1


def _quiet_broken_pipe():
    # The reader went away (tqf info x | head): not a failure worth a word.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except OSError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
