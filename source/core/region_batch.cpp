// tqfio::region_batch: many regions of one size, read by workers of their
// own and handed out in order, a bounded number of batches ahead.
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "region_request.h"
#include "thread_pool.h"
#include "tqf_slide.h"

namespace tqfio {

struct region_batch::state {
    const slide &source;
    std::vector<std::pair<int64_t, int64_t>> locations;
    int level, width, height;
    pixel_format format;
    size_t batch, prefetch, region_bytes, batch_count;

    struct Batch {
        std::unique_ptr<unsigned char[]> pixels;
        size_t done = 0;
        std::exception_ptr failure;
    };

    std::mutex mutex;
    std::condition_variable changed;
    size_t claimed = 0;   // regions given to workers
    size_t consumed = 0;  // batches handed out
    bool stopping = false;
    std::map<size_t, Batch> batches;
    std::vector<std::thread> workers;

    state(const slide &source, std::vector<std::pair<int64_t, int64_t>> locations, int level, int width, int height,
          pixel_format format, size_t batch, size_t prefetch)
        : source(source), locations(std::move(locations)), level(level), width(width), height(height), format(format),
          batch(batch), prefetch(prefetch), region_bytes(static_cast<size_t>(width) * height * bytes_per_pixel(format)),
          batch_count((this->locations.size() + batch - 1) / batch) {}

    size_t regions_in(size_t b) const { return std::min(batch, locations.size() - b * batch); }

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(
                lock, [&] { return stopping || claimed >= locations.size() || claimed / batch < consumed + prefetch; });
            if (stopping || claimed >= locations.size())
                return;
            const size_t index = claimed++;
            const size_t b = index / batch;
            Batch &target = batches[b];
            if (!target.pixels)
                target.pixels.reset(new unsigned char[regions_in(b) * region_bytes]);
            unsigned char *dst = target.pixels.get() + (index - b * batch) * region_bytes;
            std::exception_ptr failure;
            lock.unlock();
            try {
                const auto &[x, y] = locations[index];
                source.read_region_unpooled(x, y, level, width, height, dst,
                                            static_cast<size_t>(width) * bytes_per_pixel(format), format);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure && !target.failure)
                target.failure = failure;
            if (++target.done == regions_in(b))
                changed.notify_all();
        }
    }
};

region_batch::region_batch(const slide &source, std::vector<std::pair<int64_t, int64_t>> locations, int level,
                           int width, int height, pixel_format format, unsigned workers, size_t batch,
                           size_t prefetch) {
    if (level < 0 || static_cast<size_t>(level) >= source.levels().size())
        throw slide_error(slide_error::kind::invalid_argument, "level " + std::to_string(level) +
                                                                   " is out of range: the slide has " +
                                                                   std::to_string(source.levels().size()) + " levels");
    const core::RegionSizeCheck size = core::check_region_size(width, height, bytes_per_pixel(format), UINT64_MAX);
    if (!size.ok() && size.status != core::RegionSizeStatus::too_many_bytes)
        throw slide_error(slide_error::kind::invalid_argument, "a region of " + std::to_string(width) + " x " +
                                                                   std::to_string(height) + " pixels cannot be read");
    if (batch == 0)
        throw slide_error(slide_error::kind::invalid_argument, "a batch holds at least one region");
    if (workers == 0)
        workers = core::processor_count();
    if (prefetch == 0)
        prefetch = std::max<size_t>(2, (2 * static_cast<size_t>(workers) + batch - 1) / batch);
    m_state = std::make_unique<state>(source, std::move(locations), level, width, height, format, batch, prefetch);
    const size_t threads = std::min<size_t>(workers, m_state->locations.size());
    for (size_t i = 0; i < threads; ++i)
        m_state->workers.emplace_back([s = m_state.get()] { s->work(); });
}

region_batch::~region_batch() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->changed.notify_all();
    for (std::thread &worker : m_state->workers)
        worker.join();
}

std::unique_ptr<unsigned char[]> region_batch::next(size_t *count) {
    state &s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    *count = 0;
    if (s.consumed >= s.batch_count)
        return nullptr;
    const size_t b = s.consumed;
    const size_t regions = s.regions_in(b);
    s.changed.wait(lock, [&] {
        const auto found = s.batches.find(b);
        return found != s.batches.end() && found->second.done == regions;
    });
    state::Batch taken = std::move(s.batches[b]);
    s.batches.erase(b);
    ++s.consumed;
    lock.unlock();
    s.changed.notify_all();
    if (taken.failure)
        std::rethrow_exception(taken.failure);
    *count = regions;
    return std::move(taken.pixels);
}

size_t region_batch::size() const { return m_state->locations.size(); }
size_t region_batch::batch_size() const { return m_state->batch; }
size_t region_batch::region_bytes() const { return m_state->region_bytes; }

}  // namespace tqfio
