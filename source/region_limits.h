// Limits of a region request that the reader and the Python module share.
#ifndef TQF_REGION_LIMITS_H
#define TQF_REGION_LIMITS_H

namespace tqfio {

// The longest side a region may have, requested or at the tile level. Far
// beyond any slide, and small enough that three times it (padding may
// widen an image by up to twice the request) still counts bytes per row in
// the int arithmetic the image library uses.
constexpr int kMaxRegionSide = 1 << 27;

}  // namespace tqfio

#endif  // TQF_REGION_LIMITS_H
