// The control block at the front of a reader fuzz input: how the slide is
// opened, the read scale, six region requests and which other calls are
// made. The slide file's bytes follow it.
#ifndef TQF_FUZZ_READER_REQUEST_H
#define TQF_FUZZ_READER_REQUEST_H

#include <cstdint>
#include <vector>

#include "fuzz_input.h"

namespace tqf::fuzz {

struct RegionRequest {
    uint8_t mode = 0;  // bits 0-3 narrow x, y, w, h to int16; bits 4-6 pick the scale
    int32_t x = 0, y = 0, w = 0, h = 0;
    double scale = 0;
};

struct ReaderRequest {
    enum Flags : uint8_t {
        kReadAll = 1 << 0,
        kSetReadScale = 1 << 1,
        kPreview = 1 << 2,
        kLabel = 1 << 3,
        kReadBeforeOpening = 1 << 4,
        kReopenAfterwards = 1 << 5,
    };
    static constexpr int kRegionCount = 6;

    uint8_t flags = 0;
    double openingScale = 0;
    float readScale = 0;
    RegionRequest regions[kRegionCount];

    void parse(FuzzInput &input) {
        flags = input.take<uint8_t>();
        openingScale = input.take<double>();
        readScale = input.take<float>();
        for (RegionRequest &region : regions) {
            region.mode = input.take<uint8_t>();
            region.x = input.take<int32_t>();
            region.y = input.take<int32_t>();
            region.w = input.take<int32_t>();
            region.h = input.take<int32_t>();
            region.scale = input.take<double>();
        }
    }

    void serialize(std::vector<uint8_t> &out) const {
        put(out, flags);
        put(out, openingScale);
        put(out, readScale);
        for (const RegionRequest &region : regions) {
            put(out, region.mode);
            put(out, region.x);
            put(out, region.y);
            put(out, region.w);
            put(out, region.h);
            put(out, region.scale);
        }
    }
};

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_READER_REQUEST_H
