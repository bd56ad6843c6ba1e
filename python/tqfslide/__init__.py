"""tqfslide: read .tqf whole-slide images.

    import tqfslide
    with tqfslide.open("slide.tqf") as slide:
        slide.dimensions, slide.level_count, slide.level_downsamples
        patch = slide.read_region((x, y), 0, (256, 256))    # (256, 256, 3) RGB
        for patch in slide.read_regions(locations, 0, (256, 256), num_workers=2):
            ...

Coordinates and levels follow OpenSlide: locations in full-resolution
pixels, sizes in pixels of the level read. See help(tqfslide.Slide).

Errors: FileNotFoundError, PermissionError and IsADirectoryError for a path
that cannot be opened; tqfslide.UnsupportedFormatError for a file that is
not a .tqf slide, tqfslide.DamagedSlideError for a damaged one and
tqfslide.SlideIOError for a read that failed on this machine, all three
tqfslide.TqfError; ValueError for a read the slide cannot serve
(tqfslide.NoResolutionError, also a TqfError, for a read by microns per
pixel of a slide that records no resolution).
"""

from ._errors import DamagedSlideError, NoResolutionError, SlideIOError, TqfError, UnsupportedFormatError
from ._slide import DEFAULT_CACHE_SIZE, Slide, open
from ._version import __version__

__all__ = ["Slide", "open", "DEFAULT_CACHE_SIZE", "TqfError", "UnsupportedFormatError", "DamagedSlideError",
           "SlideIOError", "NoResolutionError", "__version__"]
