// Deep Zoom tiles of a slide, laid out exactly as openslide.deepzoom's
// DeepZoomGenerator lays them out (limit_bounds off), so that a viewer
// written for OpenSlide's tile servers shows the same pyramid:
//
//   level n of N has the full-resolution size halved (rounding up) N-1-n
//   times, down to 1 x 1 at level 0; it is cut into tile_size squares, and
//   every tile but the first and last of a row or column carries `overlap`
//   extra pixels on its inner edges.
//
// Tiles are read through tqfio::slide at the level's downsample (a stored
// level when one matches, else the next finer one, area-averaged) and
// encoded with libjpeg-turbo.
#ifndef TQF_CORE_DEEP_ZOOM_H
#define TQF_CORE_DEEP_ZOOM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core_api.h"
#include "tqf_slide.h"

namespace tqfio::core {

struct DeepZoomLevel {
    int64_t width, height;  // pixels of this Deep Zoom level
    int64_t columns, rows;  // tiles
    double downsample;      // full-resolution pixels per pixel of this level
};

// Where one tile lies: its top-left corner in full-resolution pixels and its
// size in pixels of its Deep Zoom level.
struct DeepZoomTile {
    int64_t x = 0, y = 0;
    double downsample = 1;
    int width = 0, height = 0;
};

class TQFIO_CORE_API DeepZoomLayout {
public:
    // Throws std::invalid_argument for an empty image, a tile size below 1
    // or an overlap below 0.
    DeepZoomLayout(int64_t width, int64_t height, int tile_size = 254, int overlap = 1);

    int tile_size() const { return m_tile_size; }
    int overlap() const { return m_overlap; }
    // Deep Zoom numbering: level 0 is 1 x 1 pixel, the last full resolution.
    const std::vector<DeepZoomLevel> &levels() const { return m_levels; }

    // The tile's place; false when level, column or row is out of range.
    bool tile(int level, int64_t column, int64_t row, DeepZoomTile *tile) const;

private:
    int m_tile_size;
    int m_overlap;
    std::vector<DeepZoomLevel> m_levels;
};

// Reads a tile as RGB (white outside the slide, as OpenSlide's generator
// paints its background colour) into `dst`, rows `stride` bytes apart.
TQFIO_CORE_API void read_deep_zoom_tile(const slide &source, const DeepZoomTile &tile, unsigned char *dst,
                                        size_t stride);

// Reads a tile and encodes it as a baseline 4:2:0 JPEG of `quality` (1 to
// 100) at the start of `jpeg`, and returns its length. `jpeg` only grows, so
// a buffer kept from tile to tile is neither reallocated nor cleared again.
// Safe from many threads at once. Throws slide_error (invalid_argument) for a
// quality out of range, and std::runtime_error when the encoder fails.
TQFIO_CORE_API size_t encode_deep_zoom_tile(const slide &source, const DeepZoomTile &tile, int quality,
                                            std::vector<unsigned char> &jpeg);

// The tiles a Deep Zoom server sends for one slide.
//
// With 256-pixel tiles and no overlap, a Deep Zoom level of the size and
// downsample of a stored level is cut exactly as the stored level is, so
// each of its tiles is a stored tile, sent as the slide stores it: its JPEG
// stream, neither decoded nor encoded ("stored"), when that stream is a
// whole JPEG of the tile's size that browsers decode as libjpeg-turbo does
// (inspect_jpeg_stream). A stored stream larger than its tile (an edge tile
// padded past its level's edge) is cut to the tile in the DCT domain
// ("cropped"). Every other tile (the levels below the smallest stored level,
// tiles stored in another format, damaged or not at all, every tile of
// another layout) is read as read_deep_zoom_tile reads it and encoded as a
// JPEG of `quality` ("made"). Cropped and made tiles are kept, within a
// byte budget, least recently used first out.
//
// Every call takes the slide the tiles were made for; any number of threads
// may ask at once.
class TQFIO_CORE_API DeepZoomTiles {
public:
    enum class Origin { stored, cropped, made };
    struct Tile {
        const unsigned char *data = nullptr;
        size_t size = 0;
        Origin origin = Origin::made;
        // Owns the bytes of cropped and made tiles; stored ones lie in the
        // caller's buffer.
        std::shared_ptr<const std::vector<unsigned char>> kept;
    };

    // Throws std::invalid_argument as DeepZoomLayout does, and slide_error
    // (invalid_argument) for a quality out of 1 to 100.
    DeepZoomTiles(const slide &source, int tile_size, int overlap, int quality, size_t cache_bytes);
    ~DeepZoomTiles();
    DeepZoomTiles(const DeepZoomTiles &) = delete;
    DeepZoomTiles &operator=(const DeepZoomTiles &) = delete;

    const DeepZoomLayout &layout() const { return m_layout; }
    int quality() const { return m_quality; }
    // The stored level a Deep Zoom level is served from, or -1.
    int stored_level(int level) const;

    // The tile; false when level, column or row is out of range. A stored
    // tile's bytes are read into `buffer`, which grows to the slide's tile
    // stream capacity. Throws what reading or encoding throws.
    bool tile(const slide &source, int level, int64_t column, int64_t row, std::vector<unsigned char> &buffer,
              Tile *out) const;

    size_t cache_used_bytes() const;

private:
    struct Cache;
    DeepZoomLayout m_layout;
    int m_quality;
    std::vector<int> m_stored;  // per Deep Zoom level
    std::unique_ptr<Cache> m_cache;
};

}  // namespace tqfio::core

#endif  // TQF_CORE_DEEP_ZOOM_H
