"""reader_ReadInfo: its three forms map to the native calls, and every
call that fits none raises the one overload error without side effects."""
import pathlib

import pytest

import _tqfReader as m
from conftest import OVERLOAD_MESSAGE


@pytest.mark.parametrize("extra, logged_read_all, width, height", [
    ((), 0, 999, 777),               # ReadInfo(path, 0.0, false): scan magnification
    ((20,), 0, 500, 389),            # ReadInfo(path, 20, false)
    ((20.0,), 0, 500, 389),
    ((10, True), 1, 250, 194),       # ReadInfo(path, 10, true)
    ((13.3, False), 0, 332, 258),
    ((True, False), 0, 25, 19),      # True is the scale 1.0
])
def test_forms_make_the_native_calls(handle, double, extra, logged_read_all, width, height):
    double.set_slide(999, 777, 40)
    assert m.reader_ReadInfo(handle, "s.tqf", *extra) is True
    assert double.log() == ["yelk_load_image(s.tqf, %d)" % logged_read_all]
    assert (m.reader_getWidth(handle), m.reader_getHeight(handle)) == (width, height)
    assert m.reader_getReadScale(handle) == 40


def test_reopening_unloads_with_the_new_read_all_flag(handle, double):
    double.set_slide(999, 777, 40)
    assert m.reader_ReadInfo(handle, "a.tqf", 0, True)
    assert m.reader_ReadInfo(handle, "b.tqf")
    assert double.log() == ["yelk_load_image(a.tqf, 1)", "yelk_unload_image(slide#1, 0)",
                            "yelk_load_image(b.tqf, 0)"]


@pytest.mark.parametrize("path", ["slide.TQF", "a.tqf.bak", "abc"])
def test_refused_paths_return_false_without_a_load(handle, double, path):
    double.set_slide(999, 777, 40)
    assert m.reader_ReadInfo(handle, path) is False
    assert double.log() == []


def test_a_load_failure_returns_false(handle, double):
    double.fail_path("gone.tqf")
    assert m.reader_ReadInfo(handle, "gone.tqf", 20) is False
    assert double.log() == ["yelk_load_image(gone.tqf, 0)"]


@pytest.mark.parametrize("args", [
    pytest.param(("H", "s.tqf", 20, 1), id="read_all-int"),
    pytest.param(("H", b"s.tqf"), id="bytes-path"),
    pytest.param(("H", bytearray(b"s.tqf")), id="bytearray-path"),
    pytest.param(("H", pathlib.Path("s.tqf")), id="path-object"),
    pytest.param(("H", 5), id="int-path"),
    pytest.param(("H", "s.tqf", "20"), id="str-scale"),
    pytest.param(("H", "s.tqf", None), id="None-scale"),
    pytest.param(("H", "s.tqf", 10 ** 400), id="int-too-large-for-double"),
    pytest.param(("H",), id="one-argument"),
    pytest.param((), id="no-argument"),
    pytest.param(("H", "s.tqf", 20, False, 5), id="five-arguments"),
    pytest.param((42, "s.tqf"), id="not-a-reader"),
    pytest.param((None, "s.tqf"), id="None-reader"),
    pytest.param((None, None), id="None-reader-None-path"),
    pytest.param(("H", None, "20"), id="None-path-bad-scale"),
])
def test_calls_that_fit_no_form_raise_the_overload_error(handle, double, args):
    double.set_slide(999, 777, 40)
    args = [handle if a == "H" else a for a in args]
    with pytest.raises(NotImplementedError) as raised:
        m.reader_ReadInfo(*args)
    assert str(raised.value) == OVERLOAD_MESSAGE
    assert str(raised.value).endswith("\n")
    assert double.log() == []


@pytest.mark.parametrize("extra", [(), (20,), (20, True)])
def test_none_path_raises_the_null_reference_error(handle, double, extra):
    with pytest.raises(ValueError) as raised:
        m.reader_ReadInfo(handle, None, *extra)
    assert str(raised.value) == (
        "invalid null reference in method 'reader_ReadInfo', argument 2 of type 'std::string const &'")
    assert double.log() == []


def test_a_reader_behind_a_property_passes_the_dispatch(handle, double):
    class Wrapper:
        @property
        def this(self):
            return handle

    double.set_slide(999, 777, 40)
    with pytest.raises(NotImplementedError):
        m.reader_ReadInfo(Wrapper(), "s.tqf", "bad")
    assert m.reader_ReadInfo(Wrapper(), "s.tqf") is True
    assert m.reader_getWidth(handle) == 999
