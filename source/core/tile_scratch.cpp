#include "tile_scratch.h"

#include "slide_limits.h"
#include "thread_pool.h"

namespace tqfio::core {

TileScratch::TileScratch() : stream(kTileStreamCapacity, 0) {}

TileScratch::~TileScratch() = default;

std::unique_ptr<TileScratch> ScratchPool::take() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_free.empty()) {
            auto scratch = std::move(m_free.back());
            m_free.pop_back();
            return scratch;
        }
    }
    return std::make_unique<TileScratch>();
}

void ScratchPool::give_back(std::unique_ptr<TileScratch> scratch) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_free.size() < 2 * processor_count() + 2)
        m_free.push_back(std::move(scratch));
}

ScratchPool &shared_scratch_pool() {
    static auto *pool = new ScratchPool;  // never destroyed: slides may outlive static destruction
    return *pool;
}

}  // namespace tqfio::core
