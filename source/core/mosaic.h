// The tile mosaic: the pixels of a rectangle of one level, assembled from
// the level's stored tiles.
#ifndef TQF_CORE_MOSAIC_H
#define TQF_CORE_MOSAIC_H

#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "fast_jpeg_decoder.h"
#include "slide_limits.h"
#include "pixel_order.h"
#include "tile_cache.h"
#include "tile_source.h"

namespace tqfio::core {

// What one thread needs to decode tiles; reused from one call to the next so
// that a read allocates nothing per tile.
struct TileScratch {
    TileScratch() : stream(kTileStreamCapacity, 0) {}
    std::vector<unsigned char> stream;  // the tile stream buffer
    std::vector<unsigned char> cut;     // a stream cut to its cell
    cv::Mat tile;                       // a decoded tile on its way to the destination
    FastJpegDecoder jpeg;
};

// A tile the image library failed on while decoding or placing it.
struct TileFailure {
    const char *what;  // the image library's message
    int column;
    int row;
};

struct MosaicRequest {
    TileSource *source = nullptr;
    uint32_t address = 0;  // the level, as the tile source takes it
    int tile_edge = kTileEdge;
    // The rectangle in pixels of the level: x, y, width, height >= 0, and
    // x + width, y + height within int.
    int x = 0, y = 0, width = 0, height = 0;
    PixelOrder order = PixelOrder::bgr;
    // The original reader's rules: every stream buffer is decoded whole
    // (zeroed at each tile row), and a tile larger than its cell is pasted
    // whole as on a canvas of whole cells, reaching into the cells to its
    // right and below, and fails when it would reach past that canvas. bgr
    // only, no cache. Otherwise each stream is decoded up to its length and
    // each tile cut to its own cell, so any split of a rectangle assembles
    // the same pixels and parts can be assembled on several threads.
    bool canvas_rules = false;
    // The level's size (0 when not known). Without canvas rules, a JPEG tile
    // that reaches past the level's right or bottom edge, or past its cell,
    // is read as its stream cut to them in the DCT domain (crop_jpeg_stream):
    // the pixels a Deep Zoom server sends for such a tile, and what a tile
    // stored at its true size gives; a whole decode would let the chroma of
    // what lies beyond blend into the edge's last column and row.
    int64_t level_width = 0, level_height = 0;
    TileCache *cache = nullptr;  // decoded tiles to use and keep; null for none
    std::function<void(const TileFailure &)> on_failure;
};

// Fills `dst` (height x width; CV_8UC3 for bgr and rgb, CV_8UC4 for rgba;
// it may view a larger image) with the rectangle: the tiles as decoded, and
// white (opaque) wherever no tile is stored or a stream does not decode.
// Only cv::Exception raised while one tile is decoded or placed is caught
// (reported through on_failure); the mosaic goes on with the next tile.
void assemble_mosaic(const MosaicRequest &request, cv::Mat &dst, TileScratch &scratch);

// Copies `src` (rgb, bgr or rgba as `from`) to `dst` of the same size in
// `to`; alpha becomes 255.
void convert_pixels(const cv::Mat &src, PixelOrder from, cv::Mat &dst, PixelOrder to);

// Opaque white in `order` (four channels for rgba).
cv::Scalar opaque_white();

}  // namespace tqfio::core

#endif  // TQF_CORE_MOSAIC_H
