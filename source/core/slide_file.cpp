#include "slide_file.h"

#include "source_properties.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tqfio::core {

namespace {

// Why a path cannot be a slide, found before the library is asked.
void check_openable(const std::string &path) {
    const auto fail = [&](slide_error::kind kind, const std::string &cause) {
        throw SlideOpenError(kind, path, cause);
    };
    if (path.empty())
        fail(slide_error::kind::not_found, "the path is empty");
    if (path.find('\0') != std::string::npos)
        fail(slide_error::kind::not_a_slide, "the path holds a NUL byte");
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        const int error = errno;
        fail(error == EACCES ? slide_error::kind::not_readable : slide_error::kind::not_found, std::strerror(error));
    }
    if (S_ISDIR(info.st_mode))
        fail(slide_error::kind::is_a_directory, "it is a directory");
    if (!S_ISREG(info.st_mode))
        fail(slide_error::kind::not_a_slide, "it is not a regular file");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        fail(error == EACCES ? slide_error::kind::not_readable : slide_error::kind::not_a_slide, std::strerror(error));
    }
    char magic[4] = {};
    const ssize_t got = pread(fd, magic, sizeof magic, 0);
    close(fd);
    const std::string suffix = ".tqf";
    if (path.size() < suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        fail(slide_error::kind::not_a_slide, "the name does not end in \".tqf\"");
    if (got != static_cast<ssize_t>(sizeof magic) || std::memcmp(magic, "TQFH", 4) != 0)
        fail(slide_error::kind::not_a_slide, "it is not a .tqf slide");
}

std::string text_of(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

template <class Value>
std::string text_of(Value value) {
    std::ostringstream out;
    out.precision(9);
    out << value;
    return out.str();
}

}  // namespace

SlideOpenError::SlideOpenError(slide_error::kind kind, const std::string &path, const std::string &cause)
    : slide_error(kind, "cannot open slide " + quoted(path) + ": " + cause), m_cause(cause) {}

SlideFile::SlideFile(const std::string &path, bool read_all) : m_path(path), m_read_all(read_all) {
    check_openable(path);
    m_handle = yelk_load_image(path.c_str(), read_all ? 1 : 0);
    try {
        const auto damaged = [&](const std::string &cause) {
            throw SlideOpenError(slide_error::kind::damaged, path, cause);
        };
        if (m_handle == nullptr)
            damaged("the slide is damaged or of a version this library does not read");
        const TQF_HEADER *header = m_handle->header;
        if (header == nullptr)
            damaged("the slide has no header");
        if (header->scanScale <= 0)
            damaged("the scan magnification " + std::to_string(header->scanScale) + " is not positive");
        if (header->imageWidth < 1 || header->imageHeight < 1)
            damaged("the size " + std::to_string(header->imageWidth) + " x " + std::to_string(header->imageHeight) +
                    " is empty");
        m_levels = slide_levels(*m_handle);
    } catch (...) {
        if (m_handle)
            yelk_unload_image(m_handle, m_read_all);
        throw;
    }
}

SlideFile::~SlideFile() { yelk_unload_image(m_handle, m_read_all); }

slide_properties SlideFile::properties() const {
    const TQF_HEADER &h = header();
    slide_properties p;
    p.scan_magnification = h.scanScale;
    p.mpp = h.imageCapRes > 0 && std::isfinite(h.imageCapRes) ? h.imageCapRes : 0;
    p.scan_time = h.scanTime;
    p.scan_duration = std::isfinite(h.scanDuration) ? h.scanDuration : 0;
    p.compression = text_of(h.compressType, sizeof h.compressType);
    p.raw = {
        {"fileFormat", text_of(h.fileFormat, sizeof h.fileFormat)},
        {"version", text_of(h.version)},
        {"imageWidth", text_of(h.imageWidth)},
        {"imageHeight", text_of(h.imageHeight)},
        {"scanScale", text_of(h.scanScale)},
        {"compressType", p.compression},
        {"scanDuration", text_of(h.scanDuration)},
        {"scanTime", text_of(h.scanTime)},
        {"imageCapRes", text_of(h.imageCapRes)},
        {"dataBlockCount", text_of(h.dataBlockCount)},
        {"imageBlockLen", text_of(h.imageBlockLen)},
    };
    p.source = source_properties(*m_handle);
    return p;
}

std::string quoted(const std::string &path) {
    std::string shown = "'";
    for (char c : path)
        shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return shown + "'";
}

}  // namespace tqfio::core
