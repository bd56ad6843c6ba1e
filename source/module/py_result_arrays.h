// The NumPy arrays that carry pixels to Python: one-dimensional uint8 views
// of the reader's buffers, never copies. Each array's base object keeps the
// memory it views alive, so no array outlives its pixels. Errors name
// `function`.
#ifndef TQF_PY_RESULT_ARRAYS_H
#define TQF_PY_RESULT_ARRAYS_H

#include <Python.h>

#include <memory>

namespace tqfpy {

// A view of a region result buffer of `length` bytes at `data`, co-owning
// it through `owner` (which must hold `data`). A later read of the same
// size writes into the same memory and so shows in the array; the memory
// is freed once neither the reader nor any array uses it. A null `data`
// gives an empty array of NumPy's own.
PyObject *region_array(const char *function, unsigned char *data, int length,
                       const std::shared_ptr<unsigned char[]> &owner);

// A view of a preview or label buffer that was allocated with new[] and is
// handed over: released with delete[] when the last array viewing it goes,
// and right away when no array can be made. A null `data` gives an empty
// array of NumPy's own.
PyObject *image_array(const char *function, unsigned char *data, int length);

}  // namespace tqfpy

#endif  // TQF_PY_RESULT_ARRAYS_H
