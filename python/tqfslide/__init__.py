"""tqfslide: read .tqf whole-slide images.

    import tqfslide
    with tqfslide.open("slide.tqf") as slide:
        slide.dimensions, slide.level_count, slide.level_downsamples
        patch = slide.read_region((x, y), 0, (256, 256))    # (256, 256, 3) RGB
        for patch in slide.read_regions(locations, 0, (256, 256), num_workers=2):
            ...

Coordinates and levels follow OpenSlide: locations in full-resolution
pixels, sizes in pixels of the level read. See help(tqfslide.Slide).
"""

from ._slide import DEFAULT_CACHE_SIZE, Slide, TqfError, open
from ._version import __version__

__all__ = ["Slide", "TqfError", "open", "DEFAULT_CACHE_SIZE", "__version__"]
