// Decoded tiles of one slide, kept within a byte budget and shared by every
// thread that reads the slide. Least recently used tiles go first.
#ifndef TQF_CORE_TILE_CACHE_H
#define TQF_CORE_TILE_CACHE_H

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core_api.h"

namespace tqfio::core {

// A tile as decoded: red, green, blue, rows of width x 3 bytes.
struct DecodedTile {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

struct TileKey {
    uint32_t address;
    int32_t column;
    int32_t row;
    bool operator==(const TileKey &o) const { return address == o.address && column == o.column && row == o.row; }
};

class TQFIO_CORE_API TileCache {
public:
    explicit TileCache(size_t capacity_bytes) : m_capacity(capacity_bytes) {}
    TileCache(const TileCache &) = delete;
    TileCache &operator=(const TileCache &) = delete;

    std::shared_ptr<const DecodedTile> find(const TileKey &key);
    // Keeps `tile` unless it alone exceeds the budget; evicts as needed.
    void insert(const TileKey &key, std::shared_ptr<const DecodedTile> tile);

    // Whether a tile a read covers only in part is worth decoding whole and
    // keeping: yes while the tiles kept lately were read again before they
    // left; when they mostly were not (reads at random places), no, but for
    // one tile in sixteen, so that a change of pattern is seen.
    bool admits_partly_covered();

    // A budget of 0 turns the cache off (and empties it).
    void set_capacity(size_t capacity_bytes);
    size_t capacity() const;
    size_t size_bytes() const;  // what the kept tiles take
    void clear();

    // What a tile costs against the budget.
    static size_t cost(const DecodedTile &tile) { return tile.rgb.size() + sizeof(DecodedTile); }

private:
    struct KeyHash {
        size_t operator()(const TileKey &k) const {
            return (static_cast<size_t>(k.address) * 0x9E3779B97F4A7C15ull) ^
                   (static_cast<size_t>(static_cast<uint32_t>(k.column)) << 32) ^ static_cast<uint32_t>(k.row);
        }
    };
    struct Entry {
        TileKey key;
        std::shared_ptr<const DecodedTile> tile;
        bool read_again = false;
    };

    // With m_mutex held; `learn`: evictions for room, which tell whether
    // kept tiles are read again, rather than for a smaller budget.
    void evict_to(size_t budget, bool learn);

    mutable std::mutex m_mutex;
    size_t m_capacity;
    size_t m_bytes = 0;
    // Share of the tiles evicted lately that were read again after they
    // were kept, as a moving average (1: assume so until seen otherwise).
    std::atomic<float> m_reuse{1.0f};
    std::atomic<unsigned> m_probes{0};
    std::list<Entry> m_order;  // most recently used first
    std::unordered_map<TileKey, std::list<Entry>::iterator, KeyHash> m_index;
};

}  // namespace tqfio::core

#endif  // TQF_CORE_TILE_CACHE_H
