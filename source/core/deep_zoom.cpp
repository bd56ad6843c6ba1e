#include "deep_zoom.h"

#include <algorithm>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "codec/jpeg_encoder.h"

#include "jpeg_stream.h"
#include "slide_limits.h"

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

struct DeepZoomTiles::Cache {
    struct Key {
        int level;
        int64_t column, row;
        bool operator==(const Key &o) const { return level == o.level && column == o.column && row == o.row; }
    };
    struct KeyHash {
        size_t operator()(const Key &k) const {
            return (static_cast<size_t>(k.column) * 0x9E3779B97F4A7C15ull) ^ (static_cast<size_t>(k.row) << 20) ^
                   static_cast<size_t>(k.level);
        }
    };
    struct Entry {
        Key key;
        std::shared_ptr<const std::vector<unsigned char>> bytes;
        Origin origin;
    };
    static size_t cost(const Entry &e) { return e.bytes->size() + sizeof(Entry) + 64; }

    explicit Cache(size_t capacity) : capacity(capacity) {}

    bool find(const Key &key, Tile *out) {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = index.find(key);
        if (found == index.end())
            return false;
        order.splice(order.begin(), order, found->second);
        const Entry &e = *found->second;
        *out = Tile{e.bytes->data(), e.bytes->size(), e.origin, e.bytes};
        return true;
    }

    void insert(const Key &key, std::shared_ptr<const std::vector<unsigned char>> bytes, Origin origin) {
        Entry entry{key, std::move(bytes), origin};
        const size_t size = cost(entry);
        std::lock_guard<std::mutex> lock(mutex);
        if (size > capacity || index.count(key))
            return;
        while (used + size > capacity && !order.empty()) {
            used -= cost(order.back());
            index.erase(order.back().key);
            order.pop_back();
        }
        order.push_front(std::move(entry));
        index.emplace(key, order.begin());
        used += size;
    }

    std::mutex mutex;
    const size_t capacity;
    size_t used = 0;
    std::list<Entry> order;  // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index;
};

DeepZoomTiles::DeepZoomTiles(const slide &source, int tile_size, int overlap, int quality, size_t cache_bytes)
    : m_layout(source.width(), source.height(), tile_size, overlap), m_quality(quality),
      m_cache(std::make_unique<Cache>(cache_bytes)) {
    if (quality < 1 || quality > 100)
        throw slide_error(slide_error::kind::invalid_argument,
                          "JPEG quality must be 1 to 100, not " + std::to_string(quality));
    const std::vector<level_info> &stored = source.levels();
    for (const DeepZoomLevel &level : m_layout.levels()) {
        int match = -1;
        for (size_t i = 0; i < stored.size() && tile_size == kTileEdge && overlap == 0; ++i) {
            const level_info &s = stored[i];
            if (s.tile_width == kTileEdge && s.tile_height == kTileEdge && s.width == level.width &&
                s.height == level.height && s.downsample == level.downsample) {
                match = static_cast<int>(i);
                break;
            }
        }
        m_stored.push_back(match);
    }
}

DeepZoomTiles::~DeepZoomTiles() = default;

int DeepZoomTiles::stored_level(int level) const {
    return level >= 0 && static_cast<size_t>(level) < m_stored.size() ? m_stored[static_cast<size_t>(level)] : -1;
}

size_t DeepZoomTiles::cache_used_bytes() const {
    std::lock_guard<std::mutex> lock(m_cache->mutex);
    return m_cache->used;
}

bool DeepZoomTiles::tile(const slide &source, int level, int64_t column, int64_t row,
                         std::vector<unsigned char> &buffer, Tile *out) const {
    DeepZoomTile place;
    if (!m_layout.tile(level, column, row, &place))
        return false;
    const Cache::Key key{level, column, row};
    if (m_cache->find(key, out))
        return true;
    const int stored = stored_level(level);
    if (stored >= 0) {
        if (buffer.size() < slide::tile_stream_capacity)
            buffer.resize(slide::tile_stream_capacity);
        const size_t length = source.read_tile_stream(stored, column, row, buffer.data());
        JpegStreamInfo info;
        if (length > 0 && inspect_jpeg_stream(buffer.data(), length, &info)) {
            if (info.width == place.width && info.height == place.height) {
                *out = Tile{buffer.data(), info.length, Origin::stored, nullptr};
                return true;
            }
            auto cropped = std::make_shared<std::vector<unsigned char>>();
            if (info.width >= place.width && info.height >= place.height &&
                crop_jpeg_stream(buffer.data(), info.length, place.width, place.height, *cropped)) {
                m_cache->insert(key, cropped, Origin::cropped);
                *out = Tile{cropped->data(), cropped->size(), Origin::cropped, cropped};
                return true;
            }
        }
    }
    thread_local std::vector<unsigned char> jpeg;
    const size_t size = encode_deep_zoom_tile(source, place, m_quality, jpeg);
    auto made = std::make_shared<const std::vector<unsigned char>>(jpeg.begin(), jpeg.begin() + size);
    m_cache->insert(key, made, Origin::made);
    *out = Tile{made->data(), made->size(), Origin::made, made};
    return true;
}

}  // namespace tqfio::core
