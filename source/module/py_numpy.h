// NumPy's C interface for the module's translation units. The function table
// pointer is filled by import_numpy_array_api() at module initialisation;
// every unit that includes this header shares it.
#ifndef TQF_PY_NUMPY_H
#define TQF_PY_NUMPY_H

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tqf_numpy_array_api
// The table is defined in py_numpy_import.cpp; NumPy's own import routine
// is not used (its module path and messages are not ours).
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

namespace tqfpy {

// Imports NumPy's multiarray module (numpy._core._multiarray_umath, else
// numpy.core.multiarray), checks its "_ARRAY_API" capsule, the
// running NumPy's ABI and feature versions and its byte order, and fills the
// function table. Returns 0, or -1 with the reason as the pending exception.
int import_numpy_array_api();

}  // namespace tqfpy

#endif  // TQF_PY_NUMPY_H
