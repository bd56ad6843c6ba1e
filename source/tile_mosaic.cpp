// Tile mosaic: the pixels of a tile-level rectangle, assembled from the
// slide's 256-pixel tiles.
//
// The result is what a white canvas covering every touched tile, with each
// decoded tile pasted at its cell and the rectangle cropped out, would hold.
// The canvas itself is never made: tiles are decoded straight into the
// destination where they lie inside it, and only the parts of the canvas
// that the rectangle covers are ever written.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "fast_jpeg_decoder.h"
#include "tqf_reader.h"

namespace tqfio {

namespace {

// A half-open rectangle in tile-level pixels.
struct Box {
    int64_t x0, y0, x1, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
    Box operator&(const Box &o) const {
        return Box{std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
    }
};

// Writes tile pixels and white into the destination, which shows the
// tile-level box `area`.
class Destination {
public:
    Destination(cv::Mat &image, const Box &area) : m_image(image), m_area(area) {}

    const Box &area() const { return m_area; }

    void fill_white(const Box &box) {
        const Box part = box & m_area;
        if (!part.empty())
            view(part).setTo(cv::Scalar::all(255));
    }

    // Copies the part of `tile`, placed with its top-left pixel at (x, y),
    // that lies inside the destination.
    void paste(const cv::Mat &tile, int64_t x, int64_t y) {
        const Box part = Box{x, y, x + tile.cols, y + tile.rows} & m_area;
        if (part.empty())
            return;
        const cv::Rect from(static_cast<int>(part.x0 - x), static_cast<int>(part.y0 - y),
                            static_cast<int>(part.x1 - part.x0), static_cast<int>(part.y1 - part.y0));
        tile(from).copyTo(view(part));
    }

    // Where a tile of width x height whose top-left pixel is (x, y) can be
    // decoded in place; null when it does not lie wholly inside.
    unsigned char *place_for(int64_t x, int64_t y, int width, int height) {
        const Box box{x, y, x + width, y + height};
        const Box part = box & m_area;
        if (part.x0 != box.x0 || part.y0 != box.y0 || part.x1 != box.x1 || part.y1 != box.y1)
            return nullptr;
        return m_image.ptr<unsigned char>(static_cast<int>(y - m_area.y0)) + 3 * (x - m_area.x0);
    }

    size_t pitch() const { return m_image.step; }

private:
    cv::Mat view(const Box &part) {
        return m_image(cv::Rect(static_cast<int>(part.x0 - m_area.x0), static_cast<int>(part.y0 - m_area.y0),
                                static_cast<int>(part.x1 - part.x0), static_cast<int>(part.y1 - part.y0)));
    }

    cv::Mat &m_image;
    Box m_area;
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

}  // namespace

void reader::ReadRoi_knl(int x, int y, int w, int h, cv::OutputArray dst) {
    if (w == 0 || h == 0)
        return;
    if (x < 0 || y < 0 || w < 0 || h < 0 || static_cast<int64_t>(x) + w > INT_MAX ||
        static_cast<int64_t>(y) + h > INT_MAX) {
        std::cerr << "ReadRoi_knl: tile-level rectangle (" << x << ", " << y << ", " << w << ", " << h
                  << ") lies outside the tile grid; nothing read." << std::endl;
        return;
    }
    const int bs = m_blockSize;
    const int blockEndXnum = static_cast<int>((static_cast<int64_t>(x) + w + bs - 1) / bs);
    const int blockEndYnum = static_cast<int>((static_cast<int64_t>(y) + h + bs - 1) / bs);
    const int blockStartXnum = x / bs;
    const int blockStartYnum = y / bs;

    dst.create(h, w, CV_8UC3);
    cv::Mat out = dst.getMat();
    if (!m_pTqfHead) {
        // No end of line, but flushed, so the message is out before any
        // later one on the unbuffered error stream.
        std::cout << "Empty tqf pointer" << std::flush;
        out.setTo(cv::Scalar::all(255));
        return;
    }

    Destination target(out, Box{x, y, static_cast<int64_t>(x) + w, static_cast<int64_t>(y) + h});
    const int64_t canvas_x0 = static_cast<int64_t>(bs) * blockStartXnum;
    const int64_t canvas_y0 = static_cast<int64_t>(bs) * blockStartYnum;
    const int64_t canvas_cols = static_cast<int64_t>(bs) * (blockEndXnum - blockStartXnum);
    const int64_t canvas_rows = static_cast<int64_t>(bs) * (blockEndYnum - blockStartYnum);

    // Until a tile larger than its cell is pasted, each cell is written
    // whole: its tile and white around it. After one, the rest of the
    // destination is whitened at once and later tiles only paint their own
    // pixels, so that what the large tile reached into survives.
    bool prefilled = false;
    auto whiten_from_cell = [&](int64_t sx, int64_t sy) {
        target.fill_white(Box{sx, sy, target.area().x1, sy + bs});
        target.fill_white(Box{target.area().x0, sy + bs, target.area().x1, target.area().y1});
    };

    const UINT32 fetch_scale = m_scale > 0 ? static_cast<UINT32>(static_cast<float>(m_scale)) : 0;
    auto fetch = m_readall ? yelk_get_datablock_stream : yelk_get_datablock_stream_single;
    // The stream buffer and the decoded tile outlive the call, so that a
    // read costs no allocation (and no page faults) per tile row.
    thread_local std::vector<unsigned char> vecTmp(YELK_TILE_STREAM_CAPACITY);
    thread_local cv::Mat tmp;
    thread_local FastJpegDecoder fast_decoder;

    for (int y_num = blockStartYnum; y_num < blockEndYnum; ++y_num) {
        // Zeros at the start of each row: a stream that does not end by its
        // own structure is decoded together with what follows it.
        std::fill(vecTmp.begin(), vecTmp.end(), 0);
        for (int x_num = blockStartXnum; x_num < blockEndXnum; ++x_num) {
            UINT32 buffe_size = 0;
            const int sx = bs * x_num;
            const int sy = bs * y_num;
            char *pdata = reinterpret_cast<char *>(vecTmp.data());
            fetch(m_pTqfHead, fetch_scale, sx, sy, pdata, &buffe_size);

            const Box cell{sx, sy, static_cast<int64_t>(sx) + bs, static_cast<int64_t>(sy) + bs};
            if (buffe_size == 0) {
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
                if (fast_decoder.probe(vecTmp.data(), vecTmp.size(), &tile_w, &tile_h)) {
                    unsigned char *place = prefilled ? nullptr : target.place_for(sx, sy, tile_w, tile_h);
                    if (place) {
                        if (fast_decoder.decode(vecTmp.data(), vecTmp.size(), place, tile_w, tile_h,
                                                target.pitch())) {
                            whiten_around(tile_w, tile_h);
                            continue;
                        }
                    } else {
                        tmp.create(tile_h, tile_w, CV_8UC3);
                        if (fast_decoder.decode(vecTmp.data(), vecTmp.size(), tmp.data, tile_w, tile_h,
                                                tmp.step)) {
                            target.paste(tmp, sx, sy);
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
                if (fast_decoder.stated_size(vecTmp.data(), vecTmp.size(), &stated_w, &stated_h) &&
                    (stated_w > bs || stated_h > bs) && !fits_canvas(stated_w, stated_h) &&
                    !fits_canvas(stated_h, stated_w))
                    take_large_tile(stated_w, stated_h);
                tmp = cv::imdecode(cv::Mat(1, static_cast<int>(vecTmp.size()), CV_8UC1, vecTmp.data()),
                                   cv::IMREAD_COLOR);
                if (tmp.empty()) {
                    if (!prefilled)
                        target.fill_white(cell);
                    continue;
                }
                if (tmp.cols > bs || tmp.rows > bs)
                    take_large_tile(tmp.cols, tmp.rows);
                target.paste(tmp, sx, sy);
                whiten_around(tmp.cols, tmp.rows);
            } catch (const cv::Exception &e) {
                if (!prefilled)
                    target.fill_white(cell);
                std::cerr << e.what() << "  " << m_tqfPath << std::setw(8) << x << std::setw(8) << y
                          << std::endl;
                std::cerr << x_num << std::setw(8) << y_num << std::endl;
            }
        }
    }
}

}  // namespace tqfio
