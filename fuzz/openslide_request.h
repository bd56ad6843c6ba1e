// The control block at the front of an OpenSlide-interface fuzz input: four
// region reads, a downsample for the best-level query, a cache size and
// which other calls are made. The slide file's bytes follow.
#ifndef TQF_FUZZ_OPENSLIDE_REQUEST_H
#define TQF_FUZZ_OPENSLIDE_REQUEST_H

#include <cstdint>
#include <vector>

#include "fuzz_input.h"

namespace tqf::fuzz {

struct OpenSlideRead {
    int64_t x = 0, y = 0;
    int32_t level = 0;
    // Taken modulo kMaxSide (sign kept), so that each input stays cheap: a
    // region's words stay below the sanitizer's large-allocation size.
    int16_t w = 0, h = 0;
    static constexpr int16_t kMaxSide = 160;
};

struct OpenSlideRequest {
    enum Flags : uint8_t {
        kAssociated = 1 << 0,  // associated images' sizes and pixels
        kProperties = 1 << 1,  // every property's value
        kCache = 1 << 2,       // a cache of cacheBytes set before reading
        kNullArguments = 1 << 3,
    };
    static constexpr int kReadCount = 4;

    uint8_t flags = 0;
    double downsample = 1;
    uint32_t cacheBytes = 0;
    OpenSlideRead reads[kReadCount];

    void parse(FuzzInput &input) {
        flags = input.take<uint8_t>();
        downsample = input.take<double>();
        cacheBytes = input.take<uint32_t>();
        for (OpenSlideRead &read : reads) {
            read.x = input.take<int64_t>();
            read.y = input.take<int64_t>();
            read.level = input.take<int32_t>();
            read.w = static_cast<int16_t>(input.take<int16_t>() % OpenSlideRead::kMaxSide);
            read.h = static_cast<int16_t>(input.take<int16_t>() % OpenSlideRead::kMaxSide);
        }
    }

    void serialize(std::vector<uint8_t> &out) const {
        put(out, flags);
        put(out, downsample);
        put(out, cacheBytes);
        for (const OpenSlideRead &read : reads) {
            put(out, read.x);
            put(out, read.y);
            put(out, read.level);
            put(out, read.w);
            put(out, read.h);
        }
    }
};

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_OPENSLIDE_REQUEST_H
