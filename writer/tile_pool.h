/*
 * Encoding of tiles on worker threads, handed to a sink in the order they
 * were submitted, so the file a slide is written to does not depend on how
 * many threads encode it or how fast each one is.
 */
#ifndef TQF_TILE_POOL_H
#define TQF_TILE_POOL_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

namespace tqf::writer {

struct TileJob {
    std::shared_ptr<const cv::Mat> strip;  // the tile row the tile is cut from
    cv::Rect area;                         // the tile within the strip
    int level = 0;
    uint64_t block = 0;  // the tile's entry in the slide's index
    // A tile handed over encoded: `stream` goes to the sink as it is, and
    // an empty one marks a tile that is not stored.
    bool encoded = false;
    std::vector<uint8_t> stream;
};

struct TilePoolSettings {
    int quality = 90;
    size_t streamCapacity = 0;  // no stream may be longer
    unsigned threads = 1;
    size_t window = 64;  // tiles submitted but not yet handed to the sink
};

// Receives a job's encoded stream; false stops the pool (the sink has then
// said why through its own channel).
using TileSink = std::function<bool(const TileJob &job, const std::vector<uint8_t> &stream)>;

class TilePool {
public:
    TilePool(const TilePoolSettings &settings, TileSink sink);
    ~TilePool();  // stops the workers, dropping what is not done
    TilePool(const TilePool &) = delete;
    TilePool &operator=(const TilePool &) = delete;

    // Queues a tile, waiting while `window` tiles are in hand. False when the
    // pool has failed (a tile could not be encoded, or the sink refused).
    bool submit(TileJob job);

    // Waits until every submitted tile has reached the sink.
    bool drain();

    // Why the pool failed: a tile's encoding error, or empty when the sink refused.
    std::string error() const;

private:
    struct Entry {
        TileJob job;
        std::vector<uint8_t> stream;
        bool taken = false;
        bool done = false;
    };

    void work();
    void deliver();
    void skipTaken();
    void wakeEveryone();

    const TilePoolSettings m_settings;
    const TileSink m_sink;
    mutable std::mutex m_mutex;
    std::condition_variable m_workToDo;     // an entry awaits a worker
    std::condition_variable m_deliverable;  // the first entry is done
    std::condition_variable m_delivered;    // an entry left: room in the window, or all drained
    std::deque<Entry> m_entries;            // submitted, not yet delivered, in order
    // Index into m_entries of the next job a worker takes: every entry before
    // it is taken (encoded tiles are taken when submitted), and so is none at it.
    size_t m_firstUntaken = 0;
    bool m_failed = false;
    bool m_stop = false;
    std::string m_error;
    std::vector<std::thread> m_workers;
    std::thread m_deliverer;
};

}  // namespace tqf::writer

#endif  // TQF_TILE_POOL_H
