/*
 * The pyramid levels of an open slide that the tile-stream operations
 * reach, from the slide's tile records. (A shared version of this is to
 * come in the reader's core; this one is kept small so it can be swapped.)
 */
#ifndef TQF_CONVERT_SLIDE_LEVELS_H
#define TQF_CONVERT_SLIDE_LEVELS_H

#include <cstdint>
#include <string>
#include <vector>

#include "yelk.h"

namespace tqf::convert {

struct SlideLevel {
    float magnification = 0;  // the tiles' scaleRatio
    UINT32 address = 0;       // the magnification truncated: what the fetch takes
    int64_t width = 0;        // max(posX + width) over the level's tiles
    int64_t height = 0;       // max(posY + height)
    uint64_t tiles = 0;
};

// The slide's levels, finest first: its tile records (header->dataBlockCount
// of them at dataBlockHeader) grouped by scaleRatio. Where several levels
// share one whole-number address only the finest is reachable through the
// fetch, so the coarser ones are left out. False with `error` set when the
// records hold no usable level.
bool reachableLevels(const TQF &slide, std::vector<SlideLevel> &levels, std::string &error);

}  // namespace tqf::convert

#endif  // TQF_CONVERT_SLIDE_LEVELS_H
