/*
 * Checks of the records read from a slide file against the format and
 * against the file's size. Each returns an empty string when the record is
 * sound, otherwise a sentence naming the field and its value.
 */
#ifndef TQF_RECORD_CHECKS_H
#define TQF_RECORD_CHECKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "open_slide.h"
#include "tqf_format.h"
#include "yelk.h"

namespace tqf::library {

std::string checkHeader(const TQF_HEADER &header, uint64_t fileSize);

// The position of one of the three image headers, as the slide header gives it.
std::string checkImageHeaderPosition(int64_t position, const char *which, uint64_t fileSize);

// The fields common to the preview, label and thumbnail headers.
std::string checkImageHeader(int32_t startFlag, uint32_t exist, uint32_t width, uint32_t height, uint32_t channel,
                             uint32_t length, int64_t position, int32_t stopFlag, const char *which, uint64_t fileSize);

template <typename ImageHeader>
std::string checkImageHeader(const ImageHeader &image, const char *which, uint64_t fileSize) {
    return checkImageHeader(image.startFlag, image.exist, image.width, image.height, image.channel, image.length,
                            image.position, image.stopFlag, which, fileSize);
}

template <typename ImageHeader>
StoredImage storedImageOf(const ImageHeader &image) {
    StoredImage stored;
    stored.exists = image.exist != 0;
    stored.position = static_cast<uint64_t>(image.position);
    stored.length = image.length;
    return stored;
}

// The number of block headers the geometry calls for, and room for them.
std::string checkBlockIndexExtent(const TQF_HEADER &header, const std::vector<format::Level> &levels,
                                  uint64_t fileSize);

// Every block header: the tile it describes and the stream it points to.
std::string checkBlocks(const std::vector<TQF_DATABLOCK_HEADER> &blocks, const std::vector<format::Level> &levels,
                        uint64_t fileSize);

// The extension directory in the preview header's reserved bytes: false
// when they hold none (zeros, or anything without the marker), true with
// `problem` set when they hold one that cannot be right.
bool readExtensionDirectory(const TQF_PREVIEW_HEADER &preview, uint64_t fileSize, format::ExtensionDirectory &directory,
                            std::string &problem);

// The table's entries: each record inside the file's data area, within the
// size limits, all of them together too.
std::string checkExtensionEntries(const std::vector<format::ExtensionEntry> &entries, uint64_t fileSize);

}  // namespace tqf::library

#endif  // TQF_RECORD_CHECKS_H
