"""No Python object is leaked by any function, on success or failure: a
reference counting mistake shows as memory that Python's allocator keeps
after thousands of calls."""
import tracemalloc

import numpy as np
import pytest

import _tqfReader as m
import tqfReader
from conftest import png


class Holder:
    def __init__(self, this):
        self.this = this


def new_and_delete(h):
    m.delete_reader(m.new_reader())


def new_and_collect(h):
    m.new_reader()  # destroyed through the registered class


def read_info_forms(h):
    m.reader_ReadInfo(h, "slide.tqf")
    m.reader_ReadInfo(Holder(h), "slide.tqf", 20.0, False)


CALLS = [
    pytest.param(new_and_delete, id="new-delete"),
    pytest.param(new_and_collect, id="new-collect"),
    pytest.param(lambda h: tqfReader.reader().getWidth(), id="class"),
    pytest.param(read_info_forms, id="ReadInfo"),
    pytest.param(lambda h: m.reader_ReadInfo(h, 5), id="ReadInfo-overload-error"),
    pytest.param(lambda h: m.reader_ReadInfo(h, None), id="ReadInfo-null-path"),
    pytest.param(lambda h: m.reader_ReadInfo(h, "\udc80.tqf"), id="ReadInfo-surrogate"),
    pytest.param(lambda h: m.reader_ReadRoi(Holder(h), 3, 4, 5, 6, 20), id="ReadRoi"),
    pytest.param(lambda h: m.reader_ReadRoi(h, 3, 4, 5 + np.random.randint(3), 6, 20), id="ReadRoi-sizes"),
    pytest.param(lambda h: m.reader_ReadRoi(h, 0, 2 ** 40, 1, 1, 20), id="ReadRoi-overflow"),
    pytest.param(lambda h: m.reader_ReadRoi(h, 0, 0, -1, 1, 20), id="ReadRoi-value-error"),
    pytest.param(lambda h: m.reader_ReadPreview(h), id="ReadPreview"),
    pytest.param(lambda h: m.reader_readLabelImage(h), id="readLabelImage-failure"),
    pytest.param(lambda h: m.reader_getWidth(Holder(Holder(h))), id="getWidth"),
    pytest.param(lambda h: m.reader_getHeight(42), id="getHeight-type-error"),
    pytest.param(lambda h: m.reader_setReadScale(h, 1e39), id="setReadScale-overflow"),
    pytest.param(lambda h: m.reader_swigregister(tqfReader.reader), id="swigregister"),
    pytest.param(lambda h: m.SWIG_PyInstanceMethod_New(len), id="instance-method"),
]


@pytest.mark.parametrize("call", CALLS)
def test_repeated_calls_keep_no_python_memory(open_handle, double, scratch_dir, call):
    double.set_preview(png(np.zeros((4, 4, 3))))

    def run(times):
        for _ in range(times):
            try:
                call(open_handle)
            except (TypeError, ValueError, OverflowError, NotImplementedError, UnicodeEncodeError):
                pass

    run(200)  # caches, interned strings and the like settle first
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(4000)
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 40_000  # one leaked object per call would be 100 kB or more
