/*
 * Whole-buffer reads and writes on file descriptors: retried on EINTR and on
 * short transfers, so callers see either the complete transfer or a failure.
 */
#ifndef TQF_POSITIONED_IO_H
#define TQF_POSITIONED_IO_H

#include <cstddef>
#include <cstdint>

namespace tqf::io {

// Reads exactly `size` bytes at `offset` without moving the file position, so
// several threads may read one descriptor at once. False on an error or when
// the file ends first (errno is then EIO).
bool readFullyAt(int fd, void *destination, size_t size, uint64_t offset);

// Writes all `size` bytes at the current position. False with errno set on failure.
bool writeFully(int fd, const void *source, size_t size);

// Writes all `size` bytes at `offset` without moving the file position.
bool writeFullyAt(int fd, const void *source, size_t size, uint64_t offset);

}  // namespace tqf::io

#endif  // TQF_POSITIONED_IO_H
