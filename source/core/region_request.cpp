#include "region_request.h"

#include <climits>
#include <cmath>

#include "slide_limits.h"

namespace tqfio::core {

RegionSizeCheck check_region_size(int64_t width, int64_t height, int channels, uint64_t max_bytes) {
    RegionSizeCheck check;
    if (width < 0) {
        check.status = RegionSizeStatus::negative_width;
        return check;
    }
    if (height < 0) {
        check.status = RegionSizeStatus::negative_height;
        return check;
    }
    // Saturating: sides beyond 2^31 are refused below in any case.
    const uint64_t w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    const uint64_t c = static_cast<uint64_t>(channels);
    check.byte_count = (w > UINT32_MAX || h > UINT32_MAX) ? UINT64_MAX : w * h * c;
    if (check.byte_count > max_bytes)
        check.status = RegionSizeStatus::too_many_bytes;
    else if (width > kMaxRegionSide)
        check.status = RegionSizeStatus::width_too_large;
    else if (height > kMaxRegionSide)
        check.status = RegionSizeStatus::height_too_large;
    return check;
}

bool is_positive_finite(double value) { return value > 0 && std::isfinite(value); }

}  // namespace tqfio::core
