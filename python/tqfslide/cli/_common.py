"""What the commands share: how a failure is reported, how a slide is
opened, and how an image is written."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING

from .._files import write_files
from .._slide import Slide

if TYPE_CHECKING:
    from .._slide import Pixels

# Image formats by the output file's suffix.
IMAGE_FORMATS = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG", ".tif": "TIFF", ".tiff": "TIFF"}


class Failure(Exception):
    """A failure of a command, reported as one line and exit status 1."""


def open_slide(path: str) -> Slide:
    return Slide(path)


def check_image_output(parser: argparse.ArgumentParser, path: str) -> str:
    """The output file's image format from its name; a usage error when the
    name has no known image suffix."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in IMAGE_FORMATS:
        parser.error(f"the output {path!r} must end in one of {', '.join(sorted(IMAGE_FORMATS))}")
    return path


def save_image(pixels: Pixels, path: str) -> None:
    """Writes an RGB array to `path` in the format its suffix names, so that
    it appears whole or not at all (a failure leaves no partial image)."""
    from PIL import Image  # only here: the other commands do without it

    image_format = IMAGE_FORMATS[os.path.splitext(path)[1].lower()]
    options: dict[str, object] = {"quality": 90} if image_format == "JPEG" else {}
    if image_format == "TIFF":
        options = {"compression": "tiff_deflate"}
    try:
        write_files({path: lambda stream: Image.fromarray(pixels, "RGB").save(stream, image_format, **options)})
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror or e}") from None
