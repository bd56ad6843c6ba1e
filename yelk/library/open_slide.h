/*
 * What the library keeps for an open slide. The handle given to callers
 * points at OpenSlide::record, the first member of a standard-layout struct,
 * so the library converts a handle back to its OpenSlide with a cast.
 */
#ifndef TQF_OPEN_SLIDE_H
#define TQF_OPEN_SLIDE_H

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "tqf_format.h"
#include "yelk.h"

namespace tqf::library {

// Where a stored image (preview, label, thumbnail) lies in the file.
struct StoredImage {
    bool exists = false;
    uint64_t position = 0;
    uint32_t length = 0;
};

struct SlideState {
    int fd = -1;  // owned by TQF::infile; kept for positioned reads
    bool readAll = false;
    uint64_t fileSize = 0;
    std::unique_ptr<unsigned char[]> contents;  // the whole file (fileSize bytes), when read-all

    TQF_HEADER header{};
    TQF_PREVIEW_HEADER previewHeader{};
    TQF_LABEL_HEADER labelHeader{};
    TQF_THUMBNAIL_HEADER thumbnailHeader{};
    // The extension records (tqf_format.h), each record's bytes in
    // extensionBytes; an empty list for a slide without any.
    TQF_EXTENSION extension{};
    std::vector<TQF_EXTENSION_FIELD> extensionFields;
    std::vector<std::vector<unsigned char>> extensionBytes;
    std::vector<TQF_DATABLOCK_HEADER> blocks;

    std::vector<format::Level> levels;
    // Level index for each whole magnification 0..scanScale, -1 where none.
    std::vector<int8_t> levelByAddress;
};

struct OpenSlide {
    TQF record;
    SlideState *state;
};
static_assert(std::is_standard_layout_v<OpenSlide>, "a TQF pointer converts to its OpenSlide");

inline const OpenSlide *openSlideOf(const TQF *handle) { return reinterpret_cast<const OpenSlide *>(handle); }
inline OpenSlide *openSlideOf(TQF *handle) { return reinterpret_cast<OpenSlide *>(handle); }

}  // namespace tqf::library

#endif  // TQF_OPEN_SLIDE_H
