#include "deep_zoom.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "codec/jpeg_encoder.h"

namespace tqfio::core {

namespace {

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

// One encoder and pixel buffer per thread, kept for the thread's life:
// starting an encoder costs more than encoding a small tile.
struct Compressor {
    tqf::codec::JpegEncoder encoder;
    std::vector<unsigned char> rgb;
};

}  // namespace

DeepZoomLayout::DeepZoomLayout(int64_t width, int64_t height, int tile_size, int overlap)
    : m_tile_size(tile_size), m_overlap(overlap) {
    if (width < 1 || height < 1)
        throw std::invalid_argument("a Deep Zoom image needs at least 1 x 1 pixels, not " + std::to_string(width) +
                                    " x " + std::to_string(height));
    if (tile_size < 1)
        throw std::invalid_argument("the Deep Zoom tile size must be positive, not " + std::to_string(tile_size));
    if (overlap < 0)
        throw std::invalid_argument("the Deep Zoom overlap must not be negative, not " + std::to_string(overlap));
    // Halving with rounding up, as openslide.deepzoom does, until 1 x 1.
    std::vector<std::pair<int64_t, int64_t>> sizes{{width, height}};
    while (sizes.back().first > 1 || sizes.back().second > 1) {
        const auto [w, h] = sizes.back();
        sizes.emplace_back(std::max<int64_t>(1, ceil_div(w, 2)), std::max<int64_t>(1, ceil_div(h, 2)));
    }
    const size_t count = sizes.size();
    for (size_t i = 0; i < count; ++i) {
        const auto [w, h] = sizes[count - 1 - i];
        m_levels.push_back(DeepZoomLevel{w, h, ceil_div(w, tile_size), ceil_div(h, tile_size),
                                         static_cast<double>(int64_t(1) << (count - 1 - i))});
    }
}

bool DeepZoomLayout::tile(int level, int64_t column, int64_t row, DeepZoomTile *tile) const {
    if (level < 0 || static_cast<size_t>(level) >= m_levels.size())
        return false;
    const DeepZoomLevel &l = m_levels[static_cast<size_t>(level)];
    if (column < 0 || column >= l.columns || row < 0 || row >= l.rows)
        return false;
    const auto span = [&](int64_t t, int64_t count, int64_t extent, int64_t *start, int *size) {
        const int64_t before = t != 0 ? m_overlap : 0;
        const int64_t after = t != count - 1 ? m_overlap : 0;
        *start = t * m_tile_size - before;
        *size = static_cast<int>(std::min<int64_t>(m_tile_size, extent - t * m_tile_size) + before + after);
    };
    int64_t zx = 0, zy = 0;
    span(column, l.columns, l.width, &zx, &tile->width);
    span(row, l.rows, l.height, &zy, &tile->height);
    tile->downsample = l.downsample;
    tile->x = static_cast<int64_t>(static_cast<double>(zx) * l.downsample);
    tile->y = static_cast<int64_t>(static_cast<double>(zy) * l.downsample);
    return true;
}

void read_deep_zoom_tile(const slide &source, const DeepZoomTile &tile, unsigned char *dst, size_t stride) {
    source.read_region_at(tile.x, tile.y, tile.downsample, tile.width, tile.height, dst, stride, pixel_format::rgb);
}

size_t encode_deep_zoom_tile(const slide &source, const DeepZoomTile &tile, int quality,
                             std::vector<unsigned char> &jpeg) {
    if (quality < 1 || quality > 100)
        throw slide_error(slide_error::kind::invalid_argument,
                          "JPEG quality must be 1 to 100, not " + std::to_string(quality));
    thread_local Compressor compressor;
    const size_t stride = static_cast<size_t>(tile.width) * 3;
    // Grown only: a resize back up after a smaller tile would clear the buffers.
    const size_t pixels = stride * static_cast<size_t>(tile.height);
    if (compressor.rgb.size() < pixels)
        compressor.rgb.resize(pixels);
    read_deep_zoom_tile(source, tile, compressor.rgb.data(), stride);
    const tqf::codec::PixelView view{compressor.rgb.data(), tile.width, tile.height, stride,
                                     tqf::codec::PixelOrder::rgb};
    const size_t size = compressor.encoder.encode(view, quality, tqf::codec::ChromaSubsampling::s420, jpeg);
    if (size == 0)
        throw std::runtime_error("cannot encode a Deep Zoom tile: " + compressor.encoder.error());
    return size;
}

}  // namespace tqfio::core
