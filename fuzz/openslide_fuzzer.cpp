// Fuzz target of OpenSlide's C interface over .tqf slides (libopenslide.so.0's
// code): arbitrary slide bytes opened (from memory, by a path in the
// workspace), properties listed and looked up, the
// best level for any downsample, regions read at any level and place (also
// negative sizes, which put the slide in the error state), associated
// images, a cache, null arguments. Promises besides memory safety: a slide
// either opens in the error state with a message or has levels of positive
// size; every property name has a value; a read writes exactly its w x h
// words (guard words around it stay) and, in the error state, zeros; once in
// the error state every call answers harmlessly; no read writes a file.
// Other files are not handed to the system's OpenSlide here.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_memory.h"
#include "fuzz_workspace.h"
#include "image_pool.h"
#include "openslide.h"
#include "openslide_request.h"

namespace {

using tqf::fuzz::FuzzInput;
using tqf::fuzz::OpenSlideRead;
using tqf::fuzz::OpenSlideRequest;

constexpr size_t kGuard = 16;
constexpr uint32_t kGuardWord = 0xA5A5A5A5u;

[[noreturn]] void broken(const char *promise) {
    tqf::fuzz::flushDiagnostics();
    std::fprintf(stderr, "the OpenSlide interface broke a promise: %s\n", promise);
    std::abort();
}

// The target's own loops over every word of a buffer: without coverage
// counters and comparison hooks, which would cost more per input than the
// reads they check.
#ifdef __clang__
#define TQF_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define TQF_NO_COVERAGE
#endif

// One buffer for every read up to 16 MB, so that its pages stay warm (a
// fresh allocation of 128 KiB or more is mapped afresh); the words beyond
// those in use are poisoned, so that a write past the guards is still
// reported. Only the words between the last read's end and this one's are
// poisoned or unpoisoned: doing the whole buffer for every read cost more
// than the reads once an associated image had made it large. Larger images
// get a buffer of their own, so that one does not stay resident.
constexpr size_t kWarmWordsMax = size_t{1} << 22;

TQF_NO_COVERAGE uint32_t *warmBuffer(size_t used) {
    static std::vector<uint32_t> buffer;
    static size_t open = 0;  // words from the front not poisoned
    if (used > buffer.size()) {
        ASAN_UNPOISON_MEMORY_REGION(buffer.data(), buffer.size() * sizeof(uint32_t));
        buffer.resize(used);
    } else if (used > open) {
        ASAN_UNPOISON_MEMORY_REGION(buffer.data() + open, (used - open) * sizeof(uint32_t));
    } else if (used < open) {
        ASAN_POISON_MEMORY_REGION(buffer.data() + used, (open - used) * sizeof(uint32_t));
    }
    open = used;
    std::fill_n(buffer.data(), used, kGuardWord);
    return buffer.data();
}

TQF_NO_COVERAGE bool guardsWhole(const uint32_t *buffer, size_t size) {
    for (size_t i = 0; i < kGuard; ++i)
        if (buffer[i] != kGuardWord || buffer[kGuard + size + i] != kGuardWord)
            return false;
    return true;
}

// Fills `size` words between guards with calls of `fill`, then checks the
// guards and hands the words to `check`.
template <typename Fill, typename Check>
void guarded(size_t size, Fill fill, Check check) {
    const size_t used = size + 2 * kGuard;
    std::vector<uint32_t> own;
    uint32_t *buffer = nullptr;
    if (used <= kWarmWordsMax) {
        buffer = warmBuffer(used);
    } else {
        own.assign(used, kGuardWord);
        buffer = own.data();
    }
    fill(buffer + kGuard);
    if (!guardsWhole(buffer, size))
        broken("a read writes inside its buffer only");
    check(buffer + kGuard);
}

// The first word that breaks a read's promise: not cleared after a failed
// read, or neither opaque nor transparent; null when there is none.
TQF_NO_COVERAGE const uint32_t *badWord(const uint32_t *words, size_t size, bool failed) {
    for (size_t i = 0; i < size; ++i)
        if ((failed && words[i] != 0) || (words[i] != 0 && (words[i] >> 24) != 0xFF))
            return words + i;
    return nullptr;
}

void readOnce(openslide_t *slide, const OpenSlideRead &read) {
    const bool before = openslide_get_error(slide) != nullptr;
    const size_t words = read.w > 0 && read.h > 0 ? static_cast<size_t>(read.w) * read.h : 0;
    guarded(
        words, [&](uint32_t *dest) { openslide_read_region(slide, dest, read.x, read.y, read.level, read.w, read.h); },
        [&](const uint32_t *dest) {
            const bool failed = openslide_get_error(slide) != nullptr;
            if ((read.w < 0 || read.h < 0) && !failed)
                broken("a negative size is an error");
            if (const uint32_t *bad = badWord(dest, words, failed))
                broken(failed && *bad != 0 ? "a region read in the error state is cleared"
                                           : "a pixel is opaque or transparent");
        });
    if (before && openslide_get_error(slide) == nullptr)
        broken("an error stays");
}

void checkErrorState(openslide_t *slide) {
    int64_t w = 0, h = 0;
    openslide_get_level0_dimensions(slide, &w, &h);
    if (openslide_get_level_count(slide) != -1 || w != -1 || h != -1 ||
        openslide_get_property_names(slide)[0] != nullptr || openslide_get_associated_image_names(slide)[0] != nullptr)
        broken("a slide in the error state answers harmlessly");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tqf::fuzz::poolLargeImages();
    setenv("TQF_SYSTEM_OPENSLIDE", "", 1);  // no other file goes anywhere
    tqf::fuzz::enterWorkspace();
    tqf::fuzz::watchTemporaryFiles();
    tqf::fuzz::bufferDiagnostics();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    OpenSlideRequest request;
    request.parse(input);
    const std::string &path = tqf::fuzz::memoryFile("slide.tqf", input.data(), input.size());

    openslide_t *slide = openslide_open(path.c_str());
    if (slide == nullptr) {
        if (input.size() >= 4 && std::memcmp(input.data(), "TQFH", 4) == 0)
            broken("a file that starts as a slide gives a slide, in the error state if need be");
        return 0;
    }
    if (const char *error = openslide_get_error(slide)) {
        if (std::strstr(error, path.c_str()) == nullptr)
            broken("an error when opening names the file");
        checkErrorState(slide);
    } else {
        const int32_t levels = openslide_get_level_count(slide);
        if (levels < 1)
            broken("an opened slide has a level");
        for (int32_t level = 0; level < levels; ++level) {
            int64_t w = 0, h = 0;
            openslide_get_level_dimensions(slide, level, &w, &h);
            if (w < 1 || h < 1 || !(openslide_get_level_downsample(slide, level) >= 1))
                broken("every level has a size and a downsample of 1 or more");
        }
        const int32_t best = openslide_get_best_level_for_downsample(slide, request.downsample);
        if (best < 0 || best >= levels)
            broken("the best level is a level");
    }
    if (request.flags & OpenSlideRequest::kProperties)
        for (const char *const *name = openslide_get_property_names(slide); *name; ++name)
            if (openslide_get_property_value(slide, *name) == nullptr)
                broken("every property name has a value");
    if (request.flags & OpenSlideRequest::kCache) {
        openslide_cache_t *cache = openslide_cache_create(request.cacheBytes);
        openslide_set_cache(slide, cache);
        openslide_cache_release(cache);
    }
    for (const OpenSlideRead &read : request.reads)
        readOnce(slide, read);
    if (request.flags & OpenSlideRequest::kAssociated) {
        for (const char *const *name = openslide_get_associated_image_names(slide); *name; ++name) {
            int64_t w = -1, h = -1;
            openslide_get_associated_image_dimensions(slide, *name, &w, &h);
            if ((w < 0) != (h < 0) || (w >= 0 && openslide_get_error(slide) != nullptr))
                broken("an associated image has a size, or there is an error");
            const auto read = [&](uint32_t *dest) { openslide_read_associated_image(slide, *name, dest); };
            if (w > 0 && h > 0)
                guarded(static_cast<size_t>(w) * h, read, [](const uint32_t *) {});
        }
    }
    if (request.flags & OpenSlideRequest::kNullArguments) {
        openslide_get_level_dimensions(slide, 0, nullptr, nullptr);
        openslide_get_associated_image_dimensions(slide, nullptr, nullptr, nullptr);
        if (openslide_get_property_value(slide, nullptr) != nullptr)
            broken("a null name has no value");
        openslide_read_region(slide, nullptr, 0, 0, 0, 8, 8);
        openslide_read_associated_image(slide, "label", nullptr);
    }
    if (openslide_get_error(slide))
        checkErrorState(slide);
    openslide_close(slide);
    if (tqf::fuzz::temporaryFileWritten())
        broken("reading a slide writes no file");
    tqf::fuzz::flushDiagnostics();
    return 0;
}
