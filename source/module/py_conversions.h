// Conversions of Python arguments to native values. Each conversion reports
// what went wrong without raising, so the same test serves both the overload
// dispatch (which must leave no trace) and the conversion proper; the caller
// raises with its argument's message through raise_conversion_error.
#ifndef TQF_PY_CONVERSIONS_H
#define TQF_PY_CONVERSIONS_H

#include <Python.h>

#include <string>

namespace tqfpy {

enum class Conversion {
    ok,
    wrong_type,  // raised as TypeError
    overflow,    // raised as OverflowError
};

// An int (or subclass, bool included) within the 32-bit range. No
// __index__ or __int__ is consulted.
Conversion as_int(PyObject *object, int *value);
// A float (or subclass), or an int converted to the nearest double; an int
// too large for a double is of the wrong type.
Conversion as_double(PyObject *object, double *value);
// A double within the finite single-precision range (NaN passes), narrowed.
Conversion as_float(PyObject *object, float *value);
// Exactly True or False.
Conversion as_bool(PyObject *object, bool *value);

// Raises the exception for `failure` with `message`; returns false.
bool raise_conversion_error(Conversion failure, const char *message);

// True when the object can be offered as a path: a str (or subclass) or
// None. Encoding is left to as_string, so this test has no side effects.
bool is_path_argument(PyObject *object);

enum class StringConversion {
    ok,
    null,        // None
    wrong_type,  // not a str
    failed,      // a str that could not be encoded; its exception is pending
};

// A str encoded as UTF-8, NUL bytes included.
StringConversion as_string(PyObject *object, std::string *value);

}  // namespace tqfpy

#endif  // TQF_PY_CONVERSIONS_H
