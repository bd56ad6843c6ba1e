"""Source files for the converter tests, written with tifffile.

Debian's tifffile has no JPEG codec of its own (imagecodecs is not
packaged), so JPEG tiles are encoded with Pillow and handed to tifffile as
encoded bytes; tifffile lays out the pages and tags.
"""
import io
import struct

import numpy as np
import tifffile
from PIL import Image
from skimage import data

TILE = 256


def _refuse_encoding(*args, **kwargs):
    raise NotImplementedError("JPEG tiles are handed to tifffile encoded")


# tifffile looks its JPEG encoder up before it sees that the tiles come
# encoded; without imagecodecs there is none, so it gets a stand-in that
# is never called.
tifffile.TIFF.COMPRESSORS._codecs.setdefault(7, _refuse_encoding)


def tissue(width, height, seed=1):
    """A width x height RGB image tiled from flipped and turned patches of
    scikit-image's immunohistochemistry sample, so that no two tiles repeat."""
    source = data.immunohistochemistry()
    rng = np.random.default_rng(seed)
    patch = 383
    image = np.empty((height, width, 3), np.uint8)
    for top in range(0, height, patch):
        for left in range(0, width, patch):
            oy, ox = rng.integers(0, source.shape[0] - patch, size=2)
            piece = np.rot90(source[oy:oy + patch, ox:ox + patch], int(rng.integers(0, 4)))
            h, w = min(patch, height - top), min(patch, width - left)
            image[top:top + h, left:left + w] = piece[:h, :w]
    return image


def jpeg(pixels, quality=95):
    """Baseline JFIF JPEG (YCbCr 4:2:0) of RGB pixels."""
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "JPEG", quality=quality, subsampling=2)
    return out.getvalue()


def tiles(image, quality=95):
    """The image's 256-pixel tiles, row by row, edge tiles padded with white."""
    height, width = image.shape[:2]
    for top in range(0, height, TILE):
        for left in range(0, width, TILE):
            tile = np.full((TILE, TILE, 3), 255, np.uint8)
            part = image[top:top + TILE, left:left + TILE]
            tile[:part.shape[0], :part.shape[1]] = part
            yield jpeg(tile, quality)


def segments(stream):
    """(marker, bytes) of each segment of a JPEG stream up to its scan, and the rest from the scan on."""
    assert stream[:2] == b"\xff\xd8"
    found, at = [], 2
    while stream[at + 1] != 0xDA:
        length = struct.unpack(">H", stream[at + 2:at + 4])[0]
        found.append((stream[at + 1], stream[at:at + 2 + length]))
        at += 2 + length
    return found, stream[at:]


def table_segments(tables):
    """The segments of a JPEGTables stream (SOI, segments, EOI)."""
    found, at = [], 2
    while tables[at + 1] != 0xD9:
        length = struct.unpack(">H", tables[at + 2:at + 4])[0]
        found.append(tables[at:at + 2 + length])
        at += 2 + length
    return found


def abbreviate(stream):
    """A JFIF stream split as Aperio's scanners store tiles: (JPEGTables:
    SOI, its quantisation and Huffman tables, EOI; the tile: SOI, frame and
    scan, no JFIF marker)."""
    found, scan = segments(stream)
    tables = b"".join(data for marker, data in found if marker in (0xDB, 0xC4))
    rest = b"".join(data for marker, data in found if marker not in (0xDB, 0xC4, 0xE0))
    return b"\xff\xd8" + tables + b"\xff\xd9", b"\xff\xd8" + rest + scan


def shared_tables(quality=95):
    """The tables every tile encoded at `quality` shares."""
    return abbreviate(jpeg(np.zeros((16, 16, 3), np.uint8), quality))[0]


def halve(image):
    """Each side halved (rounding up) by 2 x 2 means, as a pyramid level."""
    height, width = image.shape[:2]
    padded = np.pad(image.astype(np.float32), ((0, height % 2), (0, width % 2), (0, 0)), mode="edge")
    return (padded.reshape(padded.shape[0] // 2, 2, padded.shape[1] // 2, 2, 3).mean(axis=(1, 3)) + 0.5).astype(
        np.uint8)


def write_tiled_jpeg(writer, image, description=None, reduced=False, resolution=None, quality=95, tables=None):
    """A tiled JPEG page; with `tables` (JPEGTables) its tiles abbreviated."""
    kwargs = {}
    if resolution is not None:
        kwargs.update(resolution=resolution, resolutionunit="CENTIMETER")
    streams = tiles(image, quality)
    if tables is not None:
        streams = (abbreviate(stream)[1] for stream in streams)
        kwargs.update(jpegtables=tables)
    writer.write(streams, shape=image.shape, dtype=np.uint8, tile=(TILE, TILE),
                 photometric="ycbcr", compression="jpeg", subsampling=(2, 2),
                 subfiletype=1 if reduced else 0, description=description, metadata=None, **kwargs)


def write_stripped_jpeg(writer, image, description=None, subfiletype=0):
    writer.write(iter([jpeg(image)]), shape=image.shape, dtype=np.uint8, rowsperstrip=image.shape[0],
                 photometric="ycbcr", compression="jpeg", subsampling=(2, 2),
                 subfiletype=subfiletype, description=description, metadata=None)


def aperio_svs(path, image, magnification=20, mpp=0.5, label=None, macro=None, tables=None, date=None):
    """An SVS laid out as Aperio's scanners write them: the full level, a
    stripped thumbnail, the reduced levels, then label and macro, and the
    scan's properties in the first page's description. With `tables`
    (JPEGTables, shared_tables()) the tiles are abbreviated, as Aperio's
    are; `date` adds "Date", "Time" and "Time Zone" fields."""
    height, width = image.shape[:2]
    head = "Aperio Image Library v12.0.15\r\n"
    description = (f"{head}{width}x{height} [0,0 {width}x{height}] ({TILE}x{TILE}) JPEG/RGB Q=95"
                   f"|AppMag = {magnification}|MPP = {mpp}|ScanScope ID = TEST")
    if date is not None:
        description += "|Date = {}|Time = {}|Time Zone = {}".format(*date)
    with tifffile.TiffWriter(path, bigtiff=False) as writer:
        write_tiled_jpeg(writer, image, description, tables=tables)
        thumbnail = image[::16, ::16]
        write_stripped_jpeg(writer, np.ascontiguousarray(thumbnail), f"{head}{width}x{height} -> thumbnail")
        level = image
        while max(level.shape[:2]) > 2 * TILE:
            level = halve(halve(level))
            write_tiled_jpeg(writer, level, f"{head}{width}x{height} -> {level.shape[1]}x{level.shape[0]}",
                             reduced=True, tables=tables)
        if label is not None:
            write_stripped_jpeg(writer, label, f"{head.strip()}\nlabel {label.shape[1]}x{label.shape[0]}", subfiletype=1)
        if macro is not None:
            write_stripped_jpeg(writer, macro, f"{head.strip()}\nmacro {macro.shape[1]}x{macro.shape[0]}", subfiletype=9)


def generic_tiled(path, image, mpp=None):
    """A tiled JPEG TIFF with reduced pages: OpenSlide's generic-tiff."""
    resolution = None if mpp is None else (1e4 / mpp, 1e4 / mpp)
    with tifffile.TiffWriter(path) as writer:
        write_tiled_jpeg(writer, image, resolution=resolution)
        level = image
        while max(level.shape[:2]) > TILE:
            level = halve(level)
            write_tiled_jpeg(writer, level, reduced=True, resolution=resolution)


def aperio_zlib(path, image):
    """An Aperio-like SVS whose tiles are zlib-compressed: OpenSlide reads
    them through libtiff's RGBA interface, and shows tiles that are not
    stored as transparent."""
    height, width = image.shape[:2]
    description = (f"Aperio Image Library v12.0.15\r\n{width}x{height} [0,0 {width}x{height}] ({TILE}x{TILE})"
                   f" Deflate|AppMag = 20|MPP = 0.5")
    tifffile.imwrite(path, image, photometric="rgb", tile=(TILE, TILE), compression="zlib",
                     description=description, metadata=None)


def drop_tile(path, index, page=0):
    """Marks tile `index` of a page as not stored (byte count 0)."""
    with tifffile.TiffFile(path) as tiff:
        tag = tiff.pages[page].tags["TileByteCounts"]
        offset, count, size = tag.valueoffset, tag.count, tifffile.TIFF.DATA_FORMATS[tag.dtype][-1:]
    item = {"H": 2, "I": 4, "Q": 8}[size]
    with open(path, "r+b") as file:
        file.seek(offset + index * item)
        file.write(bytes(item))


def striped(path, image, mpp=None, rowsperstrip=16, compression=None):
    """An uncompressed (or zlib) striped RGB TIFF, which OpenSlide does not take."""
    kwargs = {} if mpp is None else dict(resolution=(1e4 / mpp, 1e4 / mpp), resolutionunit="CENTIMETER")
    tifffile.imwrite(path, image, photometric="rgb", rowsperstrip=rowsperstrip, compression=compression,
                     metadata=None, **kwargs)
