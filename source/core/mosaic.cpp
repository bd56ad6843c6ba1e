// The mosaic never makes the canvas of whole tiles it is defined by: tiles
// are decoded straight into the destination where they lie inside it, and
// only the parts of the canvas that the rectangle covers are ever written.
#include "mosaic.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "image_decoding.h"
#include "jpeg_stream.h"

namespace tqfio::core {

namespace {

// A half-open rectangle in pixels of the level.
struct Box {
    int64_t x0, y0, x1, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
    Box operator&(const Box &o) const {
        return Box{std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
    }
    bool operator==(const Box &o) const { return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1; }
};

// Writes tile pixels and white into the destination, which shows the box
// `area` of the level.
class Destination {
public:
    Destination(cv::Mat &image, const Box &area, PixelOrder order)
        : m_image(image), m_area(area), m_order(order) {}

    const Box &area() const { return m_area; }

    void fill_white(const Box &box) {
        const Box part = box & m_area;
        if (!part.empty())
            view(part).setTo(opaque_white());
    }

    // Copies the part of `tile` (pixels in `order`), placed with its top-left
    // pixel at (x, y), that lies inside both `clip` and the destination.
    void paste(const cv::Mat &tile, PixelOrder order, int64_t x, int64_t y, const Box &clip) {
        const Box part = Box{x, y, x + tile.cols, y + tile.rows} & clip & m_area;
        if (part.empty())
            return;
        const cv::Rect from(static_cast<int>(part.x0 - x), static_cast<int>(part.y0 - y),
                            static_cast<int>(part.x1 - part.x0), static_cast<int>(part.y1 - part.y0));
        cv::Mat to = view(part);
        convert_pixels(tile(from), order, to, m_order);
    }

    // Where a tile of width x height whose top-left pixel is (x, y) can be
    // decoded in place; null when it does not lie wholly inside.
    unsigned char *place_for(int64_t x, int64_t y, int width, int height) {
        const Box box{x, y, x + width, y + height};
        if (!((box & m_area) == box))
            return nullptr;
        return m_image.ptr<unsigned char>(static_cast<int>(y - m_area.y0)) +
               bytes_per_pixel(m_order) * (x - m_area.x0);
    }

    size_t pitch() const { return m_image.step; }

private:
    cv::Mat view(const Box &part) {
        return m_image(cv::Rect(static_cast<int>(part.x0 - m_area.x0), static_cast<int>(part.y0 - m_area.y0),
                                static_cast<int>(part.x1 - part.x0), static_cast<int>(part.y1 - part.y0)));
    }

    cv::Mat &m_image;
    Box m_area;
    PixelOrder m_order;
};

// Selects the canvas rectangle a tile would be pasted into, only for the
// image library to check it; raises the same cv::Exception a real canvas
// would when the tile reaches past the canvas's right or bottom edge.
void check_fits_canvas(int64_t canvas_cols, int64_t canvas_rows, int64_t cell_x, int64_t cell_y,
                       int tile_cols, int tile_rows) {
    const auto clamp_int = [](int64_t v) { return static_cast<int>(std::min<int64_t>(v, INT_MAX)); };
    static unsigned char placeholder;
    cv::Mat canvas_header(clamp_int(canvas_rows), clamp_int(canvas_cols), CV_8UC3, &placeholder);
    canvas_header(cv::Rect(clamp_int(cell_x), clamp_int(cell_y), tile_cols, tile_rows));
}

struct TileGrid {
    int first_column, first_row, end_column, end_row;
};

TileGrid grid_of(const MosaicRequest &r) {
    const int bs = r.tile_edge;
    return TileGrid{r.x / bs, r.y / bs, static_cast<int>((static_cast<int64_t>(r.x) + r.width + bs - 1) / bs),
                    static_cast<int>((static_cast<int64_t>(r.y) + r.height + bs - 1) / bs)};
}

// The original reader's assembly (see MosaicRequest::canvas_rules).
void assemble_on_canvas(const MosaicRequest &r, Destination &target, TileScratch &scratch) {
    const int bs = r.tile_edge;
    const TileGrid grid = grid_of(r);
    const int64_t canvas_x0 = static_cast<int64_t>(bs) * grid.first_column;
    const int64_t canvas_y0 = static_cast<int64_t>(bs) * grid.first_row;
    const int64_t canvas_cols = static_cast<int64_t>(bs) * (grid.end_column - grid.first_column);
    const int64_t canvas_rows = static_cast<int64_t>(bs) * (grid.end_row - grid.first_row);
    const Box everything{INT64_MIN, INT64_MIN, INT64_MAX, INT64_MAX};

    // Until a tile larger than its cell is pasted, each cell is written
    // whole: its tile and white around it. After one, the rest of the
    // destination is whitened at once and later tiles only paint their own
    // pixels, so that what the large tile reached into survives.
    bool prefilled = false;
    auto whiten_from_cell = [&](int64_t sx, int64_t sy) {
        target.fill_white(Box{sx, sy, target.area().x1, sy + bs});
        target.fill_white(Box{target.area().x0, sy + bs, target.area().x1, target.area().y1});
    };

    std::vector<unsigned char> &stream = scratch.stream;
    for (int row = grid.first_row; row < grid.end_row; ++row) {
        // Zeros at the start of each row: a stream that does not end by its
        // own structure is decoded together with what follows it.
        std::fill(stream.begin(), stream.end(), 0);
        for (int column = grid.first_column; column < grid.end_column; ++column) {
            const int sx = bs * column;
            const int sy = bs * row;
            const uint32_t length = r.source->fetch(r.address, sx, sy, stream.data());

            const Box cell{sx, sy, static_cast<int64_t>(sx) + bs, static_cast<int64_t>(sy) + bs};
            if (length == 0) {
                if (!prefilled)
                    target.fill_white(cell);
                continue;
            }
            // Whether a tile of width x height pasted at this cell lies inside the canvas.
            auto fits_canvas = [&](int64_t width, int64_t height) {
                return sx - canvas_x0 + width <= canvas_cols && sy - canvas_y0 + height <= canvas_rows;
            };
            // A tile larger than its cell: whiten the rest of the destination
            // at once (see above), and raise as a paste past the canvas would.
            auto take_large_tile = [&](int width, int height) {
                if (!prefilled) {
                    whiten_from_cell(sx, sy);
                    prefilled = true;
                }
                check_fits_canvas(canvas_cols, canvas_rows, sx - canvas_x0, sy - canvas_y0, width, height);
            };
            // White for the part of the cell a tile of width x height leaves.
            auto whiten_around = [&](int width, int height) {
                if (prefilled)
                    return;
                target.fill_white(Box{sx + static_cast<int64_t>(width), sy, cell.x1, sy + static_cast<int64_t>(height)});
                target.fill_white(Box{sx, sy + static_cast<int64_t>(height), cell.x1, cell.y1});
            };
            try {
                int tile_w = 0, tile_h = 0;
                if (scratch.jpeg.probe(stream.data(), stream.size(), &tile_w, &tile_h)) {
                    unsigned char *place = prefilled ? nullptr : target.place_for(sx, sy, tile_w, tile_h);
                    if (place) {
                        if (scratch.jpeg.decode(stream.data(), stream.size(), place, tile_w, tile_h,
                                                target.pitch())) {
                            whiten_around(tile_w, tile_h);
                            continue;
                        }
                    } else {
                        scratch.tile.create(tile_h, tile_w, CV_8UC3);
                        if (scratch.jpeg.decode(stream.data(), stream.size(), scratch.tile.data, tile_w, tile_h,
                                                scratch.tile.step)) {
                            target.paste(scratch.tile, PixelOrder::bgr, sx, sy, everything);
                            whiten_around(tile_w, tile_h);
                            continue;
                        }
                    }
                }
                // A tile larger than its cell that cannot lie inside the canvas
                // (in either orientation, as the stream's own may turn it) is
                // refused below once decoded. A damaged header can state up to
                // 65535 x 65535 pixels, which take gigabytes and seconds to
                // decode: refuse such a tile as the paste would, undecoded.
                int stated_w = 0, stated_h = 0;
                if (scratch.jpeg.stated_size(stream.data(), stream.size(), &stated_w, &stated_h) &&
                    (stated_w > bs || stated_h > bs) && !fits_canvas(stated_w, stated_h) &&
                    !fits_canvas(stated_h, stated_w))
                    take_large_tile(stated_w, stated_h);
                scratch.tile = decode_slide_image(stream.data(), stream.size());
                if (scratch.tile.empty()) {
                    if (!prefilled)
                        target.fill_white(cell);
                    continue;
                }
                if (scratch.tile.cols > bs || scratch.tile.rows > bs)
                    take_large_tile(scratch.tile.cols, scratch.tile.rows);
                target.paste(scratch.tile, PixelOrder::bgr, sx, sy, everything);
                whiten_around(scratch.tile.cols, scratch.tile.rows);
            } catch (const cv::Exception &e) {
                if (!prefilled)
                    target.fill_white(cell);
                if (r.on_failure)
                    r.on_failure(TileFailure{e.what(), column, row});
            }
        }
    }
}

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
        if (scratch.jpeg.decode(stream, length, tile->rgb.data(), w, h, static_cast<size_t>(w) * 3,
                                PixelOrder::rgb))
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

// White for the part of `cell` that a tile of width x height placed at its
// top-left corner leaves uncovered.
void whiten_around(Destination &target, const Box &cell, int64_t width, int64_t height) {
    width = std::min(width, cell.x1 - cell.x0);
    height = std::min(height, cell.y1 - cell.y0);
    target.fill_white(Box{cell.x0 + width, cell.y0, cell.x1, cell.y0 + height});
    target.fill_white(Box{cell.x0, cell.y0 + height, cell.x1, cell.y1});
}

// Each tile cut to its cell (see MosaicRequest::canvas_rules). A tile
// wholly inside the rectangle is decoded straight into the destination and
// not kept: the read wanted all of it. A tile partly inside is decoded whole
// and kept in the cache while the cache finds that such tiles are read again
// (Deep Zoom tiles, overlapping patches, panning); otherwise, and without a
// cache, only its part inside the rectangle is decoded, straight into place.
void assemble_in_cells(const MosaicRequest &r, Destination &target, TileScratch &scratch) {
    const int bs = r.tile_edge;
    const TileGrid grid = grid_of(r);
    unsigned char *stream = scratch.stream.data();
    for (int row = grid.first_row; row < grid.end_row; ++row) {
        for (int column = grid.first_column; column < grid.end_column; ++column) {
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
                size_t length = std::min<size_t>(r.source->fetch(r.address, sx, sy, stream), kTileStreamCapacity);
                if (length == 0) {
                    target.fill_white(cell);
                    continue;
                }
                int w = 0, h = 0;
                bool plain = scratch.jpeg.probe(stream, length, &w, &h);
                const unsigned char *data = stream;
                if (plain && r.level_width > 0 && r.level_height > 0) {
                    const int keep_w = static_cast<int>(std::min<int64_t>(bs, r.level_width - sx));
                    const int keep_h = static_cast<int>(std::min<int64_t>(bs, r.level_height - sy));
                    if ((w > keep_w || h > keep_h) && keep_w > 0 && keep_h > 0 &&
                        crop_jpeg_stream(stream, length, std::min(w, keep_w), std::min(h, keep_h), scratch.cut) &&
                        scratch.jpeg.probe(scratch.cut.data(), scratch.cut.size(), &w, &h)) {
                        data = scratch.cut.data();
                        length = scratch.cut.size();
                    }
                }
                plain = plain && w <= bs && h <= bs;
                unsigned char *place = plain ? target.place_for(sx, sy, w, h) : nullptr;
                if (place && scratch.jpeg.decode(data, length, place, w, h, target.pitch(), r.order)) {
                    whiten_around(target, cell, w, h);
                    continue;
                }
                // A stream of unknown size: covered when its whole cell is.
                const bool covered = place != nullptr || (!plain && target.place_for(sx, sy, bs, bs) != nullptr);
                // Partly covered and not to be kept: decode only its part.
                if (plain && !covered && (!r.cache || !r.cache->admits_partly_covered())) {
                    const Box part = Box{sx, sy, sx + static_cast<int64_t>(w), sy + static_cast<int64_t>(h)} &
                                     target.area();
                    unsigned char *at = part.empty() ? nullptr
                                                     : target.place_for(part.x0, part.y0, static_cast<int>(part.x1 - part.x0),
                                                                        static_cast<int>(part.y1 - part.y0));
                    if (part.empty() ||
                        (at && scratch.jpeg.decode_window(data, length, static_cast<int>(part.x0 - sx),
                                                          static_cast<int>(part.y0 - sy), static_cast<int>(part.x1 - sx),
                                                          static_cast<int>(part.y1 - sy), at, target.pitch(), r.order))) {
                        whiten_around(target, cell, w, h);
                        continue;
                    }
                }
                if (r.cache && !covered) {
                    std::shared_ptr<DecodedTile> decoded = decode_for_cache(data, length, scratch);
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
                    if (scratch.jpeg.decode(data, length, scratch.tile.data, w, h, scratch.tile.step, r.order)) {
                        target.paste(scratch.tile, r.order, sx, sy, cell);
                        whiten_around(target, cell, w, h);
                        continue;
                    }
                }
                scratch.tile = decode_slide_image(data, length);
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

}  // namespace

cv::Scalar opaque_white() { return cv::Scalar::all(255); }

void convert_pixels(const cv::Mat &src, PixelOrder from, cv::Mat &dst, PixelOrder to) {
    if (from == to) {
        src.copyTo(dst);
        return;
    }
    int code = -1;
    if (from == PixelOrder::rgb)
        code = to == PixelOrder::bgr ? cv::COLOR_RGB2BGR : cv::COLOR_RGB2RGBA;
    else if (from == PixelOrder::bgr)
        code = to == PixelOrder::rgb ? cv::COLOR_BGR2RGB : cv::COLOR_BGR2RGBA;
    else
        code = to == PixelOrder::rgb ? cv::COLOR_RGBA2RGB : cv::COLOR_RGBA2BGR;
    cv::cvtColor(src, dst, code);
}

void assemble_mosaic(const MosaicRequest &request, cv::Mat &dst, TileScratch &scratch) {
    if (request.width <= 0 || request.height <= 0)
        return;
    Destination target(dst, Box{request.x, request.y, static_cast<int64_t>(request.x) + request.width,
                                static_cast<int64_t>(request.y) + request.height},
                       request.order);
    if (request.canvas_rules)
        assemble_on_canvas(request, target, scratch);
    else
        assemble_in_cells(request, target, scratch);
}

}  // namespace tqfio::core
