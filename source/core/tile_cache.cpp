#include "tile_cache.h"

namespace tqfio::core {

std::shared_ptr<const DecodedTile> TileCache::find(const TileKey &key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_index.find(key);
    if (found == m_index.end())
        return nullptr;
    m_order.splice(m_order.begin(), m_order, found->second);
    return found->second->second;
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
    evict_to(m_capacity - bytes);
    m_order.emplace_front(key, std::move(tile));
    m_index.emplace(key, m_order.begin());
    m_bytes += bytes;
}

void TileCache::evict_to(size_t budget) {
    while (m_bytes > budget && !m_order.empty()) {
        m_bytes -= cost(*m_order.back().second);
        m_index.erase(m_order.back().first);
        m_order.pop_back();
    }
}

void TileCache::set_capacity(size_t capacity_bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_capacity = capacity_bytes;
    evict_to(m_capacity);
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
    evict_to(0);
}

}  // namespace tqfio::core
