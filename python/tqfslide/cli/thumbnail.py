"""tqf thumbnail SLIDE -o OUT [--size N]: a whole slide shrunk to an image file."""

from __future__ import annotations

import argparse

from ._arguments import int_between
from ._common import open_slide, save_image


def run(args: argparse.Namespace) -> int:
    with open_slide(args.slide) as slide:
        pixels = slide.get_thumbnail((args.size, args.size))
    save_image(pixels, args.output)
    return 0


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser("thumbnail", help="write a thumbnail of a whole slide",
                            description="Writes the whole slide shrunk to fit SIZE x SIZE pixels.")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="a .png, .jpg or .tif file")
    p.add_argument("--size", "-s", type=int_between(1, 16384), default=512,
                   help="the longer side in pixels (default 512)")
    p.set_defaults(func=run, image_output=True)
