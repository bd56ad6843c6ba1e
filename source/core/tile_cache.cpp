#include "tile_cache.h"

namespace tqfio::core {

std::shared_ptr<const DecodedTile> TileCache::find(const TileKey &key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_index.find(key);
    if (found == m_index.end())
        return nullptr;
    m_order.splice(m_order.begin(), m_order, found->second);
    found->second->read_again = true;
    return found->second->tile;
}

bool TileCache::admits_partly_covered() {
    return m_reuse.load(std::memory_order_relaxed) >= 0.25f ||
           m_probes.fetch_add(1, std::memory_order_relaxed) % 16 == 0;
}

void TileCache::insert(const TileKey &key, std::shared_ptr<const DecodedTile> tile) {
    const size_t bytes = cost(*tile);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (bytes > m_capacity)
        return;
    const auto found = m_index.find(key);
    if (found != m_index.end()) {
        // Another thread decoded it meanwhile: keep one.
        m_order.splice(m_order.begin(), m_order, found->second);
        return;
    }
    evict_to(m_capacity - bytes, true);
    m_order.push_front(Entry{key, std::move(tile)});
    m_index.emplace(key, m_order.begin());
    m_bytes += bytes;
}

void TileCache::evict_to(size_t budget, bool learn) {
    while (m_bytes > budget && !m_order.empty()) {
        const Entry &last = m_order.back();
        if (learn) {
            const float reuse = m_reuse.load(std::memory_order_relaxed);
            m_reuse.store(0.98f * reuse + (last.read_again ? 0.02f : 0.0f), std::memory_order_relaxed);
        }
        m_bytes -= cost(*last.tile);
        m_index.erase(last.key);
        m_order.pop_back();
    }
}

void TileCache::set_capacity(size_t capacity_bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_capacity = capacity_bytes;
    evict_to(m_capacity, false);
}

size_t TileCache::capacity() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_capacity;
}

size_t TileCache::size_bytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

void TileCache::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    evict_to(0, false);
}

}  // namespace tqfio::core
