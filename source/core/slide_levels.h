// The stored levels of an open slide, from the records the slide library
// hands back: the header for full resolution, the tile records for the rest.
#ifndef TQF_CORE_SLIDE_LEVELS_H
#define TQF_CORE_SLIDE_LEVELS_H

#include <cstdint>
#include <vector>

#include "core_api.h"
#include "yelk.h"

namespace tqfio::core {

struct SlideLevel {
    double magnification;
    double downsample;  // scan magnification / magnification
    int64_t width;
    int64_t height;
    // The tile grid's pitch: tiles lie at multiples of it (those at the
    // level's right and bottom edges are cut to the level).
    int tile_width;
    int tile_height;
    // What the tile-stream operations take for this level: the
    // magnification truncated to a whole number, as a single-precision value
    // converted on (2.5 is fetched as 2).
    uint32_t address;
};

// Full resolution first, then coarser levels. A level is listed when the
// tile records hold tiles of its magnification that lie inside its bounds
// and no finer level shares its address (where levels share one, only the
// finest can be fetched). Records that cannot be right (a magnification that
// is not positive and finite, or above the scan's; a tile outside the grid
// or larger than the full-resolution image) are passed over. A library whose
// handle offers no tile records gives the full-resolution level alone.
// `header` must hold a positive scan magnification and sizes >= 1.
TQFIO_CORE_API std::vector<SlideLevel> slide_levels(const TQF &slide);

// The address of a magnification, as the original reader passes it.
TQFIO_CORE_API uint32_t level_address(double magnification);

// OpenSlide's rule: the level with the largest downsample not above
// `downsample`, level 0 when none is. `levels` is not empty.
TQFIO_CORE_API int best_level(const std::vector<SlideLevel> &levels, double downsample);

}  // namespace tqfio::core

#endif  // TQF_CORE_SLIDE_LEVELS_H
