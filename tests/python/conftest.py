"""Shared fixtures of the module tests.

Two processes run this suite (tests/python/CMakeLists.txt): one with the
recording double of the slide library on LD_LIBRARY_PATH (every test but
those marked `standin`), and one with the stand-in library that reads real
slides made by tqf-convert (the tests marked `standin`).
"""
import ctypes
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import _tqfReader
import tqfReader  # registers the class; collected handles then destroy their readers

# Every reader function that takes a reader as argument 1, with the
# TypeError message for a bad argument 1 and a valid remainder of arguments.
READER_FUNCTIONS = [
    ("reader_ReadRoi", "tqfio::reader *", (0, 0, 1, 1, 20)),
    ("reader_ReadPreview", "tqfio::reader *", ()),
    ("reader_getWidth", "tqfio::reader const *", ()),
    ("reader_getHeight", "tqfio::reader const *", ()),
    ("reader_getReadScale", "tqfio::reader *", ()),
    ("reader_setReadScale", "tqfio::reader *", (10.0,)),
    ("reader_readLabelImage", "tqfio::reader *", ()),
]

OVERLOAD_MESSAGE = (
    "Wrong number or type of arguments for overloaded function 'reader_ReadInfo'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    tqfio::reader::ReadInfo(std::string const &,double const,bool)\n"
    "    tqfio::reader::ReadInfo(std::string const &,double const)\n"
    "    tqfio::reader::ReadInfo(std::string const &)\n"
)


def argument_1_message(function, type_name):
    return "in method '%s', argument 1 of type '%s'" % (function, type_name)


class Double:
    """The control functions of the recording double, through ctypes."""

    def __init__(self, library):
        self._lib = library
        library.yelk_double_log.restype = ctypes.c_char_p
        library.yelk_double_add_slide.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]
        library.yelk_double_fail_path.argtypes = [ctypes.c_char_p]
        library.yelk_double_set_preview.argtypes = [ctypes.c_char_p, ctypes.c_uint]
        library.yelk_double_set_label.argtypes = [ctypes.c_char_p, ctypes.c_uint]
        library.yelk_double_pattern_pixel.argtypes = [
            ctypes.c_uint, ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte)]

    def reset(self):
        self._lib.yelk_double_reset()

    def set_slide(self, width, height, scan_scale):
        self._lib.yelk_double_set_slide(width, height, scan_scale)

    def add_slide(self, path, width, height, scan_scale):
        self._lib.yelk_double_add_slide(path.encode(), width, height, scan_scale)

    def fail_path(self, path):
        self._lib.yelk_double_fail_path(path.encode())

    def set_pattern_level(self, scale, width, height):
        self._lib.yelk_double_set_pattern_level(scale, width, height)

    def pattern_pixel(self, scale, px, py):
        bgr = (ctypes.c_ubyte * 3)()
        self._lib.yelk_double_pattern_pixel(scale, px, py, bgr)
        return bytes(bgr)

    def set_preview(self, data):
        self._lib.yelk_double_set_preview(data, len(data) if data is not None else 0)

    def set_label(self, data):
        self._lib.yelk_double_set_label(data, len(data) if data is not None else 0)

    def log(self):
        return self._lib.yelk_double_log().decode("utf-8", "replace").splitlines()

    def clear_log(self):
        self._lib.yelk_double_clear_log()

    def live_handles(self):
        return self._lib.yelk_double_live_handles()

    def bad_unloads(self):
        return self._lib.yelk_double_bad_unloads()


def pytest_configure(config):
    config.addinivalue_line("markers", "standin: needs the stand-in slide library and tqf-convert")


def _loaded_double():
    library = ctypes.CDLL("libyelk.so.1")  # the copy the module already loaded
    return Double(library) if hasattr(library, "yelk_double_reset") else None


_DOUBLE = _loaded_double()


@pytest.fixture
def double():
    """The recording double, reset; checks afterwards that no handle was
    unloaded twice."""
    if _DOUBLE is None:
        if os.environ.get("TQF_REQUIRE_DOUBLE"):
            pytest.fail("the module did not load the recording double; LD_LIBRARY_PATH=%r"
                        % os.environ.get("LD_LIBRARY_PATH"))
        pytest.skip("needs the recording double: run with LD_LIBRARY_PATH=$YELK_DOUBLE_DIR")
    _DOUBLE.reset()
    yield _DOUBLE
    assert _DOUBLE.bad_unloads() == 0


@pytest.fixture
def handle():
    """A handle of a new reader, deleted afterwards."""
    h = _tqfReader.new_reader()
    yield h
    _tqfReader.delete_reader(h)


@pytest.fixture
def open_handle(double):
    """A handle of a reader on a 1000 x 800 slide scanned at 20, whose tile
    level holds the double's pattern; the log starts empty."""
    double.set_slide(1000, 800, 20)
    double.set_pattern_level(20, 1000, 800)
    h = _tqfReader.new_reader()
    assert _tqfReader.reader_ReadInfo(h, "slide.tqf")
    double.clear_log()
    yield h
    _tqfReader.delete_reader(h)


@pytest.fixture
def scratch_dir(tmp_path, monkeypatch):
    """Preview and label reads write their scratch files in the working
    directory: give each test its own."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture(autouse=True)
def registered_reader_class():
    """Tests may register other classes; put the shipped one back."""
    yield
    _tqfReader.reader_swigregister(tqfReader.reader)


def png(rgb):
    """A lossless PNG of an (height, width, 3) uint8 array of red, green, blue."""
    rgb = np.ascontiguousarray(rgb, dtype=np.uint8)
    height, width, _ = rgb.shape
    rows = np.zeros((height, 1 + 3 * width), dtype=np.uint8)  # filter byte 0 per row
    rows[:, 1:] = rgb.reshape(height, 3 * width)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows.tobytes(), 1))
            + chunk(b"IEND", b""))


def under_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def run_python(code, *, env_extra=None, cwd=None, timeout=120):
    """Runs `code` in a new interpreter with this process's environment
    (module path, library path, sanitizer preload) and returns the result."""
    env = dict(os.environ)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          cwd=cwd, timeout=timeout)
