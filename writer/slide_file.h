/*
 * The slide file as it is being written: appended data goes through a
 * buffer into a temporary file beside the target; the header records are
 * written last, at the start, and the file then replaces the target.
 */
#ifndef TQF_SLIDE_FILE_H
#define TQF_SLIDE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sibling_temp_file.h"
#include "yelk.h"

namespace tqf::writer {

class SlideFile {
public:
    // Creates the temporary file with room for the header records.
    bool create(const std::string &targetPath);

    // Appends bytes and returns where they start in the file.
    bool append(const void *data, size_t size, uint64_t &position);

    uint64_t size() const { return m_size; }

    // Writes the header records in place, syncs the file to disk and renames
    // it over the target.
    bool finish(const TQF_HEADER &header, const TQF_PREVIEW_HEADER &preview, const TQF_LABEL_HEADER &label,
                const TQF_THUMBNAIL_HEADER &thumbnail);

    // Removes the temporary file (also done on destruction unless finished).
    void discard() { m_file.discard(); }

    const std::string &error() const { return m_error; }

private:
    bool flush();
    bool fail();

    io::SiblingTempFile m_file;
    std::vector<uint8_t> m_pending;
    uint64_t m_size = 0;
    std::string m_error;
};

}  // namespace tqf::writer

#endif  // TQF_SLIDE_FILE_H
