// Where the mosaic gets its tiles: the slide library, or a test's own.
#ifndef TQF_CORE_TILE_SOURCE_H
#define TQF_CORE_TILE_SOURCE_H

#include <cstdint>

#include "yelk.h"

namespace tqfio::core {

class TileSource {
public:
    virtual ~TileSource() = default;
    // Copies the encoded stream of the tile whose top-left pixel is (x, y) on
    // the level addressed by `address` to `buffer` (kTileStreamCapacity
    // bytes) and returns its length; 0 when no tile is stored there.
    virtual uint32_t fetch(uint32_t address, int32_t x, int32_t y, unsigned char *buffer) = 0;
};

// The slide library's tile-stream operations on an open slide: the
// in-memory form for slides loaded whole, the other for the rest.
class LibraryTileSource final : public TileSource {
public:
    LibraryTileSource(TQF *slide, bool read_all) : m_slide(slide), m_readAll(read_all) {}
    uint32_t fetch(uint32_t address, int32_t x, int32_t y, unsigned char *buffer) override {
        UINT32 length = 0;
        (m_readAll ? yelk_get_datablock_stream : yelk_get_datablock_stream_single)(
            m_slide, address, x, y, reinterpret_cast<char *>(buffer), &length);
        return length;
    }

private:
    TQF *m_slide;
    bool m_readAll;
};

}  // namespace tqfio::core

#endif  // TQF_CORE_TILE_SOURCE_H
