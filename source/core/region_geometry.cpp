#include "region_geometry.h"

#include <algorithm>
#include <cmath>

namespace tqfio::core {

Box operator&(const Box &a, const Box &b) {
    return Box{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
}

int64_t clamp_far(int64_t v) { return std::max(-kFarAway, std::min(kFarAway, v)); }

Box level_box(int64_t x, int64_t y, double downsample, int width, int height) {
    const int64_t lx = static_cast<int64_t>(std::floor(static_cast<double>(clamp_far(x)) / downsample));
    const int64_t ly = static_cast<int64_t>(std::floor(static_cast<double>(clamp_far(y)) / downsample));
    return Box{lx, ly, lx + width, ly + height};
}

std::array<Box, 4> outside_bands(const Box &box, const Box &inside) {
    return {Box{box.x0, box.y0, box.x1, inside.y0}, Box{box.x0, inside.y1, box.x1, box.y1},
            Box{box.x0, inside.y0, inside.x0, inside.y1}, Box{inside.x1, inside.y0, box.x1, inside.y1}};
}

TileSpan tiles_covering(const Box &box, int edge) {
    // Floor division, so that a box reaching left of or above the grid
    // starts at the cell it lies in.
    const auto floor_div = [edge](int64_t v) { return v >= 0 ? v / edge : -((-v + edge - 1) / edge); };
    TileSpan span;
    span.edge = edge;
    span.first_column = floor_div(box.x0);
    span.first_row = floor_div(box.y0);
    span.columns = floor_div(box.x1 + edge - 1) - span.first_column;
    span.rows = floor_div(box.y1 + edge - 1) - span.first_row;
    return span;
}

ScaledRead scaled_read(int64_t x, int64_t y, double downsample, int width, int height, double level_downsample,
                       int64_t level_width, int64_t level_height) {
    const double ox = static_cast<double>(clamp_far(x)), oy = static_cast<double>(clamp_far(y));
    // Output pixel u covers [origin + u * downsample, origin + (u + 1) *
    // downsample) of full resolution; it is inside when its centre is.
    const auto first_inside = [&](double origin) { return std::ceil((0 - origin) / downsample - 0.5); };
    const auto end_inside = [&](double origin, double extent) {
        return std::ceil((extent - origin) / downsample - 0.5);
    };
    const double right = static_cast<double>(level_width) * level_downsample;
    const double bottom = static_cast<double>(level_height) * level_downsample;
    ScaledRead read;
    read.output.x0 = static_cast<int64_t>(std::clamp(first_inside(ox), 0.0, double(width)));
    read.output.x1 = static_cast<int64_t>(std::clamp(end_inside(ox, right), 0.0, double(width)));
    read.output.y0 = static_cast<int64_t>(std::clamp(first_inside(oy), 0.0, double(height)));
    read.output.y1 = static_cast<int64_t>(std::clamp(end_inside(oy, bottom), 0.0, double(height)));
    if (read.output.empty())
        return read;
    const auto source_start = [&](double origin, int64_t u) {
        return std::max<int64_t>(0, static_cast<int64_t>(std::floor((origin + u * downsample) / level_downsample)));
    };
    const auto source_end = [&](double origin, int64_t u, int64_t extent) {
        return std::min<int64_t>(extent, static_cast<int64_t>(std::ceil((origin + u * downsample) / level_downsample)));
    };
    read.source = Box{source_start(ox, read.output.x0), source_start(oy, read.output.y0),
                      source_end(ox, read.output.x1, level_width), source_end(oy, read.output.y1, level_height)};
    read.source.x1 = std::max(read.source.x1, read.source.x0 + 1);
    read.source.y1 = std::max(read.source.y1, read.source.y0 + 1);
    return read;
}

bool is_level_downsample(double downsample, double level_downsample) {
    return std::fabs(downsample - level_downsample) <= 1e-9 * level_downsample;
}

FittedSize fit_within(int64_t width, int64_t height, int max_width, int max_height) {
    const double w = static_cast<double>(width), h = static_cast<double>(height);
    FittedSize fitted;
    fitted.downsample = std::max(w / max_width, h / max_height);
    fitted.width = std::min(max_width, std::max(1, static_cast<int>(std::lround(w / fitted.downsample))));
    fitted.height = std::min(max_height, std::max(1, static_cast<int>(std::lround(h / fitted.downsample))));
    return fitted;
}

}  // namespace tqfio::core
