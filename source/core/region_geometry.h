// The arithmetic of region reads, as pure functions: boxes of a level, the
// tiles under a box, what lies outside a level, where a read at any
// downsample falls on the level it reads, and thumbnail sizes. No pixels
// and no slide here, so every rule is tested on its own.
#ifndef TQF_CORE_REGION_GEOMETRY_H
#define TQF_CORE_REGION_GEOMETRY_H

#include <array>
#include <cstdint>

#include "core_api.h"

namespace tqfio::core {

// A half-open rectangle in pixels of one level: [x0, x1) x [y0, y1).
struct Box {
    int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int64_t width() const { return x1 - x0; }
    int64_t height() const { return y1 - y0; }
    bool empty() const { return x0 >= x1 || y0 >= y1; }
    bool operator==(const Box &o) const { return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1; }
    bool operator!=(const Box &o) const { return !(*this == o); }
};

// The intersection (empty when they do not meet).
TQFIO_CORE_API Box operator&(const Box &a, const Box &b);

// Beyond this, any coordinate lies far outside every slide; clamping to it
// keeps the arithmetic of a request free of overflow.
constexpr int64_t kFarAway = int64_t(1) << 40;

TQFIO_CORE_API int64_t clamp_far(int64_t v);

// The box a read of width x height pixels of a level `downsample` times
// coarser than full resolution covers, its top-left corner at (x, y) of full
// resolution: the level pixel that full-resolution pixel falls in.
TQFIO_CORE_API Box level_box(int64_t x, int64_t y, double downsample, int width, int height);

// What of `box` lies outside `inside` (a box within it): the bands above
// and below it across the whole width, then left and right of it; each may
// be empty.
TQFIO_CORE_API std::array<Box, 4> outside_bands(const Box &box, const Box &inside);

// The tiles of a grid of `edge`-pixel cells that a non-empty box touches.
struct TileSpan {
    int64_t first_column = 0, first_row = 0;
    int64_t columns = 0, rows = 0;
    int edge = 0;
    // The cells of `column_count` x `row_count` tiles from the span's
    // (column, row), counted within the span.
    Box cells(int64_t column, int64_t row, int64_t column_count = 1, int64_t row_count = 1) const {
        return Box{(first_column + column) * edge, (first_row + row) * edge,
                   (first_column + column + column_count) * edge, (first_row + row + row_count) * edge};
    }
};

TQFIO_CORE_API TileSpan tiles_covering(const Box &box, int edge);

// A read of width x height output pixels at `downsample` (full-resolution
// pixels per output pixel), its top-left corner at (x, y) of full
// resolution, served from a level `level_downsample` times coarser than
// full resolution and level_width x level_height pixels large.
struct ScaledRead {
    // The output pixels whose centre falls on the level; the rest lie
    // outside the slide. Empty when none does.
    Box output;
    // The level's pixels under them, at least one pixel each way; resized
    // onto `output`. Meaningless when `output` is empty.
    Box source;
};

TQFIO_CORE_API ScaledRead scaled_read(int64_t x, int64_t y, double downsample, int width, int height,
                                      double level_downsample, int64_t level_width, int64_t level_height);

// Whether a read at `downsample` is a read of the stored level of
// `level_downsample` as it is, within rounding.
TQFIO_CORE_API bool is_level_downsample(double downsample, double level_downsample);

// A whole image of width x height fitted into max_width x max_height, the
// aspect kept: the downsample and the size, at least 1 x 1 and at most the
// bounds. The bounds must be at least 1.
struct FittedSize {
    double downsample = 1;
    int width = 0, height = 0;
};

TQFIO_CORE_API FittedSize fit_within(int64_t width, int64_t height, int max_width, int max_height);

}  // namespace tqfio::core

#endif  // TQF_CORE_REGION_GEOMETRY_H
