#include "positioned_io.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace tqf::io {

namespace {
// Linux transfers at most this much per call; asking for more is pointless.
constexpr size_t kLargestTransfer = 0x7ffff000;
}  // namespace

bool readFullyAt(int fd, void *destination, size_t size, uint64_t offset)
{
    auto *cursor = static_cast<unsigned char *>(destination);
    while (size > 0) {
        if (offset > static_cast<uint64_t>(INT64_MAX)) {
            errno = EINVAL;
            return false;
        }
        const size_t chunk = size < kLargestTransfer ? size : kLargestTransfer;
        const ssize_t got = pread(fd, cursor, chunk, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0) {
            errno = EIO;  // the file ended before the record did
            return false;
        }
        cursor += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool writeFully(int fd, const void *source, size_t size)
{
    const auto *cursor = static_cast<const unsigned char *>(source);
    while (size > 0) {
        const size_t chunk = size < kLargestTransfer ? size : kLargestTransfer;
        const ssize_t put = write(fd, cursor, chunk);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (put == 0) {
            errno = EIO;
            return false;
        }
        cursor += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool writeFullyAt(int fd, const void *source, size_t size, uint64_t offset)
{
    const auto *cursor = static_cast<const unsigned char *>(source);
    while (size > 0) {
        const size_t chunk = size < kLargestTransfer ? size : kLargestTransfer;
        const ssize_t put = pwrite(fd, cursor, chunk, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (put == 0) {
            errno = EIO;
            return false;
        }
        cursor += put;
        size -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

}  // namespace tqf::io
