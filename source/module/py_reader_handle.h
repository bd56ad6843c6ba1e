// Reader handles: the module's opaque Python objects that stand for one
// tqfio::reader each, the registered Python-level class, and the conversion
// of a function's first argument to a reader.
//
// All handles of one reader share a ReaderCell. Destroying the reader
// through any of them empties the cell, so every other handle of the same
// reader sees at once that it is gone and nothing reaches a destroyed reader.
#ifndef TQF_PY_READER_HANDLE_H
#define TQF_PY_READER_HANDLE_H

#include <Python.h>

#include "tqf_reader.h"

namespace tqfpy {

// The name of the reader type in messages.
extern const char kReaderTypeName[];

// Readies the handle type and empties the registered-class slot on first
// use. Returns 0, or -1 with an exception pending.
int prepare_reader_handle_type();

// A new handle owning `reader` (taken over; destroyed if no handle can be
// made). Returns null with an exception pending on failure.
PyObject *new_owning_handle(tqfio::reader *reader);

// What the first argument of a function stands for.
enum class ReaderArgumentKind {
    none,        // the object is None (a null reader)
    handle,      // a reader handle, directly or through `this` attributes
    not_reader,  // anything else
};

// Finds the handle behind `object`: the object itself, or the value of its
// attribute `this`, followed through further `this` attributes. Errors of
// the lookups are discarded. On `handle`, *found is a new reference.
ReaderArgumentKind find_reader_handle(PyObject *object, PyObject **found);

// True when the handle's reader has not been destroyed.
bool handle_reader_alive(PyObject *handle);

// Clears the handle's ownership flag and destroys its reader unless that
// already happened through this or another handle of the same reader.
void delete_handle_reader(PyObject *handle);

// Argument 1 of a reader function, converted to a live reader. On failure
// the function's exception is pending and the object is false: TypeError
// with `type_message` for None and for anything that is not a reader, and
// ValueError for a reader that was deleted. Keeps the handle alive.
class ReaderArgument {
public:
    ReaderArgument(PyObject *object, const char *function, const char *type_message);
    ~ReaderArgument();
    ReaderArgument(const ReaderArgument &) = delete;
    ReaderArgument &operator=(const ReaderArgument &) = delete;

    explicit operator bool() const { return m_reader != nullptr; }
    tqfio::reader *operator->() const { return m_reader; }
    tqfio::reader &operator*() const { return *m_reader; }

private:
    PyObject *m_handle = nullptr;
    tqfio::reader *m_reader = nullptr;
};

// reader_swigregister: remembers `klass` and its attribute __swig_destroy__
// (or none) for the collection of owning handles. Returns 0, or -1 with an
// exception pending (the earlier registration then stays).
int register_reader_class(PyObject *klass);

}  // namespace tqfpy

#endif  // TQF_PY_READER_HANDLE_H
