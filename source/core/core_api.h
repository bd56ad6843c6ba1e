// TQFIO_CORE_API marks the core's internal interfaces that this project's
// other faces and tests use across the shared library's boundary: the
// original reader's module, the tqfslide extension, tqf-convert, the tests.
// They are exported from libtqfslide but not installed, and may change in
// any release; programs outside the project use tqf_slide.h alone.
// Everything else in the core is hidden.
#ifndef TQF_CORE_CORE_API_H
#define TQF_CORE_CORE_API_H

#define TQFIO_CORE_API __attribute__((visibility("default")))

#endif  // TQF_CORE_CORE_API_H
