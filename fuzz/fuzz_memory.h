// Reads every byte of a buffer a component handed back, so that one shorter
// than promised is reported where it ends. Under AddressSanitizer one query
// of its shadow memory does it (a loop in the target would spend most of an
// input's time on its own coverage counters); elsewhere, for the replays
// under other compilers and valgrind, the bytes are summed.
#ifndef TQF_FUZZ_MEMORY_H
#define TQF_FUZZ_MEMORY_H

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TQF_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(TQF_FUZZ_ASAN)
#define TQF_FUZZ_ASAN 1
#endif

#ifdef TQF_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace tqf::fuzz {

inline void readEvery(const void *bytes, size_t size) {
    if (size == 0)
        return;
#ifdef TQF_FUZZ_ASAN
    if (void *bad = __asan_region_is_poisoned(const_cast<void *>(bytes), size)) {
        // Touch the first byte that may not be read: the sanitizer reports it
        // with the buffer's history.
        [[maybe_unused]] volatile char touched = *static_cast<volatile char *>(bad);
    }
#else
    [[maybe_unused]] static volatile unsigned sink;
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += static_cast<const unsigned char *>(bytes)[i];
    sink = sum;
#endif
}

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_MEMORY_H
