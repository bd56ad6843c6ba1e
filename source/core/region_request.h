// The checks of a region request that every face shares. Each face words
// the outcome in its own terms (a message, an exception naming the
// argument); the rules live here once.
#ifndef TQF_CORE_REGION_REQUEST_H
#define TQF_CORE_REGION_REQUEST_H

#include <climits>
#include <cstdint>

#include "core_api.h"

namespace tqfio::core {

enum class RegionSizeStatus {
    ok,
    negative_width,
    negative_height,
    too_many_bytes,   // width x height x channels is more than the caller can take
    width_too_large,  // a side beyond kMaxRegionSide
    height_too_large,
};

struct RegionSizeCheck {
    RegionSizeStatus status = RegionSizeStatus::ok;
    uint64_t byte_count = 0;  // width x height x channels, exact for every int pair
    bool ok() const { return status == RegionSizeStatus::ok; }
};

// Checks a region of width x height pixels of `channels` bytes each, in the
// order a caller should hear about its faults: signs, the byte count, then
// each side.
TQFIO_CORE_API RegionSizeCheck check_region_size(int64_t width, int64_t height, int channels, uint64_t max_bytes);

// A magnification or downsample a region can be read at: positive and
// finite (rejects 0, -0.0, negatives, NaN and infinities).
TQFIO_CORE_API bool is_positive_finite(double value);

}  // namespace tqfio::core

#endif  // TQF_CORE_REGION_REQUEST_H
