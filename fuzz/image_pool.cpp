#include "image_pool.h"

#include "fuzz_memory.h"

#ifdef TQF_FUZZ_ASAN

#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <new>

#include <opencv2/core.hpp>

namespace tqf::fuzz {

namespace {

// Smaller images come from the sanitizer's size-class allocator, whose
// memory stays mapped.
constexpr size_t kPooledFrom = 64 * 1024;
// Freed images of one size that wait, poisoned, before the oldest is handed
// out again: a stale pointer to an image finds it poisoned until this many
// more of its size have been freed.
constexpr size_t kWaiting = 8;
// Beyond this many bytes in the pool the oldest images of the size just
// freed go back to the system.
constexpr size_t kMostPooled = 256u << 20;
// As the image library's own allocator aligns.
constexpr size_t kAlignment = 64;
// A step the caller leaves to the allocator (the C interface's CV_AUTOSTEP).
constexpr size_t kAutoStep = 0x7fffffff;

class PoolingAllocator final : public cv::MatAllocator {
public:
    cv::UMatData *allocate(int dims, const int *sizes, int type, void *data0, size_t *step, cv::AccessFlag,
                           cv::UMatUsageFlags) const override {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step) {
                if (data0 && step[i] != kAutoStep) {
                    CV_Assert(total <= step[i]);
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<size_t>(sizes[i]);
        }
        auto *u = new cv::UMatData(this);
        u->data = u->origdata = data0 ? static_cast<uchar *>(data0) : take(total);
        u->size = total;
        if (data0)
            u->flags |= cv::UMatData::USER_ALLOCATED;
        return u;
    }

    bool allocate(cv::UMatData *u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }

    void deallocate(cv::UMatData *u) const override {
        if (u == nullptr)
            return;
        CV_Assert(u->urefcount == 0 && u->refcount == 0);
        if (!(u->flags & cv::UMatData::USER_ALLOCATED))
            give(u->origdata, u->size);
        delete u;
    }

private:
    uchar *take(size_t size) const {
        if (size >= kPooledFrom) {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto found = m_free.find(size);
            if (found != m_free.end() && found->second.size() > kWaiting) {
                uchar *block = found->second.front();
                found->second.pop_front();
                m_pooled -= size;
                ASAN_UNPOISON_MEMORY_REGION(block, size);
                return block;
            }
        }
        void *block = nullptr;
        if (posix_memalign(&block, kAlignment, size == 0 ? 1 : size) != 0)
            throw std::bad_alloc();
        return static_cast<uchar *>(block);
    }

    void give(uchar *block, size_t size) const {
        if (block == nullptr)
            return;
        if (size < kPooledFrom) {
            std::free(block);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        ASAN_POISON_MEMORY_REGION(block, size);
        std::deque<uchar *> &waiting = m_free[size];
        waiting.push_back(block);
        m_pooled += size;
        while (m_pooled > kMostPooled && !waiting.empty()) {
            uchar *oldest = waiting.front();
            waiting.pop_front();
            m_pooled -= size;
            ASAN_UNPOISON_MEMORY_REGION(oldest, size);
            std::free(oldest);
        }
    }

    mutable std::mutex m_mutex;
    mutable std::map<size_t, std::deque<uchar *>> m_free;
    mutable size_t m_pooled = 0;
};

}  // namespace

void poolLargeImages() {
    // Never destroyed: images may be freed at exit.
    static PoolingAllocator *allocator = new PoolingAllocator;
    cv::Mat::setDefaultAllocator(allocator);
}

}  // namespace tqf::fuzz

#else

namespace tqf::fuzz {

void poolLargeImages() {}

}  // namespace tqf::fuzz

#endif
