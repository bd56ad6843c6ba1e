"""tqf region SLIDE X Y W H [--level N | --downsample D | --magnification M] -o OUT:
a region of a slide written to an image file."""

from __future__ import annotations

import argparse

from ._arguments import int_between, positive_float, positive_int
from ._common import Failure, open_slide, save_image

# Largest region written as one image: 768 MiB of RGB. Beyond it a typo in
# W or H would have the machine swap (or the kernel end the process) before
# any image library refused it.
MAX_REGION_PIXELS = 1 << 28


def run(args: argparse.Namespace) -> int:
    if args.width * args.height > MAX_REGION_PIXELS:
        raise Failure(f"{args.slide}: a region of {args.width} x {args.height} pixels is more than one image "
                      f"may hold here ({MAX_REGION_PIXELS:,} pixels); read it in parts")
    with open_slide(args.slide) as slide:
        location, size = (args.x, args.y), (args.width, args.height)
        if args.downsample is not None:
            pixels = slide.read_region_at(location, size, downsample=args.downsample)
        elif args.magnification is not None:
            pixels = slide.read_region_at(location, size, magnification=args.magnification)
        else:
            pixels = slide.read_region(location, args.level, size)
    save_image(pixels, args.output)
    return 0


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser("region", help="write a region of a slide to an image file",
                            description="Writes the region whose top-left corner lies at X, Y (pixels of full "
                                        "resolution) and that is W x H pixels of the level read. Parts outside "
                                        "the slide are white.")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("x", metavar="X", type=int)
    p.add_argument("y", metavar="Y", type=int)
    p.add_argument("width", metavar="W", type=positive_int)
    p.add_argument("height", metavar="H", type=positive_int)
    scale = p.add_mutually_exclusive_group()
    scale.add_argument("--level", "-l", type=int_between(0, 1000), default=0,
                       help="the stored level to read (default 0, full resolution)")
    scale.add_argument("--downsample", "-d", type=positive_float,
                       help="any downsample: full-resolution pixels per output pixel")
    scale.add_argument("--magnification", "-m", type=positive_float,
                       help="any magnification, e.g. 10 on a 40x slide is downsample 4")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="a .png, .jpg or .tif file")
    p.set_defaults(func=run, image_output=True)
