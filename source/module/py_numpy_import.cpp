// Importing NumPy's function table for extension modules.
#include "py_numpy.h"

#if NPY_BYTE_ORDER != NPY_LITTLE_ENDIAN
#error "the module is built for little-endian hosts only"
#endif

void **tqf_numpy_array_api = nullptr;

namespace tqfpy {

namespace {

// The oldest NumPy C API feature level that provides every NumPy function the
// module calls (array creation from data, setting the base object, and the
// version and byte-order queries). A running NumPy at this level or newer is
// accepted; the headers' own level is only what they were released with.
const unsigned kRequiredFeatureVersion = 0xc;
static_assert(kRequiredFeatureVersion <= NPY_FEATURE_VERSION,
              "the NumPy headers are older than the feature level the module requires");

// The module that holds NumPy's function table: numpy._core in NumPy 2
// (where numpy.core is a deprecated alias that warns), numpy.core before.
PyObject *import_multiarray() {
    PyObject *multiarray = PyImport_ImportModule("numpy._core._multiarray_umath");
    if (multiarray || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError))
        return multiarray;
    PyErr_Clear();
    return PyImport_ImportModule("numpy.core.multiarray");
}

// The capsule's address, or null with the reason pending.
void **array_api_table() {
    PyObject *multiarray = import_multiarray();
    if (!multiarray) {
        // Whatever the import raised (NumPy missing or broken), the failure
        // is reported as the module's own import error.
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return nullptr;
    }
    PyObject *capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (!capsule) {
        PyErr_SetString(PyExc_AttributeError, "_ARRAY_API not found");
        return nullptr;
    }
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        Py_DECREF(capsule);
        return nullptr;
    }
    // A capsule with a name gives null here too (with an error that the
    // message below replaces).
    void **table = static_cast<void **>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);
    if (!table) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return nullptr;
    }
    return table;
}

// Checks the running NumPy against the headers the module was built with.
// The table must already be installed: the checks call through it.
int check_running_numpy() {
    const unsigned running_abi = PyArray_GetNDArrayCVersion();
#if NPY_ABI_VERSION >= 0x02000000
    // Built with NumPy 2's headers, the module also runs on NumPy 1.x.
    const bool abi_matches = running_abi <= NPY_VERSION;
#else
    const bool abi_matches = running_abi == NPY_VERSION;
#endif
    if (!abi_matches) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     static_cast<unsigned>(NPY_VERSION), running_abi);
        return -1;
    }
    const unsigned running_feature = PyArray_GetNDArrayCFeatureVersion();
    if (running_feature < kRequiredFeatureVersion) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against API version 0x%x but this version of numpy is 0x%x",
                     kRequiredFeatureVersion, running_feature);
        return -1;
    }
    const int byte_order = PyArray_GetEndianness();
    if (byte_order == NPY_CPU_UNKNOWN_ENDIAN) {
        PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
        return -1;
    }
    if (byte_order != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FATAL: module compiled as little endian, but detected different endianness at runtime");
        return -1;
    }
    return 0;
}

}  // namespace

int import_numpy_array_api() {
    void **table = array_api_table();
    if (!table)
        return -1;
    tqf_numpy_array_api = table;
    if (check_running_numpy() < 0) {
        tqf_numpy_array_api = nullptr;
        return -1;
    }
    return 0;
}

}  // namespace tqfpy
