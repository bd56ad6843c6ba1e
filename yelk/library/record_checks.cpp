#include "record_checks.h"

#include <cstdio>
#include <cstring>

namespace tqf::library {

namespace {

std::string quoted(const char *text, size_t size) {
    std::string out = "\"";
    for (size_t i = 0; i < size && text[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string hex(int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<uint32_t>(value));
    return text;
}

// True when [position, position + length) lies inside the file's data area.
bool extentFits(int64_t position, uint64_t length, uint64_t fileSize) {
    if (position < format::kFirstDataPosition)
        return false;
    const uint64_t start = static_cast<uint64_t>(position);
    return start <= fileSize && length <= fileSize - start;
}

}  // namespace

std::string checkHeader(const TQF_HEADER &header, uint64_t fileSize) {
    if (header.startFlag != format::kHeaderStartFlag)
        return "the start marker is " + hex(header.startFlag) + ", not that of a slide";
    if (header.endFlag != format::kHeaderEndFlag)
        return "the header's end marker is " + hex(header.endFlag) + ", the header is damaged";
    if (std::memcmp(header.fileFormat, format::kFileFormat, sizeof header.fileFormat) != 0)
        return "the format name is " + quoted(header.fileFormat, sizeof header.fileFormat) + ", not \"TQF\"";
    if (!(header.version >= format::kVersion && header.version < format::kFirstUnreadableVersion))
        return "format version " + std::to_string(header.version) + " is not supported (1.x is)";
    if (std::memcmp(header.compressType, format::kCompressType, sizeof header.compressType) != 0)
        return "the compression is " + quoted(header.compressType, sizeof header.compressType) +
               ", only \"JPEG\" is supported";
    if (header.imageBlockLen != format::kTileSize)
        return "the tile size is " + std::to_string(header.imageBlockLen) + ", not " +
               std::to_string(format::kTileSize);
    if (header.scanScale < 1 || header.scanScale > format::kMaxScanMagnification)
        return "the scan magnification " + std::to_string(header.scanScale) + " is outside 1.." +
               std::to_string(format::kMaxScanMagnification);
    if (header.imageWidth < 1 || header.imageHeight < 1)
        return "the slide size " + std::to_string(header.imageWidth) + " x " + std::to_string(header.imageHeight) +
               " is not positive";
    if (header.freeInfo < 0 || static_cast<uint64_t>(header.freeInfo) != fileSize)
        return "the file is " + std::to_string(fileSize) + " bytes but the slide records " +
               std::to_string(header.freeInfo) + ": it was truncated or appended to";
    if (header.dataBlockCount < 1)
        return "the tile count " + std::to_string(header.dataBlockCount) + " is not positive";
    return {};
}

std::string checkImageHeaderPosition(int64_t position, const char *which, uint64_t fileSize) {
    const int64_t earliest = static_cast<int64_t>(sizeof(TQF_HEADER));
    if (position < earliest || static_cast<uint64_t>(position) > fileSize ||
        fileSize - static_cast<uint64_t>(position) < sizeof(TQF_PREVIEW_HEADER))
        return std::string("the ") + which + " header position " + std::to_string(position) +
               " lies outside the file of " + std::to_string(fileSize) + " bytes";
    return {};
}

std::string checkImageHeader(int32_t startFlag, uint32_t exist, uint32_t width, uint32_t height, uint32_t channel,
                             uint32_t length, int64_t position, int32_t stopFlag, const char *which,
                             uint64_t fileSize) {
    const std::string name = std::string("the ") + which + " header";
    if (startFlag != format::kImageStartFlag || stopFlag != format::kImageStopFlag)
        return name + " has wrong markers (" + hex(startFlag) + ", " + hex(stopFlag) + ")";
    if (exist > 1)
        return name + " has presence flag " + std::to_string(exist) + ", not 0 or 1";
    if (exist == 0)
        return length == 0 && position == 0 ? std::string() : name + " marks the image absent but gives it bytes";
    if (width < 1 || height < 1)
        return name + " gives the size " + std::to_string(width) + " x " + std::to_string(height);
    if (channel != 1 && channel != 3)
        return name + " gives " + std::to_string(channel) + " channels, not 1 or 3";
    if (length < 1 || !extentFits(position, length, fileSize))
        return name + " places " + std::to_string(length) + " bytes at " + std::to_string(position) +
               ", outside the file of " + std::to_string(fileSize) + " bytes";
    return {};
}

std::string checkBlockIndexExtent(const TQF_HEADER &header, const std::vector<format::Level> &levels,
                                  uint64_t fileSize) {
    const uint64_t expected = format::totalBlockCount(levels);
    const uint64_t stored = static_cast<uint64_t>(header.dataBlockCount);
    if (stored != expected)
        return "the slide records " + std::to_string(stored) + " tiles but its size of " +
               std::to_string(header.imageWidth) + " x " + std::to_string(header.imageHeight) + " calls for " +
               std::to_string(expected);
    if (!extentFits(header.dataBlockPos, stored * sizeof(TQF_DATABLOCK_HEADER), fileSize))
        return "the tile index of " + std::to_string(stored) + " entries at " + std::to_string(header.dataBlockPos) +
               " lies outside the file of " + std::to_string(fileSize) + " bytes";
    return {};
}

std::string checkBlocks(const std::vector<TQF_DATABLOCK_HEADER> &blocks, const std::vector<format::Level> &levels,
                        uint64_t fileSize) {
    for (const format::Level &level : levels) {
        for (int64_t row = 0; row < level.rows; ++row) {
            for (int64_t column = 0; column < level.columns; ++column) {
                const uint64_t index = level.firstBlock + static_cast<uint64_t>(row * level.columns + column);
                const TQF_DATABLOCK_HEADER &block = blocks[index];
                const TQF_DATABLOCK_HEADER expected = format::expectedBlockHeader(level, column, row);
                const std::string name = "tile " + std::to_string(index) + " (level " + std::to_string(level.index) +
                                         ", x " + std::to_string(expected.posX) + ", y " +
                                         std::to_string(expected.posY) + ")";
                if (block.startFlag != expected.startFlag || block.stopFlag != expected.stopFlag)
                    return name + " has wrong markers (" + hex(block.startFlag) + ", " + hex(block.stopFlag) + ")";
                if (block.posX != expected.posX || block.posY != expected.posY)
                    return name + " is recorded at x " + std::to_string(block.posX) + ", y " +
                           std::to_string(block.posY);
                if (block.width != expected.width || block.height != expected.height)
                    return name + " is recorded as " + std::to_string(block.width) + " x " +
                           std::to_string(block.height) + ", not " + std::to_string(expected.width) + " x " +
                           std::to_string(expected.height);
                if (std::memcmp(&block.scaleRatio, &expected.scaleRatio, sizeof(FLOAT)) != 0)
                    return name + " is recorded at magnification " + std::to_string(block.scaleRatio) + ", not " +
                           std::to_string(expected.scaleRatio);
                if (block.offsetX != 0 || block.offsetY != 0)
                    return name + " has the offset " + std::to_string(block.offsetX) + ", " +
                           std::to_string(block.offsetY) + "; tiles do not overlap";
                if (block.length == 0) {
                    if (block.position != 0)
                        return name + " is marked absent but points to " + std::to_string(block.position);
                    continue;
                }
                if (!extentFits(block.position, block.length, fileSize))
                    return name + " places " + std::to_string(block.length) + " bytes at " +
                           std::to_string(block.position) + ", outside the file of " + std::to_string(fileSize) +
                           " bytes";
            }
        }
    }
    return {};
}

bool readExtensionDirectory(const TQF_PREVIEW_HEADER &preview, uint64_t fileSize, format::ExtensionDirectory &directory,
                            std::string &problem) {
    std::memcpy(&directory, preview.reserved, sizeof directory);
    if (directory.marker != format::kExtensionMarker)
        return false;
    if (directory.count < 1 || directory.count > format::kMaxExtensionRecords)
        problem = "the extension directory lists " + std::to_string(directory.count) + " records, not 1 to " +
                  std::to_string(format::kMaxExtensionRecords);
    else if (!extentFits(directory.tablePosition, uint64_t{directory.count} * sizeof(format::ExtensionEntry), fileSize))
        problem = "the extension table of " + std::to_string(directory.count) + " entries at " +
                  std::to_string(directory.tablePosition) + " lies outside the file of " + std::to_string(fileSize) +
                  " bytes";
    return true;
}

std::string checkExtensionEntries(const std::vector<format::ExtensionEntry> &entries, uint64_t fileSize) {
    uint64_t total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const format::ExtensionEntry &entry = entries[i];
        const std::string name = "extension record " + std::to_string(i) + " (id " +
                                 hex(static_cast<int32_t>(entry.id)) + ")";
        if (entry.length > format::kMaxExtensionRecordBytes)
            return name + " is " + std::to_string(entry.length) + " bytes long, more than " +
                   std::to_string(format::kMaxExtensionRecordBytes);
        if (!extentFits(entry.position, entry.length, fileSize))
            return name + " places " + std::to_string(entry.length) + " bytes at " + std::to_string(entry.position) +
                   ", outside the file of " + std::to_string(fileSize) + " bytes";
        total += entry.length;
    }
    if (total > format::kMaxExtensionBytes)
        return "the extension records take " + std::to_string(total) + " bytes, more than " +
               std::to_string(format::kMaxExtensionBytes);
    return {};
}

}  // namespace tqf::library
