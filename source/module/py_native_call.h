// Calls into the reader with C++ exceptions turned into Python exceptions,
// so that none escapes through the interpreter (which would end the process).
#ifndef TQF_PY_NATIVE_CALL_H
#define TQF_PY_NATIVE_CALL_H

#include <Python.h>

namespace tqfpy {

// Raises the Python counterpart of the C++ exception being handled:
// MemoryError for allocation failures (std::bad_alloc, OpenCV's out of
// memory), RuntimeError with the error's text for anything else. The
// message starts with `function`. Call only inside a catch block.
void raise_current_cpp_exception(const char *function);

// Runs `body`; returns true, or false with the exception raised.
template <class Body>
bool call_native(const char *function, Body &&body) {
    try {
        body();
        return true;
    } catch (...) {
        raise_current_cpp_exception(function);
        return false;
    }
}

}  // namespace tqfpy

#endif  // TQF_PY_NATIVE_CALL_H
