#include "tile_pool.h"

#include "codec/jpeg_encoder.h"

#include <algorithm>

namespace tqf::writer {

namespace {

// Encodes a BGR tile into `stream`, sized to the stream: `encoded` is the
// encoder's buffer, kept from tile to tile.
bool encodeTile(codec::JpegEncoder &encoder, std::vector<uint8_t> &encoded, const cv::Mat &tile,
                const TilePoolSettings &settings, std::vector<uint8_t> &stream, std::string &failure) {
    const size_t size = encoder.encode_within(codec::pixels_of(tile, codec::PixelOrder::bgr), settings.quality,
                                              settings.streamCapacity, encoded);
    if (size == 0) {
        failure = encoder.error();
        return false;
    }
    stream.assign(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(size));
    return true;
}

}  // namespace

TilePool::TilePool(const TilePoolSettings &settings, TileSink sink) : m_settings(settings), m_sink(std::move(sink)) {
    const unsigned workers = std::max(1u, settings.threads);
    m_workers.reserve(workers);
    for (unsigned i = 0; i < workers; ++i)
        m_workers.emplace_back([this] { work(); });
    m_deliverer = std::thread([this] { deliver(); });
}

TilePool::~TilePool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    wakeEveryone();
    for (std::thread &worker : m_workers)
        worker.join();
    m_deliverer.join();
}

void TilePool::wakeEveryone() {
    m_workToDo.notify_all();
    m_deliverable.notify_all();
    m_delivered.notify_all();
}

void TilePool::skipTaken() {
    while (m_firstUntaken < m_entries.size() && m_entries[m_firstUntaken].taken)
        ++m_firstUntaken;
}

bool TilePool::submit(TileJob job) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_delivered.wait(lock, [this] { return m_failed || m_entries.size() < std::max<size_t>(1, m_settings.window); });
    if (m_failed)
        return false;
    // A tile handed over encoded needs no worker: it is done as it comes.
    const bool encoded = job.encoded;
    Entry entry{std::move(job), {}, encoded, encoded};
    if (encoded)
        entry.stream.swap(entry.job.stream);
    m_entries.push_back(std::move(entry));
    skipTaken();
    const bool first = m_entries.size() == 1;
    lock.unlock();
    if (!encoded)
        m_workToDo.notify_one();
    else if (first)
        m_deliverable.notify_one();
    return true;
}

bool TilePool::drain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_delivered.wait(lock, [this] { return m_failed || m_entries.empty(); });
    return !m_failed;
}

std::string TilePool::error() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

void TilePool::work() {
    codec::JpegEncoder encoder;
    std::vector<uint8_t> buffer, stream;
    for (;;) {
        Entry *entry = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_workToDo.wait(lock, [this] { return m_stop || m_failed || m_firstUntaken < m_entries.size(); });
            if (m_stop || m_failed)
                return;
            entry = &m_entries[m_firstUntaken++];  // deque elements stay put while others come and go
            entry->taken = true;
            skipTaken();
        }
        bool encoded = false;
        std::string failure;
        try {
            const cv::Mat tile = (*entry->job.strip)(entry->job.area);
            encoded = encodeTile(encoder, buffer, tile, m_settings, stream, failure);
        } catch (const std::exception &e) {  // nothing may leave a worker thread
            failure = e.what();
        }
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!encoded) {
                if (!m_failed) {
                    m_failed = true;
                    m_error = "cannot encode level " + std::to_string(entry->job.level) + ": " + failure;
                }
            } else {
                entry->stream.swap(stream);
                entry->done = true;
                first = entry == &m_entries.front();
            }
        }
        if (!encoded)
            wakeEveryone();
        else if (first)
            m_deliverable.notify_one();
    }
}

void TilePool::deliver() {
    std::vector<uint8_t> stream;
    for (;;) {
        TileJob job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_deliverable.wait(lock,
                               [this] { return m_stop || m_failed || (!m_entries.empty() && m_entries.front().done); });
            if (m_stop || m_failed)
                return;
            stream.swap(m_entries.front().stream);
            job = std::move(m_entries.front().job);
        }
        bool stored = false;
        try {
            stored = m_sink(job, stream);
        } catch (const std::exception &e) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_error = e.what();
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_entries.pop_front();
            --m_firstUntaken;
            if (!stored)
                m_failed = true;
        }
        if (!stored)
            wakeEveryone();
        else
            m_delivered.notify_all();
    }
}

}  // namespace tqf::writer
