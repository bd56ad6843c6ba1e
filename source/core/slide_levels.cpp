#include "slide_levels.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "slide_limits.h"

namespace tqfio::core {

namespace {

struct Extent {
    int64_t width = 0, height = 0;
};

// More records than this are not trusted to be an index (a 1,000,000 x
// 1,000,000 slide has about 21 million tiles).
constexpr int64_t kMaxRecords = int64_t(1) << 28;

}  // namespace

uint32_t level_address(double magnification) {
    const float single = static_cast<float>(magnification);
    return single >= 0 && single < 4294967296.0f ? static_cast<uint32_t>(single) : 0;
}

std::vector<SlideLevel> slide_levels(const TQF &slide) {
    const TQF_HEADER &header = *slide.header;
    const double scan = header.scanScale;
    std::vector<SlideLevel> levels;
    levels.push_back(
        SlideLevel{scan, 1.0, header.imageWidth, header.imageHeight, kTileEdge, kTileEdge, level_address(scan)});

    const int64_t count = header.dataBlockCount;
    if (slide.dataBlockHeader == nullptr || count <= 0 || count > kMaxRecords)
        return levels;

    // Keyed by magnification, finest first.
    std::map<double, Extent, std::greater<double>> extents;
    for (int64_t i = 0; i < count; ++i) {
        const TQF_DATABLOCK_HEADER &block = slide.dataBlockHeader[i];
        const double magnification = block.scaleRatio;
        if (!(magnification > 0) || !std::isfinite(magnification) || magnification > scan)
            continue;
        if (block.posX < 0 || block.posY < 0 || block.width == 0 || block.height == 0 ||
            block.width > static_cast<UINT32>(kTileEdge) || block.height > static_cast<UINT32>(kTileEdge))
            continue;
        const int64_t right = static_cast<int64_t>(block.posX) + block.width;
        const int64_t bottom = static_cast<int64_t>(block.posY) + block.height;
        if (right > header.imageWidth || bottom > header.imageHeight)
            continue;
        Extent &extent = extents[magnification];
        extent.width = std::max(extent.width, right);
        extent.height = std::max(extent.height, bottom);
    }

    for (const auto &[magnification, extent] : extents) {
        if (magnification == scan)
            continue;
        const uint32_t address = level_address(magnification);
        const bool shadowed = std::any_of(levels.begin(), levels.end(),
                                          [&](const SlideLevel &finer) { return finer.address == address; });
        if (shadowed)
            continue;
        levels.push_back(SlideLevel{magnification, scan / magnification, extent.width, extent.height, kTileEdge,
                                    kTileEdge, address});
    }
    return levels;
}

int best_level(const std::vector<SlideLevel> &levels, double downsample) {
    if (downsample < levels[0].downsample)
        return 0;
    for (size_t i = 1; i < levels.size(); ++i)
        if (downsample < levels[i].downsample)
            return static_cast<int>(i) - 1;
    return static_cast<int>(levels.size()) - 1;
}

}  // namespace tqfio::core
