// Opening a .tqf slide file: the checks made before the slide library is
// asked (so that it never sees a directory, a FIFO or a file of another
// kind), the library's loading, and the checks of what it hands back. Every
// face that opens slides opens them here: tqfio::slide and the TIFF export.
#ifndef TQF_CORE_SLIDE_FILE_H
#define TQF_CORE_SLIDE_FILE_H

#include <string>
#include <vector>

#include "core_api.h"
#include "slide_levels.h"
#include "tqf_slide.h"
#include "yelk.h"

namespace tqfio::core {

// Why a slide file cannot be opened: a slide_error of the kind (not_found,
// not_readable, is_a_directory, not_a_slide, damaged) whose message is
// "cannot open slide '<path>': <cause>".
class TQFIO_CORE_API SlideOpenError : public slide_error {
public:
    SlideOpenError(slide_error::kind kind, const std::string &path, const std::string &cause);
    // The cause alone, for a face that words the failure its own way.
    const std::string &cause() const { return m_cause; }

private:
    std::string m_cause;
};

class TQFIO_CORE_API SlideFile {
public:
    // Opens `path` through the slide library (`read_all`: the whole file
    // loaded into memory). Throws SlideOpenError.
    SlideFile(const std::string &path, bool read_all);
    ~SlideFile();
    SlideFile(const SlideFile &) = delete;
    SlideFile &operator=(const SlideFile &) = delete;

    const std::string &path() const { return m_path; }
    bool read_all() const { return m_read_all; }
    // The library's handle; its header holds a positive scan magnification
    // and a size of at least 1 x 1.
    TQF *handle() const { return m_handle; }
    const TQF_HEADER &header() const { return *m_handle->header; }
    // Full resolution first (see slide_levels()).
    const std::vector<SlideLevel> &levels() const { return m_levels; }
    // What the header records.
    slide_properties properties() const;

private:
    std::string m_path;
    bool m_read_all;
    TQF *m_handle = nullptr;
    std::vector<SlideLevel> m_levels;
};

// A path for a message: quoted, NUL bytes made visible.
TQFIO_CORE_API std::string quoted(const std::string &path);

}  // namespace tqfio::core

#endif  // TQF_CORE_SLIDE_FILE_H
