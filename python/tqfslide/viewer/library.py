"""The slides a viewer may serve: names mapped to files under one folder
(or the one slide given), and a bounded pool of opened slides.

Only regular files named *.tqf whose real path lies under the served folder
are ever opened: names are checked segment by segment, then resolved through
every symbolic link and checked again.
"""

from __future__ import annotations

import os
import stat
from typing import Any, Optional, Union

from .. import _native
from .._errors import TqfError
from .._slide import Slide
from .._slide_pool import FileIdentity, SlidePool
from ..deepzoom import DeepZoom

SUFFIX = ".tqf"


class SlideNotFound(Exception):
    """No slide of that name may be served (or it cannot be opened); the
    message says why, for the log."""


class _Served:
    """What the pool keeps of a slide opened for serving: the slide, its
    Deep Zoom tiles, and what is made from it once (properties JSON and
    associated image PNGs, made on first use)."""

    def __init__(self, slide: Slide, deep_zoom: DeepZoom) -> None:
        self.slide = slide
        self.deep_zoom = deep_zoom
        self.cached: dict[Any, Any] = {}


class OpenedSlide:
    """A slide opened for serving, under the name it was asked for."""

    def __init__(self, name: str, path: str, signature: FileIdentity, served: _Served) -> None:
        self.name = name
        self.path = path
        self.signature = signature
        self.slide = served.slide
        self.deep_zoom = served.deep_zoom
        self.cached = served.cached
        # Names this state of the file in URLs and ETags: from its inode,
        # size and modification time, so the same on every server that sees
        # the file on shared storage.
        self.stamp = _native.slide_stamp(signature.inode, signature.size, signature.mtime_ns)


class SlideLibrary:
    """Slides under `root` (a folder, searched recursively, or one .tqf
    slide), by name: the path relative to the folder without ".tqf", with
    "/" between folders. At most `max_open` slides stay open; each decodes
    into a tile cache of `cache_size` bytes, and serves Deep Zoom tiles of
    `tile_size` pixels with `overlap`, keeping the JPEG tiles it has to make
    (quality `quality`) within `tile_cache_size` bytes."""

    def __init__(self, root: Union[str, os.PathLike[str]], *, max_open: int = 8, cache_size: int = 32 << 20, tile_size: int = 256,
                 overlap: int = 0, quality: int = 75, tile_cache_size: int = 8 << 20) -> None:
        real = os.path.realpath(root)
        self.single: Optional[str] = None
        if os.path.isdir(real):
            self.folder = real
        elif os.path.isfile(real) and real.endswith(SUFFIX):
            # Served under the name it was given by, wherever a link leads.
            self.folder = os.path.dirname(real)
            given = os.path.basename(os.path.abspath(root))
            self.single = given[: -len(SUFFIX)] if given.endswith(SUFFIX) else given
            self._single_path = os.path.abspath(root)
        elif not os.path.exists(real):
            raise FileNotFoundError(2, "No such file or directory", root)
        else:
            raise ValueError(f"{root}: not a folder nor a {SUFFIX} slide")
        self.root = root
        self._cache_size = cache_size
        self._tile_size = tile_size
        self._overlap = overlap
        self._quality = quality
        self._tile_cache_size = tile_cache_size
        self._pool = SlidePool(max_open=max_open)

    # -- names ----------------------------------------------------------------

    def names(self) -> list[str]:
        """The names of the slides to list, sorted; hidden files and folders,
        and links that lead outside the folder, are left out."""
        if self.single is not None:
            return [self.single]
        found: list[str] = []
        seen: set[str] = set()  # real folders walked: links that loop are walked once
        for directory, folders, files in os.walk(self.folder, followlinks=True):
            real_directory = os.path.realpath(directory)
            if real_directory in seen or not (real_directory == self.folder or self._inside(real_directory)):
                folders[:] = []
                continue
            seen.add(real_directory)
            folders[:] = sorted(f for f in folders if not f.startswith("."))
            for file in files:
                if file.startswith(".") or not file.endswith(SUFFIX) or len(file) == len(SUFFIX):
                    continue
                path = os.path.join(directory, file)
                real = os.path.realpath(path)
                if self._inside(real) and os.path.isfile(real):
                    relative = os.path.relpath(path, self.folder)[: -len(SUFFIX)]
                    found.append(relative.replace(os.sep, "/"))
        return sorted(found)

    def resolve(self, name: str) -> str:
        """The real path of the slide `name`, or SlideNotFound."""
        if self.single is not None:
            if name != self.single:
                raise SlideNotFound(f"no slide {name!r}: serving only {self.single!r}")
            real = os.path.realpath(self._single_path)
            if not real.endswith(SUFFIX):
                raise SlideNotFound(f"no slide {name!r}: {self._single_path} no longer leads to a {SUFFIX} file")
            return real
        if not isinstance(name, str) or not name or "\0" in name or "\\" in name:
            raise SlideNotFound(f"not a slide name: {name!r}")
        parts = name.split("/")
        if any(part in ("", ".", "..") or part.startswith(".") for part in parts):
            raise SlideNotFound(f"not a slide name: {name!r}")
        path = os.path.join(self.folder, *parts) + SUFFIX
        real = os.path.realpath(path)
        if not (self._inside(real) and real.endswith(SUFFIX)):
            raise SlideNotFound(f"no slide {name!r}: {path} leads outside {self.folder}")
        return real

    def _inside(self, real: str) -> bool:
        return real.startswith(self.folder.rstrip(os.sep) + os.sep)

    # -- opened slides ----------------------------------------------------------

    def get(self, name: str) -> OpenedSlide:
        """The opened slide `name`, reopened when its file changed since it
        was opened; SlideNotFound when it is gone or cannot be opened."""
        real = self.resolve(name)
        try:
            info = os.stat(real)
        except OSError as e:
            self._pool.forget(real)
            raise SlideNotFound(f"no slide {name!r}: {real}: {e.strerror}") from None
        if not _is_regular(info):
            raise SlideNotFound(f"no slide {name!r}: {real} is not a regular file")
        try:
            served, identity = self._pool.entry(self._open, real)
        except (OSError, TqfError, ValueError) as e:
            raise SlideNotFound(f"cannot serve slide {name!r}: {e}") from None
        return OpenedSlide(name, real, identity, served)

    def _open(self, path: str) -> _Served:
        # Opened once per file and kept in the pool; each request gets the
        # slide from there (dropped slides are not closed: a request still
        # reading one keeps it until it is done).
        slide = Slide(path, cache_size=self._cache_size, num_threads=1)
        try:
            return _Served(slide, DeepZoom(slide, tile_size=self._tile_size, overlap=self._overlap,
                                           quality=self._quality, cache_size=self._tile_cache_size))
        except BaseException:
            slide.close()
            raise

    def open_count(self) -> int:
        return len(self._pool)


def _is_regular(info: os.stat_result) -> bool:
    return stat.S_ISREG(info.st_mode)

