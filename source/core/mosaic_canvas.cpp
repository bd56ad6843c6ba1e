// The original reader's layout (see mosaic.h): tiles pasted as on a canvas
// of whole cells.
#include <algorithm>
#include <climits>

#include "codec/image_decoding.h"
#include "mosaic.h"
#include "mosaic_destination.h"

namespace tqfio::core {

namespace {

using tqf::codec::decode_slide_image;

// Selects the canvas rectangle a tile would be pasted into, only for the
// image library to check it; raises the same cv::Exception a real canvas
// would when the tile reaches past the canvas's right or bottom edge.
void check_fits_canvas(int64_t canvas_cols, int64_t canvas_rows, int64_t cell_x, int64_t cell_y, int tile_cols,
                       int tile_rows) {
    const auto clamp_int = [](int64_t v) { return static_cast<int>(std::min<int64_t>(v, INT_MAX)); };
    static unsigned char placeholder;
    cv::Mat canvas_header(clamp_int(canvas_rows), clamp_int(canvas_cols), CV_8UC3, &placeholder);
    canvas_header(cv::Rect(clamp_int(cell_x), clamp_int(cell_y), tile_cols, tile_rows));
}

}  // namespace

void assemble_on_canvas(const MosaicRequest &r, cv::Mat &dst, TileScratch &scratch) {
    if (r.width <= 0 || r.height <= 0)
        return;
    Destination target(dst, Destination::area_of(r), PixelOrder::bgr);
    const int bs = r.tile_edge;
    const TileSpan span = tiles_covering(target.area(), bs);
    const Box canvas = span.cells(0, 0, span.columns, span.rows);
    const int64_t canvas_x0 = canvas.x0, canvas_y0 = canvas.y0;
    const int64_t canvas_cols = canvas.width(), canvas_rows = canvas.height();
    const int first_column = static_cast<int>(span.first_column), first_row = static_cast<int>(span.first_row);
    const int end_column = static_cast<int>(span.first_column + span.columns);
    const int end_row = static_cast<int>(span.first_row + span.rows);
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
    for (int row = first_row; row < end_row; ++row) {
        // Zeros at the start of each row: a stream that does not end by its
        // own structure is decoded together with what follows it.
        std::fill(stream.begin(), stream.end(), 0);
        for (int column = first_column; column < end_column; ++column) {
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
                target.fill_white(
                    Box{sx + static_cast<int64_t>(width), sy, cell.x1, sy + static_cast<int64_t>(height)});
                target.fill_white(Box{sx, sy + static_cast<int64_t>(height), cell.x1, cell.y1});
            };
            try {
                int tile_w = 0, tile_h = 0;
                if (scratch.jpeg.probe(stream.data(), stream.size(), &tile_w, &tile_h)) {
                    unsigned char *place = prefilled ? nullptr : target.place_for(sx, sy, tile_w, tile_h);
                    if (place) {
                        if (scratch.jpeg.decode(stream.data(), stream.size(), place, tile_w, tile_h, target.pitch())) {
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

}  // namespace tqfio::core
