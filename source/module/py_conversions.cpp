// Conversions of Python arguments to native values.
#include "py_conversions.h"

#include <cfloat>
#include <climits>
#include <new>

namespace tqfpy {

Conversion as_int(PyObject *object, int *value) {
    if (!PyLong_Check(object))
        return Conversion::wrong_type;
    const long long wide = PyLong_AsLongLong(object);
    if (wide == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return Conversion::overflow;
    }
    if (wide < INT_MIN || wide > INT_MAX)
        return Conversion::overflow;
    *value = static_cast<int>(wide);
    return Conversion::ok;
}

Conversion as_double(PyObject *object, double *value) {
    if (PyFloat_Check(object)) {
        *value = PyFloat_AS_DOUBLE(object);
        return Conversion::ok;
    }
    if (!PyLong_Check(object))
        return Conversion::wrong_type;
    const double converted = PyLong_AsDouble(object);
    if (converted == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return Conversion::wrong_type;
    }
    *value = converted;
    return Conversion::ok;
}

Conversion as_float(PyObject *object, float *value) {
    double wide;
    const Conversion converted = as_double(object, &wide);
    if (converted != Conversion::ok)
        return converted;
    // Comparisons with NaN are false: NaN passes.
    if (wide < -FLT_MAX || wide > FLT_MAX)
        return Conversion::overflow;
    *value = static_cast<float>(wide);
    return Conversion::ok;
}

Conversion as_bool(PyObject *object, bool *value) {
    if (!PyBool_Check(object))
        return Conversion::wrong_type;
    *value = object == Py_True;
    return Conversion::ok;
}

bool raise_conversion_error(Conversion failure, const char *message) {
    PyErr_SetString(failure == Conversion::overflow ? PyExc_OverflowError : PyExc_TypeError, message);
    return false;
}

bool is_path_argument(PyObject *object) { return object == Py_None || PyUnicode_Check(object); }

StringConversion as_string(PyObject *object, std::string *value) {
    if (object == Py_None)
        return StringConversion::null;
    if (!PyUnicode_Check(object))
        return StringConversion::wrong_type;
    Py_ssize_t size;
    const char *bytes = PyUnicode_AsUTF8AndSize(object, &size);
    if (!bytes)
        return StringConversion::failed;  // UnicodeEncodeError for lone surrogates
    try {
        value->assign(bytes, static_cast<size_t>(size));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return StringConversion::failed;
    }
    return StringConversion::ok;
}

}  // namespace tqfpy
