#include "positioned_io.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace tqf::io {

namespace {
// Linux transfers at most this much per call; asking for more is pointless.
constexpr size_t kLargestTransfer = 0x7ffff000;

// Calls transfer(cursor, chunk, done) until `size` bytes have moved: again
// after EINTR, and failing with EIO when a call moves nothing (a file that
// ends before the record does, or a device that takes nothing more).
template <typename Byte, typename Transfer>
bool transferFully(Byte *buffer, size_t size, Transfer transfer) {
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const size_t chunk = left < kLargestTransfer ? left : kLargestTransfer;
        const ssize_t moved = transfer(buffer + done, chunk, static_cast<uint64_t>(done));
        if (moved < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (moved == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(moved);
    }
    return true;
}

}  // namespace

bool readFullyAt(int fd, void *destination, size_t size, uint64_t offset) {
    return transferFully(static_cast<unsigned char *>(destination), size,
                         [&](unsigned char *at, size_t chunk, uint64_t done) -> ssize_t {
                             if (offset + done > static_cast<uint64_t>(INT64_MAX)) {
                                 errno = EINVAL;
                                 return -1;
                             }
                             return pread(fd, at, chunk, static_cast<off_t>(offset + done));
                         });
}

bool writeFully(int fd, const void *source, size_t size) {
    return transferFully(static_cast<const unsigned char *>(source), size,
                         [&](const unsigned char *at, size_t chunk, uint64_t) { return write(fd, at, chunk); });
}

bool writeFullyAt(int fd, const void *source, size_t size, uint64_t offset) {
    return transferFully(static_cast<const unsigned char *>(source), size,
                         [&](const unsigned char *at, size_t chunk, uint64_t done) {
                             return pwrite(fd, at, chunk, static_cast<off_t>(offset + done));
                         });
}

}  // namespace tqf::io
