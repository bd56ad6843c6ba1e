// The arithmetic of region reads on its own: which level pixels a read
// covers, what of it lies outside the level, which tiles it touches, where
// a read at any downsample falls and which source pixels feed it, and
// thumbnail sizes.
#include <gtest/gtest.h>

#include "core/region_geometry.h"

namespace tqfio::core {

// For messages (found by argument-dependent lookup).
std::ostream &operator<<(std::ostream &out, const Box &b) {
    return out << "[" << b.x0 << ", " << b.x1 << ") x [" << b.y0 << ", " << b.y1 << ")";
}

}  // namespace tqfio::core

namespace {

using namespace tqfio::core;

TEST(Box, IntersectionAndEmptiness) {
    const struct {
        Box a, b, meet;
        bool empty;
    } cases[] = {
        {{0, 0, 10, 10}, {5, 5, 20, 20}, {5, 5, 10, 10}, false},
        {{0, 0, 10, 10}, {10, 0, 20, 10}, {10, 0, 10, 10}, true},  // touching edges share nothing
        {{0, 0, 10, 10}, {2, 3, 4, 5}, {2, 3, 4, 5}, false},
        {{-5, -5, 0, 0}, {0, 0, 5, 5}, {0, 0, 0, 0}, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.a & c.b, c.meet) << c.a << " & " << c.b;
        EXPECT_EQ((c.a & c.b).empty(), c.empty) << c.a << " & " << c.b;
    }
}

// The level pixel a full-resolution place falls in, rounding towards minus
// infinity, and places far outside every slide held where no arithmetic
// overflows.
TEST(LevelBox, FloorsAndClampsTheCorner) {
    const struct {
        int64_t x, y;
        double downsample;
        Box box;
    } cases[] = {
        {0, 0, 1, {0, 0, 256, 128}},
        {1023, 1025, 4, {255, 256, 511, 384}},
        {-1, -4, 4, {-1, -1, 255, 127}},
        {-5, 7, 4, {-2, 1, 254, 129}},
        {INT64_MAX, INT64_MIN, 1, {kFarAway, -kFarAway, kFarAway + 256, -kFarAway + 128}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(level_box(c.x, c.y, c.downsample, 256, 128), c.box) << c.x << ", " << c.y << " / " << c.downsample;
}

TEST(OutsideBands, CoverExactlyWhatLiesOutside) {
    const Box box{-10, -20, 50, 40};
    const Box inside{0, 0, 30, 40};
    const auto bands = outside_bands(box, inside);
    int64_t area = 0;
    for (const Box &band : bands) {
        if (band.empty())
            continue;
        EXPECT_TRUE((band & inside).empty()) << band;
        EXPECT_EQ(band & box, band) << band;
        for (const Box &other : bands) {
            if (&other != &band) {
                EXPECT_TRUE((band & other).empty()) << band << " and " << other;
            }
        }
        area += band.width() * band.height();
    }
    EXPECT_EQ(area + inside.width() * inside.height(), box.width() * box.height());
    for (const Box &band : outside_bands(inside, inside)) {
        EXPECT_TRUE(band.empty()) << band;
    }
}

TEST(TilesCovering, EveryTileTouchedAndNoOther) {
    const struct {
        Box box;
        int64_t first_column, first_row, columns, rows;
    } cases[] = {
        {{0, 0, 256, 256}, 0, 0, 1, 1},     {{0, 0, 257, 1}, 0, 0, 2, 1},        {{255, 511, 257, 513}, 0, 1, 2, 2},
        {{300, 600, 301, 601}, 1, 2, 1, 1}, {{-1, -257, 1, -256}, -1, -2, 2, 1},  // left of and above the grid
    };
    for (const auto &c : cases) {
        const TileSpan span = tiles_covering(c.box, 256);
        EXPECT_EQ(span.first_column, c.first_column) << c.box;
        EXPECT_EQ(span.first_row, c.first_row) << c.box;
        EXPECT_EQ(span.columns, c.columns) << c.box;
        EXPECT_EQ(span.rows, c.rows) << c.box;
        const Box all = span.cells(0, 0, span.columns, span.rows);
        EXPECT_EQ(all & c.box, c.box) << "the cells cover " << c.box;
        EXPECT_EQ(span.cells(1, 0), (Box{all.x0 + 256, all.y0, all.x0 + 512, all.y0 + 256}));
    }
}

// Output pixels are inside when their centre is; the source box holds the
// level pixels under them, at least one.
TEST(ScaledRead, OutputInsideBySampleCentresAndItsSource) {
    const struct {
        const char *name;
        int64_t x, y;
        double downsample;
        int width, height;
        Box output, source;
    } cases[] = {
        // A 1000 x 800 level at downsample 2 (2000 x 1600 at full resolution), read at 3.
        {"inside", 300, 600, 3, 100, 50, {0, 0, 100, 50}, {150, 300, 300, 375}},
        {"left of and above it", -7, -5, 3, 10, 10, {2, 2, 10, 10}, {0, 0, 12, 13}},
        {"past its right edge", 1990, 0, 3, 10, 10, {0, 0, 3, 10}, {995, 0, 1000, 15}},
        {"wholly outside", 2100, 0, 3, 10, 10, {0, 0, 0, 10}, {}},
        {"one output pixel of less than a source pixel", 10, 10, 1.5, 1, 1, {0, 0, 1, 1}, {5, 5, 6, 6}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ScaledRead read = scaled_read(c.x, c.y, c.downsample, c.width, c.height, 2, 1000, 800);
        EXPECT_EQ(read.output, c.output);
        if (!c.output.empty()) {
            EXPECT_EQ(read.source, c.source);
        }
    }
}

TEST(ScaledRead, ALevelDownsampleWithinRoundingReadsTheLevel) {
    EXPECT_TRUE(is_level_downsample(4, 4));
    EXPECT_TRUE(is_level_downsample(4 * (1 + 1e-12), 4));
    EXPECT_FALSE(is_level_downsample(4.001, 4));
}

TEST(FitWithin, KeepsTheAspectWithinTheBounds) {
    const struct {
        int64_t width, height;
        int max_width, max_height;
        int fitted_width, fitted_height;
    } cases[] = {
        {16000, 12000, 512, 512, 512, 384},
        {12000, 16000, 512, 512, 384, 512},
        {100000, 10, 100, 100, 100, 1},     // never below one pixel
        {300, 200, 1000, 1000, 1000, 667},  // enlarged to the bounds
        {3, 3, 2, 5, 2, 2},
    };
    for (const auto &c : cases) {
        const FittedSize fitted = fit_within(c.width, c.height, c.max_width, c.max_height);
        EXPECT_EQ(fitted.width, c.fitted_width) << c.width << " x " << c.height;
        EXPECT_EQ(fitted.height, c.fitted_height) << c.width << " x " << c.height;
        EXPECT_LE(fitted.width, c.max_width);
        EXPECT_LE(fitted.height, c.max_height);
    }
}

}  // namespace
