#include "tile_streams.h"

#include "positioned_io.h"
#include "yelk_results.h"

#include <cstring>

namespace tqf::library {

namespace {

// The block header stored for that tile, or null when the request names none.
const TQF_DATABLOCK_HEADER *findBlock(const SlideState &state, UINT32 scale, INT32 x, INT32 y) {
    if (scale >= state.levelByAddress.size())
        return nullptr;
    const int levelIndex = state.levelByAddress[scale];
    if (levelIndex < 0)
        return nullptr;
    const format::Level &level = state.levels[static_cast<size_t>(levelIndex)];
    if (x < 0 || y < 0 || x % format::kTileSize != 0 || y % format::kTileSize != 0 || x >= level.width ||
        y >= level.height)
        return nullptr;
    const uint64_t column = static_cast<uint64_t>(x / format::kTileSize);
    const uint64_t row = static_cast<uint64_t>(y / format::kTileSize);
    return &state.blocks[level.firstBlock + row * static_cast<uint64_t>(level.columns) + column];
}

}  // namespace

int copyTileStream(const OpenSlide &slide, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length) {
    if (buffer == nullptr || length == nullptr)
        return YELK_BAD_ARGUMENT;
    const SlideState &state = *slide.state;
    const TQF_DATABLOCK_HEADER *block = findBlock(state, scale, x, y);
    if (block == nullptr || block->length == 0)
        return YELK_NOT_STORED;
    if (block->length > YELK_TILE_STREAM_CAPACITY) {
        *length = 0;
        return YELK_STREAM_TOO_LONG;
    }
    const uint64_t position = static_cast<uint64_t>(block->position);
    if (state.contents) {
        std::memcpy(buffer, state.contents.get() + position, block->length);
    } else if (!io::readFullyAt(state.fd, buffer, block->length, position)) {
        *length = 0;
        return YELK_READ_FAILED;
    }
    *length = block->length;
    return YELK_OK;
}

}  // namespace tqf::library
