"""Reader lifetime from Python: delete_reader, collection of owning handles
through the registered class, the leak report, and deleted readers."""
import gc
import textwrap

import pytest

import _tqfReader as m
import tqfReader
from conftest import READER_FUNCTIONS, run_python

LEAK_LINE = "swig/python detected a memory leak of type 'tqfio::reader *', no destructor found.\n"


def unloads(double):
    return [line for line in double.log() if line.startswith("yelk_unload_image")]


def open_reader(double):
    """A new handle whose reader has a 100 x 100 slide open. Tests that drop
    it make it themselves: a fixture's value would outlive the test."""
    double.set_slide(100, 100, 20)
    h = m.new_reader()
    assert m.reader_ReadInfo(h, "s.tqf")
    return h


@pytest.fixture
def opened(double):
    h = open_reader(double)
    yield h
    m.delete_reader(h)


class Holder:
    def __init__(self, this):
        self.this = this


@pytest.mark.parametrize("target", [
    pytest.param(lambda h: h, id="handle"),
    pytest.param(lambda h: Holder(h), id="holder"),
])
def test_delete_destroys_once_and_later_deletes_do_nothing(double, target):
    opened = open_reader(double)
    assert m.delete_reader(target(opened)) is None
    assert m.delete_reader(target(opened)) is None
    assert m.delete_reader(opened) is None
    del opened
    gc.collect()
    assert unloads(double) == ["yelk_unload_image(slide#1, 0)"]
    assert double.live_handles() == 0


@pytest.mark.parametrize("function, type_name, rest", READER_FUNCTIONS)
@pytest.mark.parametrize("wrap", [lambda h: h, lambda h: Holder(h)], ids=["handle", "holder"])
def test_deleted_readers_are_refused_by_every_function(opened, double, scratch_dir, function, type_name,
                                                       rest, wrap):
    m.delete_reader(opened)
    double.clear_log()
    with pytest.raises(ValueError) as raised:
        getattr(m, function)(wrap(opened), *rest)
    assert str(raised.value) == "%s: argument 1 is a reader that was deleted" % function
    assert double.log() == []


@pytest.mark.parametrize("extra", [(), (20,), (20, False)])
def test_read_info_refuses_a_deleted_reader(opened, double, extra):
    m.delete_reader(opened)
    double.clear_log()
    with pytest.raises(ValueError) as raised:
        m.reader_ReadInfo(opened, "s.tqf", *extra)
    assert str(raised.value) == "reader_ReadInfo: argument 1 is a reader that was deleted"
    assert double.log() == []


def test_delete_of_none_does_nothing():
    assert m.delete_reader(None) is None


@pytest.mark.parametrize("value", [42, "reader", Holder(7), Holder(None)])
def test_delete_refuses_non_readers(value):
    with pytest.raises(TypeError) as raised:
        m.delete_reader(value)
    assert str(raised.value) == "in method 'delete_reader', argument 1 of type 'tqfio::reader *'"


def test_collected_handle_is_destroyed_through_the_registered_class(double):
    opened = open_reader(double)
    del opened
    assert unloads(double) == ["yelk_unload_image(slide#1, 0)"]
    assert double.live_handles() == 0


def test_collected_reader_object_is_destroyed_once(double):
    double.set_slide(100, 100, 20)
    slide = tqfReader.reader()
    assert slide.ReadInfo("s.tqf", 10, True)
    assert slide.getWidth() == 50
    slide.delete()
    slide.delete()
    del slide
    gc.collect()
    assert unloads(double) == ["yelk_unload_image(slide#1, 1)"]


def test_collection_calls_the_destroyer_with_a_non_owning_handle_of_the_same_reader(double):
    opened = open_reader(double)
    handle_type = type(opened)
    seen = []

    def destroy(temporary):
        seen.append((type(temporary) is handle_type, repr(temporary), m.reader_getWidth(temporary)))
        seen.append(temporary)
        m.delete_reader(temporary)

    m.reader_swigregister(type("Custom", (), {"__swig_destroy__": staticmethod(destroy)}))
    del opened
    assert seen[0][0] and "owning" not in seen[0][1] and seen[0][2] == 100
    assert unloads(double) == ["yelk_unload_image(slide#1, 0)"]
    # The temporary handle shares the reader's state: it now reads as deleted.
    with pytest.raises(ValueError):
        m.reader_getWidth(seen[1])
    assert m.delete_reader(seen[1]) is None
    assert len(unloads(double)) == 1


def test_a_later_registration_replaces_the_earlier(double):
    opened = open_reader(double)
    calls = []
    m.reader_swigregister(type("First", (), {"__swig_destroy__": staticmethod(lambda h: calls.append(1))}))
    m.reader_swigregister(type("Second", (), {"__swig_destroy__": staticmethod(m.delete_reader)}))
    del opened
    assert calls == []
    assert len(unloads(double)) == 1


def test_dropping_a_non_owning_handle_leaves_the_reader(double):
    opened = open_reader(double)
    kept = []
    m.reader_swigregister(type("Keeper", (), {"__swig_destroy__": staticmethod(kept.append)}))
    del opened  # the destroyer keeps the temporary handle and destroys nothing
    kept_handle = kept.pop()
    del kept_handle  # the reader is left alive, unreachable: the price of this check
    gc.collect()
    assert unloads(double) == []
    assert double.live_handles() == 1


# Run in a new interpreter so that no class is registered unless the code does
# it; the double is the library (LD_LIBRARY_PATH is inherited). Results go to
# stderr so that stdout holds only what the module writes.
COLLECT_WITHOUT_DESTROYER = textwrap.dedent("""
    import ctypes, sys
    import _tqfReader as m
    double = ctypes.CDLL("libyelk.so.1")
    double.yelk_double_set_slide(100, 100, 20)
    REGISTER
    h = m.new_reader()
    assert m.reader_ReadInfo(h, "s.tqf")
    del h
    sys.stderr.write("live %d\\n" % double.yelk_double_live_handles())
""")


@pytest.mark.parametrize("register", [
    pytest.param("", id="nothing-registered"),
    pytest.param("m.reader_swigregister(type('NoDestroy', (), {}))", id="class-without-destroyer"),
])
def test_collection_without_a_destroyer_reports_the_leak_on_stdout(double, register):
    result = run_python(COLLECT_WITHOUT_DESTROYER.replace("REGISTER", register))
    assert result.returncode == 0, result.stderr
    assert result.stdout == LEAK_LINE
    assert result.stderr.endswith("live 1\n")  # the slide was not unloaded


def test_leak_line_bypasses_sys_stdout(double):
    code = COLLECT_WITHOUT_DESTROYER.replace("REGISTER", "import io; sys.stdout = io.StringIO()")
    result = run_python(code)
    assert result.stdout == LEAK_LINE


RAISING_DESTROYER = textwrap.dedent("""
    import ctypes, sys
    import _tqfReader as m
    double = ctypes.CDLL("libyelk.so.1")
    double.yelk_double_set_slide(100, 100, 20)
    reports = []
    sys.unraisablehook = reports.append

    def destroy(handle):
        raise RuntimeError("destroyer failed")

    m.reader_swigregister(type("Raising", (), {"__swig_destroy__": staticmethod(destroy)}))
    h = m.new_reader()
    assert m.reader_ReadInfo(h, "s.tqf")
    try:
        raise KeyError("being handled")
    except KeyError:
        del h
        handled = sys.exc_info()[1]
    (report,) = reports
    print(type(report.exc_value).__name__, report.exc_value, report.object is destroy, repr(handled))
    print("live", double.yelk_double_live_handles())
""")


def test_a_raising_destroyer_goes_to_the_unraisable_hook(double):
    result = run_python(RAISING_DESTROYER)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "RuntimeError destroyer failed True KeyError('being handled')\nlive 1\n"
