#include "thread_pool.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <sched.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tqfio::core {

namespace {

// One parallel_for: indices are taken in order by whoever comes.
struct Job {
    Job(size_t count, const std::function<void(size_t)> &work) : count(count), work(work) {}

    // Runs indices until none are left. Returns false at once when the job
    // is over, so that a helper arriving late touches nothing of the caller's.
    bool take_part() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (next.load() >= count)
                return false;
            ++active;
        }
        run_indices();
        std::lock_guard<std::mutex> lock(mutex);
        if (--active == 0)
            idle.notify_all();
        return true;
    }

    void run_indices() {
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            try {
                work(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failure)
                    failure = std::current_exception();
                next.store(count);  // stop handing out indices
            }
        }
    }

    const size_t count;
    const std::function<void(size_t)> &work;  // valid while the caller waits
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable idle;
    unsigned active = 0;
    std::exception_ptr failure;
};

class Pool {
public:
    explicit Pool(unsigned threads) {
        for (unsigned i = 0; i < threads; ++i)
            std::thread([this] { serve(); }).detach();
    }

    void run(size_t count, unsigned parallelism, const std::function<void(size_t)> &work) {
        auto job = std::make_shared<Job>(count, work);
        const size_t helpers = std::min<size_t>(parallelism - 1, count - 1);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (size_t i = 0; i < helpers; ++i)
                m_queue.push_back(job);
        }
        m_wake.notify_all();
        job->run_indices();
        std::unique_lock<std::mutex> lock(job->mutex);
        job->idle.wait(lock, [&] { return job->active == 0; });
        if (job->failure)
            std::rethrow_exception(job->failure);
    }

private:
    // Pool threads live as long as the process: they are never joined, so
    // that no exit path waits for them.
    [[noreturn]] void serve() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [&] { return !m_queue.empty(); });
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            job->take_part();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<Job>> m_queue;
};

// The pool of this process. A child made by fork has none of its parent's
// threads and possibly a locked mutex of it, so it makes a pool of its own
// and never touches the parent's (which is left behind, not destroyed).
Pool &pool() {
    static std::mutex guard;
    static Pool *current = nullptr;
    static pid_t owner = 0;
    const pid_t self = getpid();
    std::lock_guard<std::mutex> lock(guard);
    if (current == nullptr || owner != self) {
        current = new Pool(processor_count());
        owner = self;
    }
    return *current;
}

}  // namespace

unsigned processor_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

void parallel_for(size_t count, unsigned parallelism, const std::function<void(size_t)> &work) {
    if (count == 0)
        return;
    if (parallelism <= 1 || count == 1) {
        for (size_t i = 0; i < count; ++i)
            work(i);
        return;
    }
    pool().run(count, parallelism, work);
}

}  // namespace tqfio::core
