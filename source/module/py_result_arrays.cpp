// Result arrays and the capsules that own the memory behind them.
#include "py_result_arrays.h"

#include <new>

#include "py_numpy.h"

namespace tqfpy {

namespace {

const char kRegionCapsule[] = "_tqfReader.region_buffer";
const char kImageCapsule[] = "_tqfReader.image_buffer";

void release_region_owner(PyObject *capsule) {
    delete static_cast<std::shared_ptr<unsigned char[]> *>(PyCapsule_GetPointer(capsule, kRegionCapsule));
}

void release_image_buffer(PyObject *capsule) {
    delete[] static_cast<unsigned char *>(PyCapsule_GetPointer(capsule, kImageCapsule));
}

// A one-dimensional uint8 array over `data`; `base` (stolen, may be null
// only when data is null) becomes its base object. With null data NumPy
// allocates an empty array of its own.
PyObject *uint8_view(unsigned char *data, int length, PyObject *base) {
    npy_intp dimensions[1] = {data ? static_cast<npy_intp>(length) : 0};
    PyObject *array = PyArray_New(&PyArray_Type, 1, dimensions, NPY_UBYTE, nullptr, data, 0, NPY_ARRAY_CARRAY, nullptr);
    if (!array) {
        Py_XDECREF(base);
        return nullptr;
    }
    // Steals base, on failure too.
    if (base && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array), base) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

bool valid_length(const char *function, int length) {
    if (length >= 0)
        return true;
    PyErr_Format(PyExc_RuntimeError, "%s: the reader reported a negative byte count %d", function, length);
    return false;
}

}  // namespace

PyObject *region_array(const char *function, unsigned char *data, int length,
                       const std::shared_ptr<unsigned char[]> &owner) {
    if (!data)
        return uint8_view(nullptr, 0, nullptr);
    if (!valid_length(function, length))
        return nullptr;
    if (owner.get() != data) {
        PyErr_Format(PyExc_RuntimeError, "%s: the result buffer has no shared owner", function);
        return nullptr;
    }
    auto *shared = new (std::nothrow) std::shared_ptr<unsigned char[]>(owner);
    if (!shared)
        return PyErr_NoMemory();
    PyObject *base = PyCapsule_New(shared, kRegionCapsule, release_region_owner);
    if (!base) {
        delete shared;
        return nullptr;
    }
    return uint8_view(data, length, base);
}

PyObject *image_array(const char *function, unsigned char *data, int length) {
    if (!data)
        return uint8_view(nullptr, 0, nullptr);
    if (!valid_length(function, length)) {
        delete[] data;
        return nullptr;
    }
    PyObject *base = PyCapsule_New(data, kImageCapsule, release_image_buffer);
    if (!base) {
        delete[] data;
        return nullptr;
    }
    return uint8_view(data, length, base);
}

}  // namespace tqfpy
