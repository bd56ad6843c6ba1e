// Reader handles, their lifetime and the registered Python-level class.
#include "py_reader_handle.h"

#include <cstdio>
#include <new>

namespace tqfpy {

const char kReaderTypeName[] = "tqfio::reader *";

namespace {

// Shared by all handles of one reader. Everything runs under the
// interpreter lock, so a plain count suffices.
struct ReaderCell {
    tqfio::reader *reader;  // null once the reader was destroyed
    Py_ssize_t handles;     // handle objects that refer to this cell
};

struct ReaderHandle {
    PyObject_HEAD ReaderCell *cell;
    bool owns;  // this handle is responsible for destroying the reader
};

// A chain of `this` attributes longer than this is taken for a cycle.
const int kMaxThisChain = 64;

struct RegisteredClass {
    PyObject *klass = nullptr;
    PyObject *destroy = nullptr;  // __swig_destroy__ of klass, or null
};
RegisteredClass registered;

PyTypeObject *handle_type = nullptr;  // made once, never released

bool is_handle(PyObject *object) { return Py_IS_TYPE(object, handle_type); }

ReaderHandle *as_handle(PyObject *object) { return reinterpret_cast<ReaderHandle *>(object); }

PyObject *new_handle(ReaderCell *cell, bool owns) {
    ReaderHandle *handle = PyObject_New(ReaderHandle, handle_type);
    if (!handle)
        return nullptr;
    handle->cell = cell;
    handle->owns = owns;
    ++cell->handles;
    return reinterpret_cast<PyObject *>(handle);
}

// Destroys the reader once: the cell is emptied first, so no path can
// reach the reader while or after it is torn down.
void destroy_cell_reader(ReaderCell *cell) {
    tqfio::reader *reader = cell->reader;
    cell->reader = nullptr;
    delete reader;
}

// An owning handle is being collected while its reader lives: destroy the
// reader through the registered __swig_destroy__, called with a temporary
// non-owning handle, or report the leak when there is none.
void destroy_collected_reader(ReaderHandle *handle) {
    if (!registered.destroy) {
        std::printf("swig/python detected a memory leak of type '%s', no destructor found.\n", kReaderTypeName);
        std::fflush(stdout);
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *destroy = registered.destroy;
    Py_INCREF(destroy);  // a registration made by the callable must not free it under us
    PyObject *temporary = new_handle(handle->cell, false);
    PyObject *result = temporary ? PyObject_CallOneArg(destroy, temporary) : nullptr;
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(destroy);
    Py_XDECREF(temporary);
    Py_DECREF(destroy);
    PyErr_Restore(type, value, traceback);
}

void handle_dealloc(PyObject *object) {
    ReaderHandle *handle = as_handle(object);
    ReaderCell *cell = handle->cell;
    if (handle->owns && cell->reader)
        destroy_collected_reader(handle);
    // Without a destructor the reader is left alive (reported above as a
    // leak); only the cell, which nothing else can reach, goes.
    if (--cell->handles == 0)
        delete cell;
    PyTypeObject *type = Py_TYPE(object);
    PyObject_Free(object);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject *handle_repr(PyObject *object) {
    const ReaderHandle *handle = as_handle(object);
    if (!handle->cell->reader)
        return PyUnicode_FromFormat("<%s handle of a deleted reader>", kReaderTypeName);
    return PyUnicode_FromFormat("<%s handle at %p%s>", kReaderTypeName, static_cast<void *>(handle->cell->reader),
                                handle->owns ? ", owning" : "");
}

}  // namespace

int prepare_reader_handle_type() {
    if (handle_type)
        return 0;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(handle_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(handle_repr)},
        {0, nullptr},
    };
    // Handles come only from new_reader: not instantiable, not subclassable.
    static PyType_Spec handle_layout = {"_tqfReader.ReaderHandle", sizeof(ReaderHandle), 0,
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject *type = PyType_FromSpec(&handle_layout);
    if (!type)
        return -1;
    handle_type = reinterpret_cast<PyTypeObject *>(type);
    registered = RegisteredClass{};
    return 0;
}

PyObject *new_owning_handle(tqfio::reader *reader) {
    ReaderCell *cell = new (std::nothrow) ReaderCell{reader, 0};
    if (!cell) {
        delete reader;
        return PyErr_NoMemory();
    }
    PyObject *handle = new_handle(cell, true);
    if (!handle) {
        delete reader;
        delete cell;
    }
    return handle;
}

ReaderArgumentKind find_reader_handle(PyObject *object, PyObject **found) {
    if (object == Py_None)
        return ReaderArgumentKind::none;
    Py_INCREF(object);
    for (int step = 0; step <= kMaxThisChain; ++step) {
        if (is_handle(object)) {
            *found = object;
            return ReaderArgumentKind::handle;
        }
        PyObject *next = PyObject_GetAttrString(object, "this");
        Py_DECREF(object);
        if (!next) {
            PyErr_Clear();
            return ReaderArgumentKind::not_reader;
        }
        object = next;
    }
    Py_DECREF(object);
    return ReaderArgumentKind::not_reader;
}

bool handle_reader_alive(PyObject *handle) { return as_handle(handle)->cell->reader != nullptr; }

void delete_handle_reader(PyObject *handle) {
    ReaderHandle *reader_handle = as_handle(handle);
    reader_handle->owns = false;
    if (reader_handle->cell->reader)
        destroy_cell_reader(reader_handle->cell);
}

ReaderArgument::ReaderArgument(PyObject *object, const char *function, const char *type_message) {
    PyObject *handle = nullptr;
    if (find_reader_handle(object, &handle) != ReaderArgumentKind::handle) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return;
    }
    if (!handle_reader_alive(handle)) {
        PyErr_Format(PyExc_ValueError, "%s: argument 1 is a reader that was deleted", function);
        Py_DECREF(handle);
        return;
    }
    m_handle = handle;
    m_reader = as_handle(handle)->cell->reader;
}

ReaderArgument::~ReaderArgument() { Py_XDECREF(m_handle); }

int register_reader_class(PyObject *klass) {
    PyObject *destroy = PyObject_GetAttrString(klass, "__swig_destroy__");
    if (!destroy) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
    }
    Py_INCREF(klass);
    // Swap in before releasing: releasing may run arbitrary code.
    RegisteredClass previous = registered;
    registered = RegisteredClass{klass, destroy};
    Py_XDECREF(previous.klass);
    Py_XDECREF(previous.destroy);
    return 0;
}

}  // namespace tqfpy
