// The slide API's layout (see mosaic.h): each tile cut to its own cell,
// with a cache of decoded tiles.
#include <algorithm>
#include <memory>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "codec/image_decoding.h"
#include "mosaic.h"
#include "mosaic_destination.h"

namespace tqfio::core {

namespace {

using tqf::codec::decode_slide_image;

// Pixel buffers of decoded tiles, handed back when a tile leaves the cache
// and its last reader lets go, so that a steady stream of decodes does not
// allocate (and fault in) fresh memory for every tile.
class TileBuffers {
public:
    std::vector<unsigned char> take(size_t bytes) {
        std::vector<unsigned char> buffer;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_free.empty()) {
                buffer = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        buffer.resize(bytes);
        return buffer;
    }
    void give_back(std::vector<unsigned char> &&buffer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_free.size() < kKept && buffer.capacity() <= kTileStreamCapacity)
            m_free.push_back(std::move(buffer));
    }

private:
    static constexpr size_t kKept = 32;
    std::mutex m_mutex;
    std::vector<std::vector<unsigned char>> m_free;
};

TileBuffers &tile_buffers() {
    static TileBuffers *buffers = new TileBuffers;  // never destroyed: tiles may outlive static destruction
    return *buffers;
}

std::shared_ptr<DecodedTile> new_tile(int width, int height) {
    auto *tile = new DecodedTile;
    tile->width = width;
    tile->height = height;
    tile->rgb = tile_buffers().take(static_cast<size_t>(width) * height * 3);
    return std::shared_ptr<DecodedTile>(tile, [](DecodedTile *t) {
        tile_buffers().give_back(std::move(t->rgb));
        delete t;
    });
}

// Decodes a tile stream for the cache: red, green, blue at the tile's own
// size. Null when it does not decode.
std::shared_ptr<DecodedTile> decode_for_cache(const unsigned char *stream, size_t length, TileScratch &scratch) {
    int w = 0, h = 0;
    if (scratch.jpeg.probe(stream, length, &w, &h)) {
        std::shared_ptr<DecodedTile> tile = new_tile(w, h);
        if (scratch.jpeg.decode(stream, length, tile->rgb.data(), w, h, static_cast<size_t>(w) * 3, PixelOrder::rgb))
            return tile;
    }
    const cv::Mat bgr = decode_slide_image(stream, length);
    if (bgr.empty())
        return nullptr;
    std::shared_ptr<DecodedTile> tile = new_tile(bgr.cols, bgr.rows);
    cv::Mat rgb(bgr.rows, bgr.cols, CV_8UC3, tile->rgb.data());
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    return tile;
}

// Tiles stated larger than this many cells a side are not decoded: only a
// tile's own cell is ever shown, and a damaged header can state up to
// 65535 x 65535 pixels, which take gigabytes and seconds to decode.
constexpr int64_t kLargestTileInCells = 4;

// Whether a stream the fast path did not take states a size too large to
// decode for a cell of `edge` pixels.
bool stated_too_large(const unsigned char *stream, size_t length, int edge) {
    int64_t w = 0, h = 0;
    const int64_t largest = kLargestTileInCells * edge;
    return tqf::codec::stated_image_size(stream, length, &w, &h) && (w > largest || h > largest);
}

// White for the part of `cell` that a tile of width x height placed at its
// top-left corner leaves uncovered.
void whiten_around(Destination &target, const Box &cell, int64_t width, int64_t height) {
    width = std::min(width, cell.x1 - cell.x0);
    height = std::min(height, cell.y1 - cell.y0);
    target.fill_white(Box{cell.x0 + width, cell.y0, cell.x1, cell.y0 + height});
    target.fill_white(Box{cell.x0, cell.y0 + height, cell.x1, cell.y1});
}

}  // namespace

// Each tile cut to its cell. A tile wholly inside the rectangle is decoded
// straight into the destination and not kept: the read wanted all of it. A tile partly inside is decoded whole
// and kept in the cache while the cache finds that such tiles are read again
// (Deep Zoom tiles, overlapping patches, panning); otherwise, and without a
// cache, only its part inside the rectangle is decoded, straight into place.
void assemble_in_cells(const CellRequest &r, cv::Mat &dst, TileScratch &scratch) {
    if (r.width <= 0 || r.height <= 0)
        return;
    Destination target(dst, Destination::area_of(r), r.order);
    const int bs = r.tile_edge;
    const TileSpan span = tiles_covering(target.area(), bs);
    const int first_column = static_cast<int>(span.first_column), first_row = static_cast<int>(span.first_row);
    const int end_column = static_cast<int>(span.first_column + span.columns);
    const int end_row = static_cast<int>(span.first_row + span.rows);
    unsigned char *stream = scratch.stream.data();
    for (int row = first_row; row < end_row; ++row) {
        for (int column = first_column; column < end_column; ++column) {
            const int sx = bs * column;
            const int sy = bs * row;
            const Box cell{sx, sy, static_cast<int64_t>(sx) + bs, static_cast<int64_t>(sy) + bs};
            const TileKey key{r.address, column, row};
            try {
                std::shared_ptr<const DecodedTile> cached = r.cache ? r.cache->find(key) : nullptr;
                if (cached) {
                    const cv::Mat pixels(cached->height, cached->width, CV_8UC3,
                                         const_cast<unsigned char *>(cached->rgb.data()));
                    target.paste(pixels, PixelOrder::rgb, sx, sy, cell);
                    whiten_around(target, cell, cached->width, cached->height);
                    continue;
                }
                const size_t length = std::min<size_t>(r.source->fetch(r.address, sx, sy, stream), kTileStreamCapacity);
                if (length == 0) {
                    target.fill_white(cell);
                    continue;
                }
                int w = 0, h = 0;
                const bool plain = scratch.jpeg.probe(stream, length, &w, &h) && w <= bs && h <= bs;
                unsigned char *place = plain ? target.place_for(sx, sy, w, h) : nullptr;
                if (place && scratch.jpeg.decode(stream, length, place, w, h, target.pitch(), r.order)) {
                    whiten_around(target, cell, w, h);
                    continue;
                }
                // A stream of unknown size: covered when its whole cell is.
                const bool covered = place != nullptr || (!plain && target.place_for(sx, sy, bs, bs) != nullptr);
                // Partly covered and not to be kept: decode only its part.
                if (plain && !covered && (!r.cache || !r.cache->admits_partly_covered())) {
                    const Box part = Box{sx, sy, sx + static_cast<int64_t>(w), sy + static_cast<int64_t>(h)} &
                                     target.area();
                    unsigned char *at = part.empty()
                                            ? nullptr
                                            : target.place_for(part.x0, part.y0, static_cast<int>(part.width()),
                                                               static_cast<int>(part.height()));
                    if (part.empty() || (at && scratch.jpeg.decode_window(
                                                   stream, length, static_cast<int>(part.x0 - sx),
                                                   static_cast<int>(part.y0 - sy), static_cast<int>(part.x1 - sx),
                                                   static_cast<int>(part.y1 - sy), at, target.pitch(), r.order))) {
                        whiten_around(target, cell, w, h);
                        continue;
                    }
                }
                if (!plain && stated_too_large(stream, length, bs)) {
                    target.fill_white(cell);
                    if (r.on_failure)
                        r.on_failure(TileFailure{"the tile states a size of more than four cells a side; not decoded",
                                                 column, row});
                    continue;
                }
                if (r.cache && !covered) {
                    std::shared_ptr<DecodedTile> decoded = decode_for_cache(stream, length, scratch);
                    if (!decoded) {
                        target.fill_white(cell);
                        continue;
                    }
                    r.cache->insert(key, decoded);
                    const cv::Mat pixels(decoded->height, decoded->width, CV_8UC3, decoded->rgb.data());
                    target.paste(pixels, PixelOrder::rgb, sx, sy, cell);
                    whiten_around(target, cell, decoded->width, decoded->height);
                    continue;
                }
                if (plain) {
                    scratch.tile.create(h, w, bytes_per_pixel(r.order) == 4 ? CV_8UC4 : CV_8UC3);
                    if (scratch.jpeg.decode(stream, length, scratch.tile.data, w, h, scratch.tile.step, r.order)) {
                        target.paste(scratch.tile, r.order, sx, sy, cell);
                        whiten_around(target, cell, w, h);
                        continue;
                    }
                }
                scratch.tile = decode_slide_image(stream, length);
                if (scratch.tile.empty()) {
                    target.fill_white(cell);
                    continue;
                }
                target.paste(scratch.tile, PixelOrder::bgr, sx, sy, cell);
                whiten_around(target, cell, scratch.tile.cols, scratch.tile.rows);
            } catch (const cv::Exception &e) {
                target.fill_white(cell);
                if (r.on_failure)
                    r.on_failure(TileFailure{e.what(), column, row});
            }
        }
    }
}

}  // namespace tqfio::core
