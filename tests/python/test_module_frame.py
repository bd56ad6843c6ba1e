"""The module as a whole: namespace, Python's own argument errors, the
handle type and the NumPy import at initialisation."""
import textwrap

import pytest

import _tqfReader
from conftest import run_python

FUNCTIONS = [
    "SWIG_PyInstanceMethod_New", "new_reader", "delete_reader", "reader_ReadInfo", "reader_ReadRoi",
    "reader_ReadPreview", "reader_getWidth", "reader_getHeight", "reader_getReadScale",
    "reader_setReadScale", "reader_readLabelImage", "reader_swigregister",
]


def test_namespace_holds_exactly_the_twelve_functions_in_order_without_docstrings():
    names = [name for name in vars(_tqfReader) if not (name.startswith("__") and name.endswith("__"))]
    assert names == FUNCTIONS
    assert _tqfReader.__doc__ is None
    assert [getattr(_tqfReader, name).__doc__ for name in FUNCTIONS] == [None] * 12


def test_instance_method_binds_a_module_function_to_instances():
    class Holder:
        width = _tqfReader.SWIG_PyInstanceMethod_New(_tqfReader.reader_getWidth)

    holder = Holder()
    holder.this = _tqfReader.new_reader()
    try:
        assert holder.width() == 0  # the instance went in as argument 1
    finally:
        _tqfReader.delete_reader(holder)
    assert type(Holder.__dict__["width"]).__name__ == "instancemethod"


@pytest.mark.parametrize("call, message", [
    (lambda h: _tqfReader.new_reader(1), "new_reader() takes exactly 0 arguments (1 given)"),
    (lambda h: _tqfReader.reader_getWidth(), "reader_getWidth() takes exactly 1 argument (0 given)"),
    (lambda h: _tqfReader.reader_getHeight(h, 1), "reader_getHeight() takes exactly 1 argument (2 given)"),
    (lambda h: _tqfReader.reader_ReadRoi(h, 0, 0, 1, 1),
     "reader_ReadRoi() takes exactly 6 arguments (5 given)"),
    (lambda h: _tqfReader.reader_setReadScale(h), "reader_setReadScale() takes exactly 2 arguments (1 given)"),
    (lambda h: _tqfReader.delete_reader(), "delete_reader() takes exactly 1 argument (0 given)"),
    (lambda h: _tqfReader.reader_swigregister(), "swigregister() takes exactly 1 argument (0 given)"),
    (lambda h: _tqfReader.reader_getWidth(self=h), "reader_getWidth() takes no keyword arguments"),
    (lambda h: _tqfReader.new_reader(x=1), "new_reader() takes no keyword arguments"),
    (lambda h: _tqfReader.reader_ReadInfo(h, "a.tqf", read_all=True),
     "reader_ReadInfo() takes no keyword arguments"),
    (lambda h: _tqfReader.SWIG_PyInstanceMethod_New(),
     "_tqfReader.SWIG_PyInstanceMethod_New() takes exactly one argument (0 given)"),
])
def test_wrong_counts_and_keywords_raise_pythons_own_type_error(handle, call, message):
    with pytest.raises(TypeError) as raised:
        call(handle)
    assert str(raised.value) == message


def test_handles_come_only_from_new_reader(handle):
    handle_type = type(handle)
    with pytest.raises(TypeError):
        handle_type()
    with pytest.raises(TypeError):
        type("Sub", (handle_type,), {})
    assert "tqfio::reader *" in repr(handle)


# A fake numpy package on sys.path whose numpy.core.multiarray sets up
# _ARRAY_API as SETUP says; TABLE builds a function table through ctypes
# with the given ABI version, feature version and byte order.
FAKE_MULTIARRAY = textwrap.dedent("""
    import ctypes
    version_type = ctypes.CFUNCTYPE(ctypes.c_uint)
    order_type = ctypes.CFUNCTYPE(ctypes.c_int)
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

    def table(abi, feature, byte_order):
        global _keep
        functions = version_type(lambda: abi), order_type(lambda: byte_order), version_type(lambda: feature)
        entries = (ctypes.c_void_p * 212)()
        entries[0] = ctypes.cast(functions[0], ctypes.c_void_p)
        entries[210] = ctypes.cast(functions[1], ctypes.c_void_p)
        entries[211] = ctypes.cast(functions[2], ctypes.c_void_p)
        _keep = functions, entries
        return new_capsule(ctypes.addressof(entries), None, None)

    SETUP
""")

IMPORT_AND_REPORT = textwrap.dedent("""
    import sys
    PREAMBLE
    try:
        import _tqfReader
    except ImportError as error:
        print("raised:", type(error).__name__, error)
    else:
        print("imported")
    print("in sys.modules:", "_tqfReader" in sys.modules)
""")

ABI, FEATURE = 0x1000009, 0x10
LITTLE, BIG, UNKNOWN = 1, 2, 0


@pytest.mark.parametrize("setup, printed", [
    ("", "AttributeError: _ARRAY_API not found"),
    ("_ARRAY_API = 5", "RuntimeError: _ARRAY_API is not PyCapsule object"),
    ("_ARRAY_API = new_capsule(1, b'named', None)", "RuntimeError: _ARRAY_API is NULL pointer"),
    ("_ARRAY_API = table(0x2000000, %d, %d)" % (FEATURE, LITTLE),
     "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x2000000"),
    ("_ARRAY_API = table(%d, 0xb, %d)" % (ABI, LITTLE),
     "RuntimeError: module compiled against API version 0xc but this version of numpy is 0xb"),
    ("raise RuntimeError('broken numpy')", "ImportError: numpy.core.multiarray failed to import"),
    ("_ARRAY_API = table(%d, %d, %d)" % (ABI, FEATURE, UNKNOWN),
     "RuntimeError: FATAL: module compiled as unknown endian"),
    ("_ARRAY_API = table(%d, %d, %d)" % (ABI, FEATURE, BIG),
     "RuntimeError: FATAL: module compiled as little endian, but detected different endianness at runtime"),
])
def test_failed_numpy_checks_are_printed_then_fail_the_import(tmp_path, setup, printed):
    core = tmp_path / "numpy" / "core"
    core.mkdir(parents=True)
    (tmp_path / "numpy" / "__init__.py").write_text("")
    (core / "__init__.py").write_text("")
    (core / "multiarray.py").write_text(FAKE_MULTIARRAY.replace("SETUP", setup))
    result = run_python(IMPORT_AND_REPORT.replace("PREAMBLE", "sys.path.insert(0, %r)" % str(tmp_path)))
    assert result.stdout == ("raised: ImportError numpy.core.multiarray failed to import\n"
                             "in sys.modules: False\n")
    assert result.stderr == printed + "\n"


@pytest.mark.parametrize("feature", [0xc, FEATURE, FEATURE + 1])
def test_feature_versions_from_the_required_one_on_are_accepted(tmp_path, feature):
    core = tmp_path / "numpy" / "core"
    core.mkdir(parents=True)
    (tmp_path / "numpy" / "__init__.py").write_text("")
    (core / "__init__.py").write_text("")
    setup = "_ARRAY_API = table(%d, %d, %d)" % (ABI, feature, LITTLE)
    (core / "multiarray.py").write_text(FAKE_MULTIARRAY.replace("SETUP", setup))
    result = run_python(IMPORT_AND_REPORT.replace("PREAMBLE", "sys.path.insert(0, %r)" % str(tmp_path)))
    assert result.stdout == "imported\nin sys.modules: True\n"
    assert result.stderr == ""


def test_missing_numpy_prints_the_import_error_then_raises_it():
    result = run_python(IMPORT_AND_REPORT.replace("PREAMBLE", "sys.modules['numpy'] = None"))
    assert result.stdout == ("raised: ImportError numpy.core.multiarray failed to import\n"
                             "in sys.modules: False\n")
    # The failed import is printed as the module's own import error, then raised.
    assert result.stderr == "ImportError: numpy.core.multiarray failed to import\n"
