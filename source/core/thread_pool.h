// The threads that decode the tiles of large regions, shared by every slide
// of the process and sized to its processor cores.
#ifndef TQF_CORE_THREAD_POOL_H
#define TQF_CORE_THREAD_POOL_H

#include <cstddef>
#include <functional>

#include "core_api.h"

namespace tqfio::core {

// Runs work(i) for every i in [0, count) on up to `parallelism` threads, the
// calling thread among them, and returns when all have run. The first
// exception thrown by work is rethrown here once all have stopped. Safe to
// call from many threads at once, and in a child process after fork (the
// child gets a pool of its own).
TQFIO_CORE_API void parallel_for(size_t count, unsigned parallelism, const std::function<void(size_t)> &work);

// Processor cores this process may use (at least 1).
TQFIO_CORE_API unsigned processor_count();

}  // namespace tqfio::core

#endif  // TQF_CORE_THREAD_POOL_H
