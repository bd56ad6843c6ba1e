#include "tile_encoding.h"

#include "jpeg_encoder.h"
#include "tqf_format.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tqf::writer {

namespace {

// Encoded tiles that may wait for the writer, per worker.
constexpr size_t kWindowPerWorker = 8;

struct Slot {
    std::vector<uint8_t> stream;
    bool ready = false;
};

class LevelEncoder {
public:
    LevelEncoder(const cv::Mat &level, const TileEncodingSettings &settings)
        : m_level(level),
          m_settings(settings),
          m_columns(static_cast<size_t>(format::tilesAcross(level.cols))),
          m_tileCount(m_columns * static_cast<size_t>(format::tilesAcross(level.rows))),
          m_slots(std::max<size_t>(1, settings.threads) * kWindowPerWorker)
    {
    }

    bool run(const TileSink &sink, std::string &error)
    {
        const unsigned workers = std::max(1u, std::min<unsigned>(m_settings.threads,
                                                                 static_cast<unsigned>(m_tileCount)));
        std::vector<std::thread> threads;
        threads.reserve(workers);
        for (unsigned i = 0; i < workers; ++i)
            threads.emplace_back([this] { work(); });
        const bool delivered = deliver(sink);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        for (std::thread &thread : threads)
            thread.join();
        if (!delivered)
            error = m_error;
        return delivered;
    }

private:
    cv::Mat tile(size_t index) const
    {
        const int x = static_cast<int>(index % m_columns) * format::kTileSize;
        const int y = static_cast<int>(index / m_columns) * format::kTileSize;
        return m_level(cv::Rect(x, y, std::min(format::kTileSize, m_level.cols - x),
                                std::min(format::kTileSize, m_level.rows - y)));
    }

    void work()
    {
        JpegEncoder encoder;
        std::vector<uint8_t> stream;
        for (;;) {
            size_t index;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                // A tile is taken only when its slot is free: the window stays bounded.
                m_changed.wait(lock, [this] {
                    return m_stop || m_next >= m_tileCount || m_next < m_delivered + m_slots.size();
                });
                if (m_stop || m_next >= m_tileCount)
                    return;
                index = m_next++;
            }
            bool encoded = false;
            std::string failure;
            try {
                encoded = encoder.encodeWithin(tile(index), m_settings.quality, m_settings.streamCapacity, stream);
                if (!encoded)
                    failure = encoder.error();
            } catch (const std::exception &e) {  // nothing may leave a worker thread
                failure = std::string("tile ") + std::to_string(index) + ": " + e.what();
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!encoded) {
                    if (m_error.empty())
                        m_error = failure;
                    m_stop = true;
                } else {
                    Slot &slot = m_slots[index % m_slots.size()];
                    slot.stream.swap(stream);
                    slot.ready = true;
                }
            }
            m_changed.notify_all();
        }
    }

    bool deliver(const TileSink &sink)
    {
        std::vector<uint8_t> stream;
        for (size_t index = 0; index < m_tileCount; ++index) {
            Slot &slot = m_slots[index % m_slots.size()];
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_stop || slot.ready; });
                if (!slot.ready)
                    return false;  // a worker failed and set the error
                stream.swap(slot.stream);
                slot.ready = false;
            }
            if (!sink(index, stream)) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_error.empty())
                    m_error = "the tile could not be stored";
                return false;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_delivered = index + 1;
            }
            m_changed.notify_all();
        }
        return true;
    }

    const cv::Mat &m_level;
    const TileEncodingSettings m_settings;
    const size_t m_columns;
    const size_t m_tileCount;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Slot> m_slots;
    size_t m_next = 0;       // next tile a worker takes
    size_t m_delivered = 0;  // tiles handed to the sink
    bool m_stop = false;
    std::string m_error;
};

}  // namespace

bool encodeLevelTiles(const cv::Mat &level, const TileEncodingSettings &settings, const TileSink &sink,
                      std::string &error)
{
    if (level.empty() || level.type() != CV_8UC3) {
        error = "a level to encode must be a non-empty 8-bit BGR image";
        return false;
    }
    LevelEncoder encoder(level, settings);
    return encoder.run(sink, error);
}

}  // namespace tqf::writer
