// The tile mosaic: the pixels of a rectangle of one level, assembled from
// the level's stored tiles. Two layouts, each with an entry point of its
// own:
//
//   assemble_in_cells   each tile cut to its own cell, so any split of a
//                       rectangle assembles the same pixels and parts can be
//                       assembled on several threads; any pixel order, a
//                       tile cache. What tqfio::slide reads with.
//   assemble_on_canvas  the original reader's rules: every stream buffer is
//                       decoded whole (zeroed at each tile row), and a tile
//                       larger than its cell is pasted whole as on a canvas
//                       of whole cells, reaching into the cells to its right
//                       and below, and fails when it would reach past that
//                       canvas. Blue, green, red; no cache.
#ifndef TQF_CORE_MOSAIC_H
#define TQF_CORE_MOSAIC_H

#include <cstdint>
#include <functional>

#include <opencv2/core.hpp>

#include "codec/pixel_order.h"
#include "core_api.h"
#include "slide_limits.h"
#include "tile_cache.h"
#include "tile_scratch.h"
#include "tile_source.h"

namespace tqfio::core {

using tqf::codec::bytes_per_pixel;
using tqf::codec::PixelOrder;

// A tile the image library failed on while decoding or placing it.
struct TileFailure {
    const char *what;  // the image library's message
    int column;
    int row;
};

// The rectangle to assemble and where its tiles come from.
struct MosaicRequest {
    TileSource *source = nullptr;
    uint32_t address = 0;  // the level, as the tile source takes it
    int tile_edge = kTileEdge;
    // The rectangle in pixels of the level: x, y, width, height >= 0, and
    // x + width, y + height within int.
    int x = 0, y = 0, width = 0, height = 0;
    // Told of each tile the image library fails on; the mosaic goes on with
    // the next tile. Only cv::Exception raised while one tile is decoded or
    // placed is caught.
    std::function<void(const TileFailure &)> on_failure;
};

struct CellRequest : MosaicRequest {
    PixelOrder order = PixelOrder::bgr;
    TileCache *cache = nullptr;  // decoded tiles to use and keep; null for none
};

// Fill `dst` (height x width; CV_8UC3 for bgr and rgb, CV_8UC4 for rgba and bgra;
// it may view a larger image) with the rectangle: the tiles as decoded, and
// white (opaque) wherever no tile is stored or a stream does not decode.
TQFIO_CORE_API void assemble_in_cells(const CellRequest &request, cv::Mat &dst, TileScratch &scratch);
// `dst` is CV_8UC3, blue, green, red.
TQFIO_CORE_API void assemble_on_canvas(const MosaicRequest &request, cv::Mat &dst, TileScratch &scratch);

// Copies `src` (in any order `from`) to `dst` of the same size in
// `to`; alpha becomes 255.
TQFIO_CORE_API void convert_pixels(const cv::Mat &src, PixelOrder from, cv::Mat &dst, PixelOrder to);

// Opaque white in any order (four channels for rgba).
cv::Scalar opaque_white();

}  // namespace tqfio::core

#endif  // TQF_CORE_MOSAIC_H
