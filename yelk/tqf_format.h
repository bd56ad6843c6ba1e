/*
 * The on-disk layout of a .tqf slide, shared by the slide library (which
 * reads it) and the slide writer (which produces it). FORMAT.md beside this
 * file describes the layout in prose.
 *
 * Records are stored as the packed structs of yelk.h, little-endian, so both
 * sides read and write them with a plain byte copy.
 */
#ifndef TQF_FORMAT_H
#define TQF_FORMAT_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "yelk.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the slide records are copied byte for byte and assume a little-endian machine"
#endif

namespace tqf::format {

// Record markers: four ASCII characters read as a little-endian INT32.
constexpr int32_t fourCharacters(char a, char b, char c, char d) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned char>(a)) |
                                static_cast<uint32_t>(static_cast<unsigned char>(b)) << 8 |
                                static_cast<uint32_t>(static_cast<unsigned char>(c)) << 16 |
                                static_cast<uint32_t>(static_cast<unsigned char>(d)) << 24);
}
constexpr int32_t kHeaderStartFlag = fourCharacters('T', 'Q', 'F', 'H');
constexpr int32_t kHeaderEndFlag = fourCharacters('H', 'E', 'N', 'D');
constexpr int32_t kImageStartFlag = fourCharacters('I', 'M', 'G', 'S');
constexpr int32_t kImageStopFlag = fourCharacters('I', 'M', 'G', 'E');
constexpr int32_t kBlockStartFlag = fourCharacters('B', 'L', 'K', 'S');
constexpr int32_t kBlockStopFlag = fourCharacters('B', 'L', 'K', 'E');

// Text fields, zero padded to their 8 bytes.
constexpr char kFileFormat[8] = {'T', 'Q', 'F', 0, 0, 0, 0, 0};
constexpr char kCompressType[8] = {'J', 'P', 'E', 'G', 0, 0, 0, 0};

// Files of version 1.x are read; a change of the major number breaks readers.
constexpr float kVersion = 1.0f;
constexpr float kFirstUnreadableVersion = 2.0f;

// Edge of a stored tile in pixels; also stored in TQF_HEADER::imageBlockLen.
constexpr int32_t kTileSize = 256;

// Scan magnifications are whole numbers from 1 to this; the bound keeps the
// library's scale lookup table small.
constexpr int32_t kMaxScanMagnification = 1000;

// Nominal capture resolution: micrometres per pixel at 1x. A slide at
// magnification m whose resolution was not measured (or not given to the
// writer) records kMicronsPerPixelAtOneX / m (0.25 at 40x).
constexpr float kMicronsPerPixelAtOneX = 10.0f;

// The three image headers follow the slide header at fixed positions.
constexpr int64_t kPreviewHeaderPosition = sizeof(TQF_HEADER);
constexpr int64_t kLabelHeaderPosition = kPreviewHeaderPosition + sizeof(TQF_PREVIEW_HEADER);
constexpr int64_t kThumbnailHeaderPosition = kLabelHeaderPosition + sizeof(TQF_LABEL_HEADER);
constexpr int64_t kFirstDataPosition = kThumbnailHeaderPosition + sizeof(TQF_THUMBNAIL_HEADER);
static_assert(kFirstDataPosition == 252, "records before the data take 252 bytes");

// One level of the pyramid: level 0 is the scan level, level k is reduced by 2^k.
struct Level {
    int index = 0;
    int64_t width = 0;
    int64_t height = 0;
    int64_t columns = 0;      // tiles across
    int64_t rows = 0;         // tiles down
    float magnification = 0;  // scan magnification / 2^index, exact in binary
    uint32_t address = 0;     // magnification truncated toward zero: the fetch's scale
    uint64_t firstBlock = 0;  // index of the level's first block header
    uint64_t blockCount() const { return static_cast<uint64_t>(columns) * static_cast<uint64_t>(rows); }
};

inline int64_t tilesAcross(int64_t pixels) { return (pixels + kTileSize - 1) / kTileSize; }

// The scan level and its reductions by two, each rounded up, while the level
// is wider or taller than one tile. The last level fits in one tile.
inline std::vector<Level> pyramidLevels(int64_t width, int64_t height, int32_t scanMagnification) {
    std::vector<Level> levels;
    if (width < 1 || height < 1 || scanMagnification < 1)
        return levels;
    uint64_t firstBlock = 0;
    for (int index = 0;; ++index) {
        Level level;
        level.index = index;
        level.width = width;
        level.height = height;
        level.columns = tilesAcross(width);
        level.rows = tilesAcross(height);
        level.magnification = std::ldexp(static_cast<float>(scanMagnification), -index);
        level.address = static_cast<uint32_t>(level.magnification);
        level.firstBlock = firstBlock;
        firstBlock += level.blockCount();
        levels.push_back(level);
        if (width <= kTileSize && height <= kTileSize)
            break;
        width = (width + 1) / 2;
        height = (height + 1) / 2;
    }
    return levels;
}

inline uint64_t totalBlockCount(const std::vector<Level> &levels) {
    return levels.empty() ? 0 : levels.back().firstBlock + levels.back().blockCount();
}

// How many levels a reader can fetch: levels below 1x all truncate to the
// address 0, where only the finest of them answers.
inline int reachableLevelCount(const std::vector<Level> &levels) {
    int count = 0;
    for (size_t k = 0; k < levels.size(); ++k)
        if (k == 0 || levels[k].address != levels[k - 1].address)
            ++count;
    return count;
}

// The block header the writer stores for tile (column, row) of a level; the
// library checks every stored header against it, bar length and position.
inline TQF_DATABLOCK_HEADER expectedBlockHeader(const Level &level, int64_t column, int64_t row) {
    TQF_DATABLOCK_HEADER block;
    std::memset(&block, 0, sizeof block);
    block.startFlag = kBlockStartFlag;
    block.posX = static_cast<int32_t>(column * kTileSize);
    block.posY = static_cast<int32_t>(row * kTileSize);
    block.width = static_cast<uint32_t>(std::min<int64_t>(kTileSize, level.width - column * kTileSize));
    block.height = static_cast<uint32_t>(std::min<int64_t>(kTileSize, level.height - row * kTileSize));
    block.scaleRatio = level.magnification;
    block.stopFlag = kBlockStopFlag;
    return block;
}

// Extension records: data the slide header has no field for. The preview
// header's 16 reserved bytes hold an ExtensionDirectory (zeros in a slide
// without records); it points at a table of ExtensionEntry, each naming a
// record by its id and placing its bytes. The library hands every record on
// through TQF::extension; a reader skips the ids it does not know, and a
// library or reader that predates records ignores the reserved bytes.
#pragma pack(push, 1)
struct ExtensionDirectory {
    int32_t marker;         // kExtensionMarker
    uint32_t count;         // entries in the table, 1..kMaxExtensionRecords
    int64_t tablePosition;  // the table, in the file's data area
};
struct ExtensionEntry {
    uint32_t id;
    uint32_t length;  // bytes of the record, at most kMaxExtensionRecordBytes
    int64_t position;
};
#pragma pack(pop)
static_assert(sizeof(ExtensionDirectory) == sizeof(TQF_PREVIEW_HEADER::reserved),
              "the directory fills the reserved bytes");
static_assert(sizeof(ExtensionEntry) == 16, "table entries are 16 bytes");

constexpr int32_t kExtensionMarker = fourCharacters('X', 'T', 'N', 'S');
constexpr uint32_t kMaxExtensionRecords = 64;
constexpr uint32_t kMaxExtensionRecordBytes = 16u << 20;
constexpr uint64_t kMaxExtensionBytes = 64u << 20;  // all records together

// The properties of the image a slide was converted from (a scanner's
// slide file, say), as the program that read it named them: UTF-8 names and
// values, each followed by a NUL byte, name then value, names unique and not
// empty.
constexpr uint32_t kSourcePropertiesRecord = static_cast<uint32_t>(fourCharacters('S', 'R', 'C', 'P'));

inline std::vector<uint8_t> encodeProperties(const std::vector<std::pair<std::string, std::string>> &properties) {
    std::vector<uint8_t> bytes;
    for (const auto &[name, value] : properties) {
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.push_back(0);
        bytes.insert(bytes.end(), value.begin(), value.end());
        bytes.push_back(0);
    }
    return bytes;
}

// False (and `properties` empty) unless the bytes are such a record: NUL
// ended strings, an even number of them, names not empty and unique.
inline bool decodeProperties(const uint8_t *bytes, size_t size,
                             std::vector<std::pair<std::string, std::string>> &properties) {
    properties.clear();
    std::vector<std::string> strings;
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] == 0) {
            strings.emplace_back(reinterpret_cast<const char *>(bytes) + start, i - start);
            start = i + 1;
        }
    }
    bool sound = start == size && strings.size() % 2 == 0;
    std::set<std::string> names;
    for (size_t i = 0; sound && i < strings.size(); i += 2) {
        sound = !strings[i].empty() && names.insert(strings[i]).second;
        if (sound)
            properties.emplace_back(std::move(strings[i]), std::move(strings[i + 1]));
    }
    if (!sound)
        properties.clear();
    return sound;
}

}  // namespace tqf::format

#endif  // TQF_FORMAT_H
