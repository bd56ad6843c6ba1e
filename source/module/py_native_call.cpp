// Translation of C++ exceptions escaping the reader.
#include "py_native_call.h"

#include <cstring>
#include <exception>
#include <new>

#include <opencv2/core.hpp>

namespace tqfpy {

namespace {

// `text` may hold bytes that are not UTF-8 (paths, OpenCV's messages).
void raise_with_text(PyObject *type, const char *function, const char *text) {
    PyObject *detail = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
    if (!detail)
        return;
    PyErr_Format(type, "%s: %U", function, detail);
    Py_DECREF(detail);
}

}  // namespace

void raise_current_cpp_exception(const char *function) {
    try {
        throw;
    } catch (const std::bad_alloc &error) {
        raise_with_text(PyExc_MemoryError, function, error.what());
    } catch (const cv::Exception &error) {
        raise_with_text(error.code == cv::Error::StsNoMem ? PyExc_MemoryError : PyExc_RuntimeError, function,
                        error.what());
    } catch (const std::exception &error) {
        raise_with_text(PyExc_RuntimeError, function, error.what());
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "%s: an unknown C++ exception escaped the reader", function);
    }
}

}  // namespace tqfpy
