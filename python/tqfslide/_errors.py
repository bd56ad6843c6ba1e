"""The errors of tqfslide, by kind.

    TqfError                  any failure of a slide itself (catch this one)
    +-- UnsupportedFormatError  the file is not a .tqf slide
    +-- DamagedSlideError       a .tqf slide whose records or tiles are damaged
    +-- SlideIOError            reading failed on this machine (also an OSError)
    +-- NoResolutionError       a read by microns per pixel of a slide that
                                records none (also a ValueError)

A path that cannot be opened at all raises Python's own FileNotFoundError,
PermissionError or IsADirectoryError (with errno and file name), and a read
the slide cannot serve raises ValueError. The native module maps each kind of
error of the core to one of these in one place (_native.cpp, translate()).
Every error pickles, so it crosses process boundaries (dask, multiprocessing)
unchanged.

This module imports nothing: every other module may import it.
"""

__all__ = ["TqfError", "UnsupportedFormatError", "DamagedSlideError", "SlideIOError", "NoResolutionError"]


class TqfError(Exception):
    """A file that is not a .tqf slide, a damaged slide, or an associated
    image that cannot be read. The message names the file and the cause."""


class UnsupportedFormatError(TqfError):
    """The file is not a .tqf slide: its name does not end in .tqf, it is not
    a regular file, or its contents are not a slide's."""


class DamagedSlideError(TqfError):
    """A .tqf slide whose records or tiles are damaged (cut short, overwritten,
    of a version this library does not read)."""


class SlideIOError(TqfError, OSError):
    """Reading failed for a cause on this machine rather than in the slide:
    an associated image could not be exported or read back (no temporary
    space, for one). Also an OSError, so that handlers of system failures see
    it too."""


class NoResolutionError(TqfError, ValueError):
    """A read by microns per pixel of a slide that records no measured
    resolution: the caller may allow the nominal one of its magnification
    (allow_nominal_mpp=True). Also a ValueError: the slide cannot serve the
    read as asked."""
