"""Helpers of the converter tests: running tqf-convert, reading slides
through the slide library (ctypes) and the reader module, comparing pixels."""
import ctypes
import io
import os
import subprocess

import numpy as np
import pytest
from PIL import Image

CONVERT = os.environ.get("TQF_CONVERT", "")
YELK = os.environ.get("TQF_YELK_LIBRARY", "")


def run(*arguments, timeout=300, **kwargs):
    """tqf-convert with these arguments; the completed process (text)."""
    return subprocess.run([CONVERT, *map(str, arguments)], capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, **kwargs)


def run_interrupted(signal_name, temporary_prefix, *arguments):
    """tqf-convert with these arguments, sent the signal while it is held at
    its first write to a file named temporary_prefix...: provably mid-way."""
    return subprocess.run([os.environ["TQF_SIGNAL_WHILE_WRITING"], signal_name, temporary_prefix, CONVERT,
                           *map(str, arguments)], capture_output=True, text=True, timeout=300,
                          stdin=subprocess.DEVNULL)


def psnr(a, b):
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if error == 0 else 10 * np.log10(255.0 ** 2 / error)


class Header(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("startFlag", ctypes.c_int32), ("fileFormat", ctypes.c_char * 8), ("version", ctypes.c_float),
                ("dataBlockCount", ctypes.c_int32), ("imageHeight", ctypes.c_int32),
                ("imageWidth", ctypes.c_int32), ("scanScale", ctypes.c_int32), ("compressType", ctypes.c_char * 8),
                ("scanDuration", ctypes.c_float), ("scanTime", ctypes.c_int64), ("previewPos", ctypes.c_int32),
                ("labelPos", ctypes.c_int32), ("thumbnailPos", ctypes.c_int64), ("dataBlockPos", ctypes.c_int64),
                ("imageCapRes", ctypes.c_float), ("freeInfo", ctypes.c_int64), ("imageBlockLen", ctypes.c_int32),
                ("endFlag", ctypes.c_int32)]


class ImageHeader(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("startFlag", ctypes.c_int32), ("exist", ctypes.c_uint32), ("height", ctypes.c_uint32),
                ("width", ctypes.c_uint32), ("channel", ctypes.c_uint32), ("length", ctypes.c_uint32),
                ("position", ctypes.c_int64), ("reserved", ctypes.c_char * 16), ("stopFlag", ctypes.c_int32)]


class Block(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("startFlag", ctypes.c_int32), ("posX", ctypes.c_int32), ("posY", ctypes.c_int32),
                ("width", ctypes.c_uint32), ("height", ctypes.c_uint32), ("scaleRatio", ctypes.c_float),
                ("offsetX", ctypes.c_int32), ("offsetY", ctypes.c_int32), ("length", ctypes.c_uint32),
                ("position", ctypes.c_int64), ("reserved", ctypes.c_char * 16), ("stopFlag", ctypes.c_int32)]


class Slide:
    """A slide opened through the slide library's own operations."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(YELK)
        self.lib.yelk_load_image.restype = ctypes.c_void_p
        self.lib.yelk_load_image.argtypes = [ctypes.c_char_p, ctypes.c_int]
        self.lib.yelk_unload_image.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.lib.yelk_get_datablock_stream_single.argtypes = [
            ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int32, ctypes.c_int32, ctypes.c_char_p,
            ctypes.POINTER(ctypes.c_uint32)]
        for name in ("yelk_get_label_image", "yelk_get_preview_image"):
            getattr(self.lib, name).argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        self.handle = self.lib.yelk_load_image(str(path).encode(), 0)
        assert self.handle, f"the slide library refuses {path}"
        header_pointer = ctypes.c_void_p.from_address(self.handle + 16).value
        self.header = Header.from_address(header_pointer)
        blocks = ctypes.c_void_p.from_address(self.handle + 88).value
        self.blocks = (Block * self.header.dataBlockCount).from_address(blocks)
        self.thumbnail = ImageHeader.from_address(ctypes.c_void_p.from_address(self.handle + 80).value)

    def block(self, magnification, x, y):
        """The index entry of the tile at (x, y) of a level."""
        return next(b for b in self.blocks if b.scaleRatio == magnification and (b.posX, b.posY) == (x, y))

    def close(self):
        if self.handle:
            self.lib.yelk_unload_image(self.handle, 0)
            self.handle = None

    def levels(self):
        """(magnification, width, height) of each level, finest first."""
        sizes = {}
        for block in self.blocks:
            w, h = sizes.get(block.scaleRatio, (0, 0))
            sizes[block.scaleRatio] = (max(w, block.posX + block.width), max(h, block.posY + block.height))
        return [(m, *sizes[m]) for m in sorted(sizes, reverse=True)]

    def stream(self, magnification, x, y):
        buffer = ctypes.create_string_buffer(196608)
        length = ctypes.c_uint32(0)
        result = self.lib.yelk_get_datablock_stream_single(self.handle, int(magnification), x, y, buffer,
                                                           ctypes.byref(length))
        assert result == 0, f"tile ({x}, {y}) at {magnification}x: result {result}"
        return buffer.raw[:length.value]

    def level_pixels(self, magnification, width, height):
        """The level as the slide decodes it: its tiles, decoded by libjpeg
        with its defaults (Pillow), laid side by side. RGB."""
        pixels = np.zeros((height, width, 3), np.uint8)
        for y in range(0, height, 256):
            for x in range(0, width, 256):
                tile = np.asarray(Image.open(io.BytesIO(self.stream(magnification, x, y))).convert("RGB"))
                part = pixels[y:y + tile.shape[0], x:x + tile.shape[1]]  # a copied edge tile is whole
                part[...] = tile[:part.shape[0], :part.shape[1]]
        return pixels

    def image(self, which, folder):
        path = os.path.join(folder, f"{which}.jpg")
        fetch = self.lib.yelk_get_label_image if which == "label" else self.lib.yelk_get_preview_image
        assert fetch(self.handle, path.encode()) == 0
        return np.asarray(Image.open(path).convert("RGB"))


@pytest.fixture
def open_slide():
    slides = []

    def opener(path):
        slides.append(Slide(path))
        return slides[-1]

    yield opener
    for slide in slides:
        slide.close()


def read_level0(path):
    """The whole scan level through the reader module, RGB."""
    import tqfReader
    reader = tqfReader.reader()
    assert reader.ReadInfo(str(path))
    width, height, scale = reader.getWidth(), reader.getHeight(), reader.getReadScale()
    return reader.ReadRoi(0, 0, width, height, scale).reshape(height, width, 3)[:, :, ::-1]
