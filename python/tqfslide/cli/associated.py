"""tqf associated SLIDE NAME -o OUT: a slide's label or macro image written
to an image file."""

from __future__ import annotations

import argparse

from ._common import Failure, open_slide, save_image


def run(args: argparse.Namespace) -> int:
    with open_slide(args.slide) as slide:
        names = sorted(slide.associated_images)
        if args.name not in names:
            raise Failure(f"{args.slide}: no associated image {args.name!r} (it has: {', '.join(names) or 'none'})")
        pixels = slide.associated_images[args.name]
    save_image(pixels, args.output)
    return 0


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser("associated", help="write a slide's label or macro image",
                            description="Writes one of the slide's associated images (label, macro).")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("name", metavar="NAME", help="label or macro")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="a .png, .jpg or .tif file")
    p.set_defaults(func=run, image_output=True)
