#include "slide_levels.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace tqf::convert {

bool reachableLevels(const TQF &slide, std::vector<SlideLevel> &levels, std::string &error)
{
    levels.clear();
    if (slide.header == nullptr || slide.header->dataBlockCount < 1 || slide.dataBlockHeader == nullptr) {
        error = "the slide records no tiles";
        return false;
    }
    std::map<float, SlideLevel, std::greater<float>> byMagnification;
    for (INT32 i = 0; i < slide.header->dataBlockCount; ++i) {
        const TQF_DATABLOCK_HEADER &block = slide.dataBlockHeader[i];
        if (!(block.scaleRatio > 0) || !std::isfinite(block.scaleRatio) || block.scaleRatio >= 4294967296.0f)
            continue;
        SlideLevel &level = byMagnification[block.scaleRatio];
        level.magnification = block.scaleRatio;
        level.address = static_cast<UINT32>(block.scaleRatio);
        level.width = std::max<int64_t>(level.width, int64_t{block.posX} + block.width);
        level.height = std::max<int64_t>(level.height, int64_t{block.posY} + block.height);
        ++level.tiles;
    }
    for (const auto &entry : byMagnification) {
        const SlideLevel &level = entry.second;
        if (level.width < 1 || level.height < 1)
            continue;
        if (!levels.empty() && levels.back().address == level.address)
            continue;  // the finer one of this address answers
        levels.push_back(level);
    }
    if (levels.empty()) {
        error = "the slide's tile records hold no level";
        return false;
    }
    return true;
}

}  // namespace tqf::convert
