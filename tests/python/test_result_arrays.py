"""The arrays of reader_ReadRoi, reader_ReadPreview and reader_readLabelImage:
their properties, aliasing of equal-size region reads, and memory that stays
valid for as long as an array views it."""
import gc
import os
import textwrap

import numpy as np
import pytest

import _tqfReader as m
from conftest import png, run_python, under_sanitizer


def expected_region(double, x, y, w, h, scale=20):
    """The double's pattern for a region inside the slide, as BGR bytes."""
    return b"".join(double.pattern_pixel(scale, px, py) for py in range(y, y + h) for px in range(x, x + w))


def image_png(width, height, seed):
    rng = np.random.default_rng(seed)
    rgb = rng.integers(0, 256, size=(height, width, 3), dtype=np.uint8)
    return png(rgb), rgb[:, :, ::-1].tobytes()


def assert_view_properties(array, length):
    assert type(array) is np.ndarray
    assert array.ndim == 1 and array.shape == (length,)
    assert array.dtype == np.uint8
    flags = array.flags
    assert flags.c_contiguous and flags.aligned and flags.writeable and flags.carray
    assert not flags.owndata
    assert array.base is not None  # keeps the memory alive


def test_region_array_is_a_bare_view_of_the_pixels(open_handle, double):
    array = m.reader_ReadRoi(open_handle, 10, 20, 6, 4, 20)
    assert_view_properties(array, 6 * 4 * 3)
    assert array.tobytes() == expected_region(double, 10, 20, 6, 4)
    assert array.reshape(4, 6, 3)[1, 2].tobytes() == double.pattern_pixel(20, 12, 21)


@pytest.mark.parametrize("function, setter", [
    ("reader_ReadPreview", "set_preview"),
    ("reader_readLabelImage", "set_label"),
])
def test_image_functions_return_width_and_a_view(open_handle, double, scratch_dir, function, setter):
    data, bgr = image_png(7, 5, seed=1)
    getattr(double, setter)(data)
    result = getattr(m, function)(open_handle)
    assert type(result) is list and len(result) == 2
    width, array = result
    assert width == 7
    assert_view_properties(array, 7 * 5 * 3)
    assert array.tobytes() == bgr
    assert len(array) // (3 * width) == 5


@pytest.mark.parametrize("function", ["reader_ReadPreview", "reader_readLabelImage"])
def test_image_functions_without_an_image_return_zero_and_an_empty_array(open_handle, scratch_dir, function):
    width, array = getattr(m, function)(open_handle)
    assert width == 0
    assert array.shape == (0,) and array.dtype == np.uint8 and array.ndim == 1


@pytest.mark.parametrize("w, h", [(0, 5), (5, 0), (0, 0)])
def test_zero_byte_regions_are_empty_arrays(open_handle, w, h):
    array = m.reader_ReadRoi(open_handle, 0, 0, w, h, 20)
    assert array.shape == (0,) and array.dtype == np.uint8
    # After a read with a buffer, a zero-byte read still yields an empty array.
    m.reader_ReadRoi(open_handle, 0, 0, 2, 2, 20)
    assert m.reader_ReadRoi(open_handle, 0, 0, w, h, 20).shape == (0,)


def test_equal_size_reads_share_memory(open_handle, double):
    first = m.reader_ReadRoi(open_handle, 0, 0, 4, 3, 20)
    second = m.reader_ReadRoi(open_handle, 100, 50, 3, 4, 20)  # same byte count
    assert np.shares_memory(first, second)
    assert first.tobytes() == expected_region(double, 100, 50, 3, 4)


def test_each_preview_is_a_new_buffer(open_handle, double, scratch_dir):
    first_png, first_bgr = image_png(4, 4, seed=2)
    second_png, second_bgr = image_png(4, 4, seed=3)
    double.set_preview(first_png)
    _, first = m.reader_ReadPreview(open_handle)
    double.set_preview(second_png)
    _, second = m.reader_ReadPreview(open_handle)
    assert not np.shares_memory(first, second)
    m.delete_reader(open_handle)
    gc.collect()
    assert (first.tobytes(), second.tobytes()) == (first_bgr, second_bgr)


def churn_equal_sized_buffers(double, w, h, count=50):
    """Region reads of w x h on other readers, so that freed memory of that
    size is handed out again and overwritten with other pixels."""
    readers = []
    for i in range(count):
        other = m.new_reader()
        assert m.reader_ReadInfo(other, "slide.tqf")
        m.reader_ReadRoi(other, 300 + i, 200, w, h, 20)
        readers.append(other)
    for other in readers:
        m.delete_reader(other)


@pytest.mark.parametrize("release", ["other-size read", "delete_reader", "collection"])
def test_region_arrays_outlive_what_releases_the_readers_buffer(double, release):
    double.set_slide(1000, 800, 20)
    double.set_pattern_level(20, 1000, 800)
    h = m.new_reader()
    assert m.reader_ReadInfo(h, "slide.tqf")
    array = m.reader_ReadRoi(h, 5, 7, 8, 6, 20)
    expected = expected_region(double, 5, 7, 8, 6)
    if release == "other-size read":
        m.reader_ReadRoi(h, 0, 0, 9, 9, 20)
    elif release == "delete_reader":
        m.delete_reader(h)
    else:
        del h  # the registered class destroys the reader
    gc.collect()
    churn_equal_sized_buffers(double, 8, 6)
    assert array.tobytes() == expected
    assert double.bad_unloads() == 0


def test_the_reader_keeps_its_buffer_for_the_next_equal_size_read(open_handle, double):
    array = m.reader_ReadRoi(open_handle, 0, 0, 2, 2, 20)
    del array
    again = m.reader_ReadRoi(open_handle, 1, 1, 2, 2, 20)
    assert again.tobytes() == expected_region(double, 1, 1, 2, 2)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_dropped_image_arrays_release_their_buffers(open_handle, double, scratch_dir):
    # 3 MB per call: leaking would add 1.5 GB.
    double.set_preview(png(np.zeros((1000, 1000, 3))))
    double.set_label(png(np.full((1000, 1000, 3), 9)))
    for _ in range(5):
        m.reader_ReadPreview(open_handle)
    before = resident_bytes()
    for _ in range(250):
        assert len(m.reader_ReadPreview(open_handle)[1]) == 3_000_000
        assert len(m.reader_readLabelImage(open_handle)[1]) == 3_000_000
    # A sanitizer keeps freed memory in quarantine for a while (256 MB).
    assert resident_bytes() - before < 400_000_000


def test_dropped_region_arrays_release_superseded_buffers(open_handle):
    before = resident_bytes()
    for i in range(300):
        m.reader_ReadRoi(open_handle, 0, 0, 1000 - i % 2, 800, 20)  # 2.4 MB, alternating sizes
    assert resident_bytes() - before < 400_000_000


def test_huge_opencv_allocation_raises_memory_error(open_handle, double):
    # A read scale of 2e9 makes a 1 x 1 region 1e8 x 1e8 pixels at the tile level.
    m.reader_setReadScale(open_handle, 2e9)
    with pytest.raises(MemoryError):
        m.reader_ReadRoi(open_handle, 0, 0, 1, 1, 20)
    m.reader_setReadScale(open_handle, 20)
    assert m.reader_ReadRoi(open_handle, 0, 0, 1, 1, 20).tobytes() == double.pattern_pixel(20, 0, 0)


# The region buffer is 1.8 GB; the address space is limited so that its
# allocation throws std::bad_alloc.
BAD_ALLOC = textwrap.dedent("""
    import ctypes, resource
    import _tqfReader as m
    double = ctypes.CDLL("libyelk.so.1")
    double.yelk_double_set_slide(40000, 40000, 20)
    h = m.new_reader()
    assert m.reader_ReadInfo(h, "big.tqf")
    with open("/proc/self/statm") as statm:
        size = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + 512 * 2 ** 20, resource.RLIM_INFINITY))
    try:
        m.reader_ReadRoi(h, 0, 0, 30000, 20000, 20)
    except MemoryError as error:
        print("MemoryError", error)
    print(len(m.reader_ReadRoi(h, 0, 0, 2, 2, 20)))
    m.delete_reader(h)
""")


@pytest.mark.skipif(under_sanitizer(),
                    reason="the sanitizer's allocator reserves more address space than the limit")
def test_allocation_failure_in_the_reader_raises_memory_error(double):
    result = run_python(BAD_ALLOC)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "MemoryError reader_ReadRoi: std::bad_alloc\n12\n"
