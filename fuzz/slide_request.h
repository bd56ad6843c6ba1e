// The control block at the front of a slide fuzz input: how the slide is
// opened and four reads, each at a level or at a downsample, with a pixel
// format, or of a stored tile stream; then which other calls are made. The
// slide file's bytes follow.
#ifndef TQF_FUZZ_SLIDE_REQUEST_H
#define TQF_FUZZ_SLIDE_REQUEST_H

#include <cstdint>
#include <vector>

#include "fuzz_input.h"

namespace tqf::fuzz {

struct SlideRead {
    // bit 0: at a downsample; bits 1-2: pixel format; bit 3: narrow x, y to
    // int16; bit 4: rows 5 bytes wider than the pixels; bit 5: the stored
    // tile stream of (level, column x, row y) instead of a region
    uint8_t mode = 0;
    int64_t x = 0, y = 0;
    int8_t level = 0;
    int16_t width = 0, height = 0;
    double downsample = 1;
};

struct SlideRequest {
    enum Flags : uint8_t {
        kReadAll = 1 << 0,
        kNoCache = 1 << 1,
        kOneThread = 1 << 2,
        kAssociated = 1 << 3,
        kThumbnail = 1 << 4,
        kBatch = 1 << 5,
    };
    static constexpr int kReadCount = 4;

    uint8_t flags = 0;
    SlideRead reads[kReadCount];

    void parse(FuzzInput &input) {
        flags = input.take<uint8_t>();
        for (SlideRead &read : reads) {
            read.mode = input.take<uint8_t>();
            read.x = input.take<int64_t>();
            read.y = input.take<int64_t>();
            read.level = input.take<int8_t>();
            read.width = input.take<int16_t>();
            read.height = input.take<int16_t>();
            read.downsample = input.take<double>();
        }
    }

    void serialize(std::vector<uint8_t> &out) const {
        put(out, flags);
        for (const SlideRead &read : reads) {
            put(out, read.mode);
            put(out, read.x);
            put(out, read.y);
            put(out, read.level);
            put(out, read.width);
            put(out, read.height);
            put(out, read.downsample);
        }
    }
};

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_SLIDE_REQUEST_H
