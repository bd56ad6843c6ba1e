"""Argument conversions: the exception type and exact message of every
failure, the values that pass, and that nothing reaches the reader or the
slide library after a failure."""
import numpy as np
import pytest

import _tqfReader as m
from conftest import READER_FUNCTIONS, argument_1_message


class IntSubclass(int):
    def __index__(self):  # never consulted: the int value counts
        return 7


class FloatSubclass(float):
    pass


class IndexOnly:
    def __index__(self):
        return 1


class FloatLike:
    def __float__(self):
        return 1.0


def roi_message(position, type_name):
    return "in method 'reader_ReadRoi', argument %d of type '%s'" % (position, type_name)


def region_args(handle, position, value):
    """A valid region read (1 x 1 at the top-left, scale 20) with argument
    `position` (2 to 6) replaced."""
    args = [handle, 0, 0, 1, 1, 20]
    args[position - 1] = value
    return args


# ---- int conversion (x, y, w, h of reader_ReadRoi) ----

@pytest.mark.parametrize("value, error", [
    (2147483648, OverflowError),
    (-2147483649, OverflowError),
    (2 ** 63, OverflowError),   # beyond 64 bits
    (2 ** 70, OverflowError),
    (-2 ** 70, OverflowError),
    (0.0, TypeError),
    (1.5, TypeError),
    ("1", TypeError),
    (None, TypeError),
    (np.int32(1), TypeError),   # NumPy integer scalars are not int
    (IndexOnly(), TypeError),   # __index__ is not consulted
    (b"1", TypeError),
])
@pytest.mark.parametrize("position", [2, 3, 4, 5])
def test_int_conversion_failures(open_handle, double, position, value, error):
    with pytest.raises(error) as raised:
        m.reader_ReadRoi(*region_args(open_handle, position, value))
    assert type(raised.value) is error
    assert str(raised.value) == roi_message(position, "int")
    assert double.log() == []


@pytest.mark.parametrize("x, pixel_x", [
    (True, 1),            # bool is an int: True is 1
    (False, 0),
    (IntSubclass(3), 3),  # a subclass counts by its value, not its __index__
    (999, 999),
])
def test_int_conversion_passes_the_value(open_handle, double, x, pixel_x):
    assert m.reader_ReadRoi(open_handle, x, 5, 1, 1, 20).tobytes() == double.pattern_pixel(20, pixel_x, 5)


@pytest.mark.parametrize("value", [2147483647, -2147483648])
def test_int_conversion_accepts_the_32_bit_limits(open_handle, value):
    # Far outside the slide: converts and reads white.
    assert m.reader_ReadRoi(open_handle, value, value, 1, 1, 20).tolist() == [255] * 3


# ---- double conversion (scale of reader_ReadRoi and reader_ReadInfo) ----

@pytest.mark.parametrize("value", [10 ** 400, -10 ** 400, "20", None, b"20", np.array([20.0]), FloatLike(), 1j])
def test_double_conversion_failures_in_read_roi(open_handle, double, value):
    with pytest.raises(TypeError) as raised:
        m.reader_ReadRoi(open_handle, 0, 0, 1, 1, value)
    assert type(raised.value) is TypeError
    assert str(raised.value) == roi_message(6, "double")
    assert double.log() == []


@pytest.mark.parametrize("value", [20, 20.0, FloatSubclass(20.0), np.float64(20.0), IntSubclass(20)])
def test_double_conversion_accepts_floats_and_ints(open_handle, double, value):
    assert m.reader_ReadRoi(open_handle, 2, 3, 1, 1, value).tobytes() == double.pattern_pixel(20, 2, 3)


@pytest.mark.parametrize("scale, width", [
    (20, 500), (20.0, 500), (True, 25), (FloatSubclass(10.0), 250),
    (float("nan"), 999), (-3, 999), (0, 999),  # not above 0: the scan magnification
])
def test_double_conversion_in_read_info(handle, double, scale, width):
    double.set_slide(999, 777, 40)
    assert m.reader_ReadInfo(handle, "slide.tqf", scale) is True
    assert m.reader_getWidth(handle) == width


# ---- float conversion (scale of reader_setReadScale) ----

FLT_MAX = 3.4028234663852886e38


@pytest.mark.parametrize("value, error", [
    (1e39, OverflowError),
    (-1e39, OverflowError),
    (float("inf"), OverflowError),
    (float("-inf"), OverflowError),
    (np.nextafter(FLT_MAX, np.inf), OverflowError),
    (10 ** 400, TypeError),
    ("10", TypeError),
    (None, TypeError),
    (FloatLike(), TypeError),
])
def test_float_conversion_failures(handle, value, error):
    with pytest.raises(error) as raised:
        m.reader_setReadScale(handle, value)
    assert type(raised.value) is error
    assert str(raised.value) == "in method 'reader_setReadScale', argument 2 of type 'float'"
    assert m.reader_getReadScale(handle) == 20


@pytest.mark.parametrize("value, read_scale", [
    (10.9, 10),      # truncated toward zero by the reader
    (-3.7, -3),
    (7, 7),
    (True, 1),
    (FloatSubclass(12.5), 12),
    (np.float64(30.0), 30),
    (FLT_MAX, 20),   # converts; the reader keeps its scale for values beyond int
    (-FLT_MAX, 20),
    (float("nan"), 20),  # passes to the reader, which keeps its scale
])
def test_float_conversion_passes_to_the_reader(handle, value, read_scale):
    assert m.reader_setReadScale(handle, value) is None
    assert m.reader_getReadScale(handle) == read_scale


# ---- bool conversion (read_all of reader_ReadInfo) ----

@pytest.mark.parametrize("read_all, logged", [(True, 1), (False, 0)])
def test_bool_conversion_passes_true_and_false(handle, double, read_all, logged):
    double.set_slide(100, 100, 20)
    assert m.reader_ReadInfo(handle, "a.tqf", 20, read_all) is True
    assert double.log() == ["yelk_load_image(a.tqf, %d)" % logged]


@pytest.mark.parametrize("read_all", [0, 1, None, "True", np.bool_(True), 1.0])
def test_bool_conversion_refuses_everything_else(handle, double, read_all):
    double.set_slide(100, 100, 20)
    with pytest.raises(NotImplementedError):
        m.reader_ReadInfo(handle, "a.tqf", 20, read_all)
    assert double.log() == []


# ---- string conversion (file_name of reader_ReadInfo) ----

class StrSubclass(str):
    pass


@pytest.mark.parametrize("path, logged", [
    ("a.tqf", "a.tqf"),
    (StrSubclass("sub.tqf"), "sub.tqf"),
    ("\u00e9t\u00e9/\u4e2d.tqf", "\u00e9t\u00e9/\u4e2d.tqf"),  # encoded as UTF-8
])
def test_string_conversion_passes_the_utf8_path(handle, double, path, logged):
    double.set_slide(100, 100, 20)
    assert m.reader_ReadInfo(handle, path) is True
    assert double.log() == ["yelk_load_image(%s, 0)" % logged]


def test_string_conversion_keeps_nul_bytes(handle, double, capfd):
    # All encoded bytes reach the reader, which refuses a path with a NUL.
    double.set_slide(100, 100, 20)
    assert m.reader_ReadInfo(handle, "a\0b.tqf") is False
    assert "a\\0b.tqf" in capfd.readouterr().err
    assert double.log() == []


@pytest.mark.parametrize("path", ["\udc80.tqf", "a\ud800b.tqf"])
@pytest.mark.parametrize("extra", [(), (20,), (20, False)])
def test_string_conversion_refuses_lone_surrogates(handle, double, path, extra):
    double.set_slide(100, 100, 20)
    with pytest.raises(UnicodeEncodeError):
        m.reader_ReadInfo(handle, path, *extra)
    assert double.log() == []


# ---- reader conversion (argument 1) ----

class Holder:
    def __init__(self, this):
        self.this = this


class RaisingThis:
    @property
    def this(self):
        raise RuntimeError("lookup fails")


def cyclic_holder():
    holder = Holder(None)
    holder.this = holder
    return holder


NOT_READERS = [
    pytest.param(lambda h: 42, id="int"),
    pytest.param(lambda h: None, id="None"),
    pytest.param(lambda h: "reader", id="str"),
    pytest.param(lambda h: Holder(42), id="this-not-a-handle"),
    pytest.param(lambda h: Holder(None), id="this-None"),
    pytest.param(lambda h: RaisingThis(), id="this-raises"),
    pytest.param(lambda h: cyclic_holder(), id="this-cycle"),
]


@pytest.mark.parametrize("make", NOT_READERS)
@pytest.mark.parametrize("function, type_name, rest", READER_FUNCTIONS)
def test_reader_conversion_refuses_non_readers(handle, function, type_name, rest, make):
    with pytest.raises(TypeError) as raised:
        getattr(m, function)(make(handle), *rest)
    assert type(raised.value) is TypeError
    assert str(raised.value) == argument_1_message(function, type_name)


@pytest.mark.parametrize("wrap", [
    pytest.param(lambda h: h, id="handle"),
    pytest.param(lambda h: Holder(h), id="this"),
    pytest.param(lambda h: Holder(Holder(h)), id="this-of-this"),
])
@pytest.mark.parametrize("function, type_name, rest", READER_FUNCTIONS)
def test_reader_conversion_accepts_handles_and_holders(handle, scratch_dir, function, type_name, rest, wrap):
    getattr(m, function)(wrap(handle), *rest)


# ---- precedence: the leftmost bad argument is reported ----

@pytest.mark.parametrize("args, error, message", [
    ((42, 0.0, 2 ** 70, "w", "h", "s"), TypeError, argument_1_message("reader_ReadRoi", "tqfio::reader *")),
    (("H", 0.0, 2 ** 70, 1, 1, "s"), TypeError, roi_message(2, "int")),
    (("H", 0, 2 ** 70, "w", 1, "s"), OverflowError, roi_message(3, "int")),
    (("H", 0, 0, 1.0, -1, "s"), TypeError, roi_message(4, "int")),
    (("H", 0, 0, 1, 2 ** 31, "s"), OverflowError, roi_message(5, "int")),
    (("H", 0, 0, -1, -1, "s"), TypeError, roi_message(6, "double")),  # conversions before value checks
])
def test_leftmost_bad_argument_is_reported(open_handle, double, args, error, message):
    args = [open_handle if a == "H" else a for a in args]
    with pytest.raises(error) as raised:
        m.reader_ReadRoi(*args)
    assert type(raised.value) is error
    assert str(raised.value) == message
    assert double.log() == []


def test_set_read_scale_reports_argument_1_before_argument_2():
    with pytest.raises(TypeError) as raised:
        m.reader_setReadScale(42, "x")
    assert str(raised.value) == argument_1_message("reader_setReadScale", "tqfio::reader *")


# ---- region values that convert but cannot be read ----

@pytest.mark.parametrize("w, h, scale, message", [
    (-1, 1, 20, "reader_ReadRoi: argument 4 (w) must not be negative, got -1"),
    (1, -5, 20, "reader_ReadRoi: argument 5 (h) must not be negative, got -5"),
    (-1, -1, 0, "reader_ReadRoi: argument 4 (w) must not be negative, got -1"),
    (715827883, 1, 20, "reader_ReadRoi: arguments 4 and 5 (w x h = 715827883 x 1) need 2147483649 bytes, "
                       "more than 2147483647"),
    (50000, 50000, 20, "reader_ReadRoi: arguments 4 and 5 (w x h = 50000 x 50000) need 7500000000 bytes, "
                       "more than 2147483647"),
    (2147483647, 2147483647, 20, "reader_ReadRoi: arguments 4 and 5 (w x h = 2147483647 x 2147483647) need "
                                 "13835058042397261827 bytes, more than 2147483647"),
    (134217729, 1, 20, "reader_ReadRoi: argument 4 (w) is 134217729, more than 134217728 pixels"),
    (0, 134217729, 20, "reader_ReadRoi: argument 5 (h) is 134217729, more than 134217728 pixels"),
    (1, 1, 0, "reader_ReadRoi: argument 6 (scale) must be a positive finite magnification, got 0.0"),
    (1, 1, -0.0, "reader_ReadRoi: argument 6 (scale) must be a positive finite magnification, got -0.0"),
    (1, 1, -20, "reader_ReadRoi: argument 6 (scale) must be a positive finite magnification, got -20.0"),
    (1, 1, float("nan"), "reader_ReadRoi: argument 6 (scale) must be a positive finite magnification, got nan"),
    (1, 1, float("inf"), "reader_ReadRoi: argument 6 (scale) must be a positive finite magnification, got inf"),
])
def test_region_values_the_reader_cannot_serve_raise_value_error(open_handle, double, w, h, scale, message):
    with pytest.raises(ValueError) as raised:
        m.reader_ReadRoi(open_handle, 0, 0, w, h, scale)
    assert str(raised.value) == message
    assert double.log() == []
