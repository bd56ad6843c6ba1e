// What one thread needs to decode tiles, reused from one read to the next so
// that a read allocates nothing per tile, and a pool that hands it from read
// to read whichever thread does it.
#ifndef TQF_CORE_TILE_SCRATCH_H
#define TQF_CORE_TILE_SCRATCH_H

#include <memory>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "codec/fast_jpeg_decoder.h"
#include "core_api.h"

namespace tqfio::core {

struct TQFIO_CORE_API TileScratch {
    TileScratch();
    ~TileScratch();
    std::vector<unsigned char> stream;  // the tile stream buffer, kTileStreamCapacity bytes
    cv::Mat tile;                       // a decoded tile on its way to the destination
    tqf::codec::FastJpegDecoder jpeg;
};

// Scratch kept for later reads: at most a few per processor core.
class TQFIO_CORE_API ScratchPool {
public:
    std::unique_ptr<TileScratch> take();
    void give_back(std::unique_ptr<TileScratch> scratch);

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<TileScratch>> m_free;
};

// The pool every slide and reader of the process takes its scratch from:
// opening a slide then clears and faults in no fresh stream buffer, and
// slides opened one after another share a few scratches.
TQFIO_CORE_API ScratchPool &shared_scratch_pool();

// Scratch taken from a pool for the life of the lease.
class ScratchLease {
public:
    explicit ScratchLease(ScratchPool &pool) : m_pool(pool), m_scratch(pool.take()) {}
    ~ScratchLease() { m_pool.give_back(std::move(m_scratch)); }
    ScratchLease(const ScratchLease &) = delete;
    ScratchLease &operator=(const ScratchLease &) = delete;
    TileScratch &operator*() { return *m_scratch; }

private:
    ScratchPool &m_pool;
    std::unique_ptr<TileScratch> m_scratch;
};

}  // namespace tqfio::core

#endif  // TQF_CORE_TILE_SCRATCH_H
