// Fixed sizes and limits of slides and region requests, in one place for
// every face of the reader.
#ifndef TQF_CORE_SLIDE_LIMITS_H
#define TQF_CORE_SLIDE_LIMITS_H

#include <cstddef>

#include "yelk.h"

namespace tqfio::core {

// Edge of a stored tile in pixels.
constexpr int kTileEdge = 256;

// The stream buffer handed to the slide library's tile operations: the raw
// size of one 256-pixel colour tile. The library is told no capacity; it
// writes at most this many bytes.
constexpr size_t kTileStreamCapacity = YELK_TILE_STREAM_CAPACITY;

// The longest side a region may have, requested or at the tile level. Far
// beyond any slide, and small enough that three times it (padding may
// widen an image by up to twice the request) still counts bytes per row in
// the int arithmetic the image library uses.
constexpr int kMaxRegionSide = 1 << 27;

}  // namespace tqfio::core

#endif  // TQF_CORE_SLIDE_LIMITS_H
