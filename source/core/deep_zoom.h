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
#include <vector>

#include "core_api.h"
#include "tqf_slide.h"

namespace tqfio::core {

struct DeepZoomLevel {
    int64_t width, height;    // pixels of this Deep Zoom level
    int64_t columns, rows;    // tiles
    double downsample;        // full-resolution pixels per pixel of this level
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
TQFIO_CORE_API void read_deep_zoom_tile(const slide &source, const DeepZoomTile &tile, unsigned char *dst, size_t stride);

// Reads a tile and encodes it as a baseline 4:2:0 JPEG of `quality` (1 to
// 100) at the start of `jpeg`, and returns its length. `jpeg` only grows, so
// a buffer kept from tile to tile is neither reallocated nor cleared again.
// Safe from many threads at once. Throws slide_error (invalid_argument) for a
// quality out of range, and std::runtime_error when the encoder fails.
TQFIO_CORE_API size_t encode_deep_zoom_tile(const slide &source, const DeepZoomTile &tile, int quality,
                             std::vector<unsigned char> &jpeg);

}  // namespace tqfio::core

#endif  // TQF_CORE_DEEP_ZOOM_H
