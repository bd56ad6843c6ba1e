"""Deep Zoom tiles of a slide, made natively.

    from tqfslide.deepzoom import DeepZoom
    with tqfslide.open("slide.tqf") as slide:
        dz = DeepZoom(slide)                      # 254-pixel tiles, overlap 1
        dz.get_dzi()                              # the .dzi descriptor
        jpeg = dz.get_tile_jpeg(dz.level_count - 1, (0, 0))

The pyramid is laid out as openslide.deepzoom.DeepZoomGenerator lays it out
(without limit_bounds), so viewers written for OpenSlide's tile servers see
the same levels, tiles and overlaps. Tiles are read and JPEG-encoded without
the interpreter lock; a DeepZoom may be used from many threads at once.

With 256-pixel tiles and no overlap, the tiles of a Deep Zoom level the
slide stores are the slide's own tiles, and get_tile_data gives their JPEG
streams as stored, neither decoded nor encoded (what `tqf serve` sends):

    dz = DeepZoom(slide, tile_size=256, overlap=0)
    dz.get_tile_data(dz.level_count - 1, (0, 0))  # the stored stream
"""

from __future__ import annotations

from io import BytesIO
from typing import TYPE_CHECKING, Any, SupportsIndex, Tuple
from xml.etree.ElementTree import Element, ElementTree, SubElement

from . import _native
from ._slide import Slide, _integer

if TYPE_CHECKING:
    from ._slide import Pixels

    # (column, row) of a tile
    Address = Tuple[SupportsIndex, SupportsIndex]

__all__ = ["DeepZoom"]


class DeepZoom:
    """Deep Zoom tiles of a tqfslide.Slide.

    DeepZoom(slide, tile_size=254, overlap=1, quality=75, cache_size=8 << 20)

    Level 0 is 1 x 1 pixel and the last level is full resolution; each tile
    but the first and last of a row or column carries `overlap` pixels more
    on its inner edges. quality is the JPEG quality of get_tile_jpeg and of
    the tiles get_tile_data makes; cache_size the bytes of those it keeps.
    """

    def __init__(self, slide: Slide, tile_size: int = 254, overlap: int = 1, quality: int = 75,
                 cache_size: int = 8 << 20) -> None:
        if not isinstance(slide, Slide):
            raise TypeError(f"slide must be a tqfslide.Slide, not {type(slide).__name__}")
        tile_size = _integer(tile_size, "tile_size")
        overlap = _integer(overlap, "overlap")
        if not 1 <= tile_size <= 8192:
            raise ValueError(f"tile_size must be 1 to 8192, got {tile_size}")
        if not 0 <= overlap <= tile_size:
            raise ValueError(f"overlap must be 0 to tile_size, got {overlap}")
        self._quality = _quality(quality)
        self._slide = slide
        self._tile_size = tile_size
        self._overlap = overlap
        cache_size = _integer(cache_size, "cache_size")
        if cache_size < 0:
            raise ValueError(f"cache_size must not be negative, got {cache_size}")
        self._native = _native.DeepZoom(slide._open_native(), tile_size, overlap, self._quality, cache_size)
        self._levels = self._native.levels  # (width, height, columns, rows, downsample)

    def __repr__(self) -> str:
        return f"DeepZoom({self._slide!r}, tile_size={self._tile_size}, overlap={self._overlap})"

    @property
    def level_count(self) -> int:
        """The number of Deep Zoom levels."""
        return len(self._levels)

    @property
    def level_tiles(self) -> tuple[tuple[int, int], ...]:
        """(columns, rows) of tiles of each level."""
        return tuple((level[2], level[3]) for level in self._levels)

    @property
    def level_dimensions(self) -> tuple[tuple[int, int], ...]:
        """(width, height) in pixels of each level."""
        return tuple((level[0], level[1]) for level in self._levels)

    @property
    def tile_count(self) -> int:
        return sum(level[2] * level[3] for level in self._levels)

    @property
    def tile_size(self) -> int:
        return self._tile_size

    @property
    def overlap(self) -> int:
        return self._overlap

    @property
    def quality(self) -> int:
        """The JPEG quality of the tiles this DeepZoom makes."""
        return self._quality

    def _address(self, given: SupportsIndex, address: Any) -> tuple[int, int, int]:
        level = _integer(given, "level")
        if not 0 <= level < len(self._levels):
            raise ValueError(f"Invalid level {level}: the image has levels 0 to {len(self._levels) - 1}")
        try:
            column, row = address
        except (TypeError, ValueError):
            raise TypeError(f"address must be a (column, row) pair, not {address!r}") from None
        column, row = _integer(column, "column"), _integer(row, "row")
        columns, rows = self._levels[level][2:4]
        if not (0 <= column < columns and 0 <= row < rows):
            raise ValueError(f"Invalid address {(column, row)}: level {level} has {columns} x {rows} tiles")
        return level, column, row

    def get_tile_dimensions(self, level: SupportsIndex, address: Address) -> tuple[int, int]:
        """(width, height) of a tile, overlap included."""
        place = self._native.tile_place(*self._address(level, address))
        assert place is not None  # the address was checked
        return place[3], place[4]

    def get_tile(self, level: SupportsIndex, address: Address) -> Pixels:
        """A tile as a (height, width, 3) RGB array; white outside the slide."""
        self._slide._open_native()
        return self._native.tile_rgb(*self._address(level, address))

    def get_tile_jpeg(self, level: SupportsIndex, address: Address, quality: int | None = None) -> bytes:
        """A tile as JPEG bytes (4:2:0), of the given quality or the one this
        DeepZoom was made with."""
        self._slide._open_native()
        chosen = self._quality if quality is None else _quality(quality)
        return self._native.tile_jpeg(*self._address(level, address), chosen)

    def get_tile_data(self, level: SupportsIndex, address: Address) -> bytes:
        """A tile as JPEG bytes, as `tqf serve` sends it: where the tile is one
        the slide stores (256-pixel tiles, no overlap, a stored level), its
        stream as stored, neither decoded nor encoded (an edge tile stored
        larger than the level is cut to size in the DCT domain); any other
        tile encoded at this DeepZoom's quality, and kept within cache_size
        bytes. A stored tile decodes to the very pixels of get_tile."""
        self._slide._open_native()
        return self._native.tile_data(*self._address(level, address))[0]

    def get_dzi(self, format: str = "jpeg") -> str:  # noqa: A002 (openslide.deepzoom's name)
        """The XML of the .dzi descriptor, as DeepZoomGenerator.get_dzi writes it."""
        if format not in ("jpeg", "png"):
            raise ValueError(f"format must be 'jpeg' or 'png', not {format!r}")
        image = Element("Image", TileSize=str(self._tile_size), Overlap=str(self._overlap), Format=format,
                        xmlns="http://schemas.microsoft.com/deepzoom/2008")
        width, height = self._levels[-1][0], self._levels[-1][1]
        SubElement(image, "Size", Width=str(width), Height=str(height))
        buffer = BytesIO()
        ElementTree(element=image).write(buffer, encoding="UTF-8")
        return buffer.getvalue().decode("UTF-8")


def _quality(given: Any) -> int:
    quality = _integer(given, "quality")
    if not 1 <= quality <= 100:
        raise ValueError(f"quality must be 1 to 100, got {quality}")
    return quality
