// The Python extension module _tqfReader: one module-level function per
// reader operation, each taking the reader as its first argument. Arguments
// are converted strictly left to right and the first failure raises; after
// an exception no reader method has run.
#include <Python.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "py_conversions.h"
#include "py_native_call.h"
#include "py_numpy.h"
#include "py_reader_handle.h"
#include "core/slide_limits.h"
#include "core/region_request.h"
#include "py_result_arrays.h"
#include "tqf_reader.h"

using tqfpy::Conversion;
using tqfpy::ReaderArgument;

namespace {

// Converts `object` with `convert`; raises with `message` on failure.
template <class Value>
bool convert_argument(Conversion (*convert)(PyObject *, Value *), PyObject *object, Value *value, const char *message) {
    const Conversion result = convert(object, value);
    return result == Conversion::ok || tqfpy::raise_conversion_error(result, message);
}

// The shortest text that reads back as `value` ("-0.0", "nan", "inf").
std::string double_text(double value) {
    char *text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    std::string result(text);
    PyMem_Free(text);
    return result;
}

const char *const kRoiIntMessages[] = {
    "in method 'reader_ReadRoi', argument 2 of type 'int'",
    "in method 'reader_ReadRoi', argument 3 of type 'int'",
    "in method 'reader_ReadRoi', argument 4 of type 'int'",
    "in method 'reader_ReadRoi', argument 5 of type 'int'",
};

// Region arguments that convert but that the reader cannot serve: raised
// here, naming the argument, instead of an empty result.
bool check_region_values(int w, int h, double scale) {
    using tqfio::core::kMaxRegionSide;
    using tqfio::core::RegionSizeStatus;
    const tqfio::core::RegionSizeCheck size = tqfio::core::check_region_size(w, h, 3, INT_MAX);
    switch (size.status) {
    case RegionSizeStatus::ok:
        break;
    case RegionSizeStatus::negative_width:
        PyErr_Format(PyExc_ValueError, "reader_ReadRoi: argument 4 (w) must not be negative, got %d", w);
        return false;
    case RegionSizeStatus::negative_height:
        PyErr_Format(PyExc_ValueError, "reader_ReadRoi: argument 5 (h) must not be negative, got %d", h);
        return false;
    case RegionSizeStatus::too_many_bytes:
        PyErr_Format(PyExc_ValueError,
                     "reader_ReadRoi: arguments 4 and 5 (w x h = %d x %d) need %llu bytes, more than %d", w, h,
                     static_cast<unsigned long long>(size.byte_count), INT_MAX);
        return false;
    case RegionSizeStatus::width_too_large:
    case RegionSizeStatus::height_too_large: {
        const bool wide = size.status == RegionSizeStatus::width_too_large;
        PyErr_Format(PyExc_ValueError, "reader_ReadRoi: argument %d (%s) is %d, more than %d pixels", wide ? 4 : 5,
                     wide ? "w" : "h", wide ? w : h, kMaxRegionSide);
        return false;
    }
    }
    if (!tqfio::core::is_positive_finite(scale)) {
        PyErr_Format(PyExc_ValueError,
                     "reader_ReadRoi: argument 6 (scale) must be a positive finite magnification, got %s",
                     double_text(scale).c_str());
        return false;
    }
    return true;
}

// [status, array] of the preview and label functions; takes over `data`.
PyObject *status_and_image(const char *function, int status, unsigned char *data, int length) {
    PyObject *array = tqfpy::image_array(function, data, length);
    if (!array)
        return nullptr;
    PyObject *status_object = PyLong_FromLong(status);
    PyObject *list = status_object ? PyList_New(2) : nullptr;
    if (!list) {
        Py_XDECREF(status_object);
        Py_DECREF(array);
        return nullptr;
    }
    PyList_SET_ITEM(list, 0, status_object);
    PyList_SET_ITEM(list, 1, array);
    return list;
}

using ImageMethod = int (tqfio::reader::*)(unsigned char **, int *);

PyObject *read_image(PyObject *args, const char *format, const char *function, const char *type_message,
                     ImageMethod method) {
    PyObject *object;
    if (!PyArg_ParseTuple(args, format, &object))
        return nullptr;
    ReaderArgument self(object, function, type_message);
    if (!self)
        return nullptr;
    unsigned char *data = nullptr;
    int length = 0;
    int status = 0;
    if (!tqfpy::call_native(function, [&] { status = ((*self).*method)(&data, &length); }))
        return nullptr;
    return status_and_image(function, status, data, length);
}

// A form of reader_ReadInfo fits when every argument passes its test; the
// tests leave no exception and change nothing.
bool read_info_form_fits(PyObject *args, Py_ssize_t count) {
    PyObject *handle = nullptr;
    if (tqfpy::find_reader_handle(PyTuple_GET_ITEM(args, 0), &handle) != tqfpy::ReaderArgumentKind::handle)
        return false;
    Py_DECREF(handle);
    if (!tqfpy::is_path_argument(PyTuple_GET_ITEM(args, 1)))
        return false;
    double scale;
    if (count >= 3 && tqfpy::as_double(PyTuple_GET_ITEM(args, 2), &scale) != Conversion::ok)
        return false;
    bool read_all;
    if (count >= 4 && tqfpy::as_bool(PyTuple_GET_ITEM(args, 3), &read_all) != Conversion::ok)
        return false;
    return true;
}

// Runs the form of reader_ReadInfo for `count` arguments (2 to 4), the
// missing ones taking the method's defaults.
PyObject *run_read_info_form(PyObject *args, Py_ssize_t count) {
    ReaderArgument self(PyTuple_GET_ITEM(args, 0), "reader_ReadInfo",
                        "in method 'reader_ReadInfo', argument 1 of type 'tqfio::reader *'");
    if (!self)
        return nullptr;
    std::string file_name;
    switch (tqfpy::as_string(PyTuple_GET_ITEM(args, 1), &file_name)) {
    case tqfpy::StringConversion::ok:
        break;
    case tqfpy::StringConversion::null:
        PyErr_SetString(PyExc_ValueError,
                        "invalid null reference in method 'reader_ReadInfo', argument 2 of type 'std::string const &'");
        return nullptr;
    case tqfpy::StringConversion::wrong_type:
        PyErr_SetString(PyExc_TypeError, "in method 'reader_ReadInfo', argument 2 of type 'std::string const &'");
        return nullptr;
    case tqfpy::StringConversion::failed:
        return nullptr;
    }
    double scale = 0.0;
    if (count >= 3 && !convert_argument(tqfpy::as_double, PyTuple_GET_ITEM(args, 2), &scale,
                                        "in method 'reader_ReadInfo', argument 3 of type 'double'"))
        return nullptr;
    bool read_all = false;
    if (count >= 4 && !convert_argument(tqfpy::as_bool, PyTuple_GET_ITEM(args, 3), &read_all,
                                        "in method 'reader_ReadInfo', argument 4 of type 'bool'"))
        return nullptr;
    bool opened = false;
    if (!tqfpy::call_native("reader_ReadInfo", [&] { opened = self->ReadInfo(file_name, scale, read_all); }))
        return nullptr;
    return PyBool_FromLong(opened);
}

}  // namespace

extern "C" {

static PyObject *SWIG_PyInstanceMethod_New(PyObject *, PyObject *func) { return PyInstanceMethod_New(func); }

static PyObject *new_reader(PyObject *, PyObject *args) {
    if (!PyArg_ParseTuple(args, ":new_reader"))
        return nullptr;
    tqfio::reader *created = nullptr;
    if (!tqfpy::call_native("new_reader", [&] { created = new tqfio::reader(); }))
        return nullptr;
    return tqfpy::new_owning_handle(created);
}

static PyObject *delete_reader(PyObject *, PyObject *args) {
    PyObject *object;
    if (!PyArg_ParseTuple(args, "O:delete_reader", &object))
        return nullptr;
    PyObject *handle = nullptr;
    switch (tqfpy::find_reader_handle(object, &handle)) {
    case tqfpy::ReaderArgumentKind::none:
        Py_RETURN_NONE;
    case tqfpy::ReaderArgumentKind::not_reader:
        PyErr_SetString(PyExc_TypeError, "in method 'delete_reader', argument 1 of type 'tqfio::reader *'");
        return nullptr;
    case tqfpy::ReaderArgumentKind::handle:
        break;
    }
    // A reader already deleted through this or another handle is left alone.
    tqfpy::delete_handle_reader(handle);
    Py_DECREF(handle);
    Py_RETURN_NONE;
}

static PyObject *reader_ReadInfo(PyObject *, PyObject *args) {
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count >= 2 && count <= 4 && read_info_form_fits(args, count))
        return run_read_info_form(args, count);
    PyErr_SetString(PyExc_NotImplementedError,
                    "Wrong number or type of arguments for overloaded function 'reader_ReadInfo'.\n"
                    "  Possible C/C++ prototypes are:\n"
                    "    tqfio::reader::ReadInfo(std::string const &,double const,bool)\n"
                    "    tqfio::reader::ReadInfo(std::string const &,double const)\n"
                    "    tqfio::reader::ReadInfo(std::string const &)\n");
    return nullptr;
}

static PyObject *reader_ReadRoi(PyObject *, PyObject *args) {
    PyObject *objects[6];
    if (!PyArg_ParseTuple(args, "OOOOOO:reader_ReadRoi", &objects[0], &objects[1], &objects[2], &objects[3],
                          &objects[4], &objects[5]))
        return nullptr;
    ReaderArgument self(objects[0], "reader_ReadRoi",
                        "in method 'reader_ReadRoi', argument 1 of type 'tqfio::reader *'");
    if (!self)
        return nullptr;
    int x, y, w, h;
    double scale;
    if (!convert_argument(tqfpy::as_int, objects[1], &x, kRoiIntMessages[0]) ||
        !convert_argument(tqfpy::as_int, objects[2], &y, kRoiIntMessages[1]) ||
        !convert_argument(tqfpy::as_int, objects[3], &w, kRoiIntMessages[2]) ||
        !convert_argument(tqfpy::as_int, objects[4], &h, kRoiIntMessages[3]) ||
        !convert_argument(tqfpy::as_double, objects[5], &scale,
                          "in method 'reader_ReadRoi', argument 6 of type 'double'"))
        return nullptr;
    if (!check_region_values(w, h, scale))
        return nullptr;
    unsigned char *data = nullptr;
    int length = 0;
    std::shared_ptr<unsigned char[]> owner;
    if (!tqfpy::call_native("reader_ReadRoi", [&] {
            self->ReadRoi(x, y, w, h, scale, &data, &length);
            if (data)
                owner = self->shareResultBuffer();
        }))
        return nullptr;
    return tqfpy::region_array("reader_ReadRoi", data, length, owner);
}

static PyObject *reader_ReadPreview(PyObject *, PyObject *args) {
    return read_image(args, "O:reader_ReadPreview", "reader_ReadPreview",
                      "in method 'reader_ReadPreview', argument 1 of type 'tqfio::reader *'",
                      &tqfio::reader::ReadPreview);
}

static PyObject *reader_getWidth(PyObject *, PyObject *args) {
    PyObject *object;
    if (!PyArg_ParseTuple(args, "O:reader_getWidth", &object))
        return nullptr;
    ReaderArgument self(object, "reader_getWidth",
                        "in method 'reader_getWidth', argument 1 of type 'tqfio::reader const *'");
    if (!self)
        return nullptr;
    return PyLong_FromLong(self->getWidth());
}

static PyObject *reader_getHeight(PyObject *, PyObject *args) {
    PyObject *object;
    if (!PyArg_ParseTuple(args, "O:reader_getHeight", &object))
        return nullptr;
    ReaderArgument self(object, "reader_getHeight",
                        "in method 'reader_getHeight', argument 1 of type 'tqfio::reader const *'");
    if (!self)
        return nullptr;
    return PyLong_FromLong(self->getHeight());
}

static PyObject *reader_getReadScale(PyObject *, PyObject *args) {
    PyObject *object;
    if (!PyArg_ParseTuple(args, "O:reader_getReadScale", &object))
        return nullptr;
    ReaderArgument self(object, "reader_getReadScale",
                        "in method 'reader_getReadScale', argument 1 of type 'tqfio::reader *'");
    if (!self)
        return nullptr;
    return PyLong_FromLong(self->getReadScale());
}

static PyObject *reader_setReadScale(PyObject *, PyObject *args) {
    PyObject *objects[2];
    if (!PyArg_ParseTuple(args, "OO:reader_setReadScale", &objects[0], &objects[1]))
        return nullptr;
    ReaderArgument self(objects[0], "reader_setReadScale",
                        "in method 'reader_setReadScale', argument 1 of type 'tqfio::reader *'");
    if (!self)
        return nullptr;
    float scale;
    if (!convert_argument(tqfpy::as_float, objects[1], &scale,
                          "in method 'reader_setReadScale', argument 2 of type 'float'"))
        return nullptr;
    if (!tqfpy::call_native("reader_setReadScale", [&] { self->setReadScale(scale); }))
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *reader_readLabelImage(PyObject *, PyObject *args) {
    return read_image(args, "O:reader_readLabelImage", "reader_readLabelImage",
                      "in method 'reader_readLabelImage', argument 1 of type 'tqfio::reader *'",
                      &tqfio::reader::readLabelImage);
}

static PyObject *reader_swigregister(PyObject *, PyObject *args) {
    PyObject *klass;
    if (!PyArg_ParseTuple(args, "O:swigregister", &klass))
        return nullptr;
    if (tqfpy::register_reader_class(klass) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

}  // extern "C"

namespace {

PyMethodDef module_functions[] = {
    {"SWIG_PyInstanceMethod_New", SWIG_PyInstanceMethod_New, METH_O, nullptr},
    {"new_reader", new_reader, METH_VARARGS, nullptr},
    {"delete_reader", delete_reader, METH_VARARGS, nullptr},
    {"reader_ReadInfo", reader_ReadInfo, METH_VARARGS, nullptr},
    {"reader_ReadRoi", reader_ReadRoi, METH_VARARGS, nullptr},
    {"reader_ReadPreview", reader_ReadPreview, METH_VARARGS, nullptr},
    {"reader_getWidth", reader_getWidth, METH_VARARGS, nullptr},
    {"reader_getHeight", reader_getHeight, METH_VARARGS, nullptr},
    {"reader_getReadScale", reader_getReadScale, METH_VARARGS, nullptr},
    {"reader_setReadScale", reader_setReadScale, METH_VARARGS, nullptr},
    {"reader_readLabelImage", reader_readLabelImage, METH_VARARGS, nullptr},
    {"reader_swigregister", reader_swigregister, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_tqfReader", nullptr, -1, module_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__tqfReader(void) {
    PyObject *module = PyModule_Create(&module_definition);
    if (!module)
        return nullptr;
    if (tqfpy::prepare_reader_handle_type() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    if (tqfpy::import_numpy_array_api() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
