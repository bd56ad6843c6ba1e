""".tqf slides for code written for openslide-python.

    import tqfslide.openslide_compat as openslide   # the only change a script needs

    with openslide.open_slide("slide.tqf") as slide:   # openslide's own object for other files
        region = slide.read_region((x, y), 0, (512, 512))     # RGBA PIL image
        tiles = openslide.deepzoom.DeepZoomGenerator(slide, tile_size=254, overlap=1)

The module has every name openslide-python 1.2 has at its top level: the
PROPERTY_NAME_* constants, AbstractSlide, ImageSlide, OpenSlideCache, the
errors, open_slide, lowlevel (whose functions take .tqf slides too),
deepzoom, __version__ and __library_version__ (openslide-python's and the C
library's). OpenSlide(filename) opens a .tqf slide itself and gives
openslide.OpenSlide for any other file.

OpenSlide here subclasses openslide.AbstractSlide (Debian's python3-openslide)
and behaves as openslide.OpenSlide does: RGBA regions not premultiplied and
transparent (0, 0, 0, 0) outside the slide, RGBA associated images, an RGB
thumbnail, text properties with the standard openslide.* keys, and failures
raised as openslide.OpenSlideError or its subclasses. Where OpenSlide 3.4
answers a read at a level the slide does not have with a transparent image,
this one raises OpenSlideError; a closed slide raises an error that is both
OpenSlideError and ValueError, and closing twice is allowed.
"""

import openslide  # noqa: F401
from openslide import AbstractSlide, OpenSlideError, OpenSlideUnsupportedFormatError  # noqa: F401
from PIL import Image  # noqa: F401

from ._openslide_slide import OpenSlide, OpenSlideCache, open_slide  # noqa: F401

# What openslide-python has at its top level, as it has it.
from openslide import (  # noqa: E402,F401  re-exported
    PROPERTY_NAME_BACKGROUND_COLOR,
    PROPERTY_NAME_BOUNDS_HEIGHT,
    PROPERTY_NAME_BOUNDS_WIDTH,
    PROPERTY_NAME_BOUNDS_X,
    PROPERTY_NAME_BOUNDS_Y,
    PROPERTY_NAME_COMMENT,
    PROPERTY_NAME_MPP_X,
    PROPERTY_NAME_MPP_Y,
    PROPERTY_NAME_OBJECTIVE_POWER,
    PROPERTY_NAME_QUICKHASH1,
    PROPERTY_NAME_VENDOR,
    ImageSlide,
    Mapping,
    OpenSlideVersionError,
    __library_version__,
    __version__,
    deepzoom,
)
from . import _openslide_lowlevel as lowlevel  # noqa: E402

__all__ = [
    "AbstractSlide", "Image", "ImageSlide", "Mapping", "OpenSlide", "OpenSlideCache", "OpenSlideError",
    "OpenSlideUnsupportedFormatError", "OpenSlideVersionError", "PROPERTY_NAME_BACKGROUND_COLOR",
    "PROPERTY_NAME_BOUNDS_HEIGHT", "PROPERTY_NAME_BOUNDS_WIDTH", "PROPERTY_NAME_BOUNDS_X", "PROPERTY_NAME_BOUNDS_Y",
    "PROPERTY_NAME_COMMENT", "PROPERTY_NAME_MPP_X", "PROPERTY_NAME_MPP_Y", "PROPERTY_NAME_OBJECTIVE_POWER",
    "PROPERTY_NAME_QUICKHASH1", "PROPERTY_NAME_VENDOR", "deepzoom", "lowlevel", "open_slide",
]
