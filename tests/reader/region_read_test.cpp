// Region reads at a scale: conversion to the tile level and back, the white
// border outside the slide, the exact result size, the reused result buffer,
// and refusals of requests that have no meaning.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include <opencv2/imgproc.hpp>

#include "reader_test_support.h"

namespace tqftest {
namespace {

// The region reader's arithmetic, run on a whole tile-level image (white
// beyond its extent) instead of tiles.
cv::Mat model_region(const cv::Mat &level, int bound_w, int bound_h, int read_scale, int rx, int ry, int rw, int rh,
                     double scale) {
    const float ratio = static_cast<float>(static_cast<double>(read_scale) / scale);
    const auto clamp = [](int64_t v, int hi) {
        return static_cast<int>(std::max<int64_t>(std::min<int64_t>(v, hi), 0));
    };
    int x = static_cast<int>(static_cast<float>(clamp(rx, bound_w)) * ratio);
    int y = static_cast<int>(static_cast<float>(clamp(ry, bound_h)) * ratio);
    const int endx = static_cast<int>(static_cast<float>(clamp(int64_t(rx) + rw, bound_w)) * ratio);
    const int endy = static_cast<int>(static_cast<float>(clamp(int64_t(ry) + rh, bound_h)) * ratio);
    int w = endx - x, h = endy - y;
    cv::Mat image;
    if (w > 0 && h > 0) {
        image = cv::Mat(h, w, CV_8UC3, cv::Scalar::all(255));
        const cv::Rect inside = cv::Rect(x, y, w, h) & cv::Rect(0, 0, level.cols, level.rows);
        if (inside.area() > 0)
            level(inside).copyTo(image(inside - cv::Point(x, y)));
    }
    x = static_cast<int>(static_cast<float>(x) / ratio);
    y = static_cast<int>(static_cast<float>(y) / ratio);
    h = static_cast<int>(static_cast<float>(h) / ratio);
    w = static_cast<int>(static_cast<float>(w) / ratio);
    if (w == 0 || h == 0)
        image.create(cv::Size(w, h), CV_8UC3);
    if (ratio != 1.0f && !image.empty())
        cv::resize(image, image, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    if (rx < 0 || int64_t(rx) + rw > bound_w || ry < 0 || int64_t(ry) + rh > bound_h) {
        const int top = static_cast<int>(std::min<int64_t>(std::max<int64_t>(int64_t(y) - ry, 0), rh));
        const int left = static_cast<int>(std::min<int64_t>(std::max<int64_t>(int64_t(x) - rx, 0), rw));
        const int bottom = static_cast<int>(std::min(
            std::max(static_cast<float>(int64_t(ry) + rh) - static_cast<float>(endy) / ratio, 0.0f), float(rh)));
        const int right = static_cast<int>(std::min(
            std::max(static_cast<float>(int64_t(rx) + rw) - static_cast<float>(endx) / ratio, 0.0f), float(rw)));
        cv::copyMakeBorder(image, image, top, bottom, left, right, cv::BORDER_CONSTANT, cv::Scalar(255, 255, 255, 0));
    }
    if (rw > 0 && rh > 0 && (image.cols != rw || image.rows != rh)) {
        if (image.empty())
            image = cv::Mat(rh, rw, CV_8UC3, cv::Scalar::all(255));
        else
            cv::resize(image, image, cv::Size(rw, rh), 0, 0, cv::INTER_LINEAR);
    }
    return image;
}

// The worked slide: 400 x 320 at scan magnification 40, opened at 10.
class Region : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        yelk_double_set_slide(400, 320, 40);
        yelk_double_set_pattern_level(40, 400, 320);
        yelk_double_set_pattern_level(20, 200, 160);
        yelk_double_set_pattern_level(10, 100, 80);
        ASSERT_TRUE(reader.ReadInfo("worked.tqf", 10));
        yelk_double_clear_log();
        level40 = pattern_image(40, 400, 320);
    }

    tqfio::reader reader;
    cv::Mat level40;
};

// One row of the worked table: the request, the tile-level rectangle it
// maps to, the size that rectangle converts back to, the white border and
// the length. The expected pixels are built from these values alone.
struct WorkedCase {
    int x, y, w, h;
    double scale;
    cv::Rect tile_level;
    cv::Size back;
    int top, bottom, left, right;
    int length;
};

class WorkedRegion : public Region, public ::testing::WithParamInterface<WorkedCase> {};

TEST_P(WorkedRegion, GivesTheStatedRectangleBorderAndLength) {
    const WorkedCase &c = GetParam();
    int length = -1;
    const cv::Mat result = read_region(reader, c.x, c.y, c.w, c.h, c.scale, &length);
    ASSERT_EQ(length, c.length);
    ASSERT_EQ(result.size(), cv::Size(c.w, c.h));
    // The mosaic is skipped exactly when the tile-level rectangle is empty.
    EXPECT_EQ(fetched_positions().empty(), c.tile_level.area() == 0);

    cv::Mat expected(c.back.height + c.top + c.bottom, c.back.width + c.left + c.right, CV_8UC3, cv::Scalar::all(255));
    if (c.back.area() > 0) {
        cv::Mat slide_part;
        cv::resize(level40(c.tile_level), slide_part, c.back, 0, 0, cv::INTER_LINEAR);
        ASSERT_FALSE(all_white(slide_part));
        slide_part.copyTo(expected(cv::Rect(cv::Point(c.left, c.top), c.back)));
    }
    // A ratio that is not whole leaves another size, scaled to the request.
    if (expected.size() != result.size())
        cv::resize(expected, expected, result.size(), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(result, expected, cv::NORM_INF), 0);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, WorkedRegion,
    ::testing::Values(WorkedCase{10, 5, 20, 10, 10, cv::Rect(40, 20, 80, 40), cv::Size(20, 10), 0, 0, 0, 0, 600},
                      WorkedCase{-2, 78, 10, 5, 10, cv::Rect(0, 312, 32, 8), cv::Size(8, 2), 0, 3, 2, 0, 150},
                      WorkedCase{120, 10, 5, 4, 10, cv::Rect(400, 40, 0, 16), cv::Size(0, 4), 0, 0, 0, 5, 60},
                      WorkedCase{10, 5, 20, 10, 40, cv::Rect(10, 5, 20, 10), cv::Size(20, 10), 0, 0, 0, 0, 600},
                      WorkedCase{150, 10, 20, 10, 40, cv::Rect(100, 10, 0, 10), cv::Size(0, 10), 0, 0, 0, 20, 600},
                      WorkedCase{90, 70, 20, 20, 10, cv::Rect(360, 280, 40, 40), cv::Size(10, 10), 0, 10, 0, 10, 1200},
                      WorkedCase{-30, -30, 10, 10, 10, cv::Rect(0, 0, 0, 0), cv::Size(0, 0), 10, 0, 10, 0, 300},
                      WorkedCase{1, 0, 10, 4, 30, cv::Rect(1, 0, 13, 5), cv::Size(9, 3), 0, 0, 0, 0, 120}));

TEST_F(Region, RandomRequestsMatchTheModel) {
    std::mt19937 random(20261208);
    const double scales[] = {10, 20, 40, 30, 13.3, 80, 5, 7.5, 1};
    const int read_scales[] = {40, 20, 10};
    const int levels[][2] = {{400, 320}, {200, 160}, {100, 80}};
    cv::Mat level_images[3];
    for (int i = 0; i < 3; ++i)
        level_images[i] = pattern_image(read_scales[i], levels[i][0], levels[i][1]);
    const double open_scales[] = {10, 0, 20, 13.3};
    for (double open_scale : open_scales) {
        ASSERT_TRUE(reader.ReadInfo("worked.tqf", open_scale));
        for (int n = 0; n < 150; ++n) {
            const int level = static_cast<int>(random() % 3);
            reader.setReadScale(static_cast<float>(read_scales[level]));
            const double scale = scales[random() % 9];
            const int x = static_cast<int>(random() % 520) - 60, y = static_cast<int>(random() % 420) - 60;
            const int w = static_cast<int>(random() % 130), h = static_cast<int>(random() % 130);
            int length = -1;
            const cv::Mat result = read_region(reader, x, y, w, h, scale, &length);
            ASSERT_EQ(length, w * h * 3);
            const cv::Mat expected = model_region(level_images[level], reader.getWidth(), reader.getHeight(),
                                                  read_scales[level], x, y, w, h, scale);
            if (length == 0)
                continue;
            ASSERT_EQ(cv::norm(result, expected, cv::NORM_INF), 0)
                << "open " << open_scale << " read scale " << read_scales[level] << " request " << x << ", " << y
                << ", " << w << ", " << h << " at " << scale;
        }
    }
}

TEST_F(Region, EqualSizeReadsShareTheBufferAndOverwriteIt) {
    unsigned char *first = nullptr, *second = nullptr;
    int length = 0;
    reader.ReadRoi(0, 0, 20, 10, 10, &first, &length);
    const cv::Mat kept = cv::Mat(10, 20, CV_8UC3, first).clone();
    reader.ReadRoi(50, 40, 10, 20, 10, &second, &length);  // same byte count, other shape
    EXPECT_EQ(first, second);
    EXPECT_EQ(length, 600);
    const cv::Mat now = read_region(reader, 50, 40, 10, 20, 10);
    EXPECT_EQ(0, std::memcmp(first, now.data, 600));
    EXPECT_NE(0, std::memcmp(first, kept.data, 600));
}

TEST_F(Region, OtherSizeReadGivesANewBufferAndLeavesTheOldOneToItsOwners) {
    unsigned char *first = nullptr, *second = nullptr;
    int length = 0;
    reader.ReadRoi(0, 0, 20, 10, 10, &first, &length);
    std::shared_ptr<unsigned char[]> held = reader.shareResultBuffer();
    ASSERT_EQ(held.get(), first);
    const cv::Mat kept = cv::Mat(10, 20, CV_8UC3, first).clone();
    reader.ReadRoi(0, 0, 40, 10, 40, &second, &length);
    EXPECT_NE(first, second);
    EXPECT_EQ(length, 1200);
    EXPECT_EQ(0, std::memcmp(held.get(), kept.data, 600)) << "an earlier buffer still held is not written";
    // A read at ratio 1 inside the slide assembles straight into the buffer;
    // the next read of another size must not write into that one either.
    std::shared_ptr<unsigned char[]> direct = reader.shareResultBuffer();
    const cv::Mat direct_kept = cv::Mat(10, 40, CV_8UC3, direct.get()).clone();
    read_region(reader, 5, 5, 30, 30, 10);
    EXPECT_EQ(0, std::memcmp(direct.get(), direct_kept.data, 1200));
}

TEST_F(Region, ZeroSizedReadsGiveNullUntilABufferExisted) {
    tqfio::reader fresh;
    ASSERT_TRUE(fresh.ReadInfo("worked.tqf", 10));
    unsigned char *data = reinterpret_cast<unsigned char *>(&fresh);
    int length = -1;
    fresh.ReadRoi(0, 0, 0, 10, 10, &data, &length);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0);
    fresh.ReadRoi(0, 0, 4, 4, 10, &data, &length);
    unsigned char *before = data;
    fresh.ReadRoi(0, 0, 5, 0, 10, &data, &length);
    EXPECT_EQ(length, 0);
    EXPECT_NE(data, nullptr);
    (void)before;
}

TEST_F(Region, ReadAtHalfTheOpeningScaleHalvesTwiceTheTileLevelPixels) {
    ASSERT_TRUE(reader.ReadInfo("worked.tqf", 20));
    const cv::Mat result = read_region(reader, 10, 20, 50, 40, 20);
    cv::Mat expected;
    cv::resize(level40(cv::Rect(20, 40, 100, 80)), expected, cv::Size(50, 40), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(result, expected, cv::NORM_INF), 0);
}

TEST_F(Region, OverflowingCoordinatesGiveWhite) {
    const int cases[][2] = {{INT_MAX, 0}, {INT_MIN, 0}, {0, INT_MAX}, {0, INT_MIN}, {INT_MAX - 5, INT_MAX - 5}};
    for (const auto &c : cases) {
        int length = -1;
        const cv::Mat result = read_region(reader, c[0], c[1], 1, 1, 10, &length);
        ASSERT_EQ(length, 3) << c[0] << ", " << c[1];
        EXPECT_TRUE(all_white(result));
    }
    int length = -1;
    const cv::Mat wide = read_region(reader, INT_MAX - 5, 0, 10, 1, 10, &length);
    EXPECT_EQ(length, 30);
    EXPECT_TRUE(all_white(wide));
}

struct RefusedCase {
    int w, h;
    double scale;
    const char *named;
};

class RefusedRegion : public Region, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedRegion, LeavesTheOutputsAndFetchesNothing) {
    const RefusedCase &c = GetParam();
    unsigned char sentinel = 0;
    unsigned char *data = &sentinel;
    int length = -7;
    CapturedStreams streams;
    reader.ReadRoi(0, 0, c.w, c.h, c.scale, &data, &length);
    EXPECT_EQ(data, &sentinel);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(log(), "");
    const std::string err = streams.err();
    EXPECT_NE(err.find(c.named), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

INSTANTIATE_TEST_SUITE_P(Requests, RefusedRegion,
                         ::testing::Values(RefusedCase{-1, 10, 10, "width -1"}, RefusedCase{10, -3, 10, "height -3"},
                                           RefusedCase{10, 10, 0, "scale 0"}, RefusedCase{10, 10, -0.0, "scale -0"},
                                           RefusedCase{10, 10, -5, "scale -5"},
                                           RefusedCase{10, 10, std::numeric_limits<double>::quiet_NaN(), "scale nan"},
                                           RefusedCase{10, 10, std::numeric_limits<double>::infinity(), "scale inf"},
                                           RefusedCase{40000, 40000, 10, "40000 x 40000"},
                                           RefusedCase{INT_MAX, INT_MAX, 10, "2147483647 x 2147483647"},
                                           RefusedCase{134217729, 1, 10, "width 134217729"},
                                           RefusedCase{0, 134217729, 10, "height 134217729"},
                                           RefusedCase{10, 10, 1e-300, "scale 1e-300"}));

// Far above the read scale one tile-level pixel stands for a million
// requested ones. The region below covers tile-level pixel (0, 0) and, by
// truncation, converts back to a million pixels a side; the result is still
// the request's size, in that pixel's colour, and no image of a million
// pixels a side is made on the way.
TEST_F(Region, FarAboveTheReadScaleGivesTheRequestedSize) {
    ASSERT_TRUE(reader.ReadInfo("worked.tqf", 40e6));
    int length = -1;
    const cv::Mat result = read_region(reader, 999990, 999990, 64, 48, 40e6, &length);
    ASSERT_EQ(length, 64 * 48 * 3);
    const cv::Vec3b corner = level40.at<cv::Vec3b>(0, 0);
    EXPECT_EQ(cv::countNonZero(result.reshape(1) != cv::Mat(result.size(), CV_8UC3, cv::Scalar(corner)).reshape(1)), 0);
}

// A region with no pixels but a vast other side, outside the slide: an
// empty result, not an image of no rows and millions of columns.
TEST_F(Region, EmptyRegionFarOutsideTheSlideIsEmpty) {
    ASSERT_TRUE(reader.ReadInfo("worked.tqf", 40));
    yelk_double_clear_log();
    for (const auto &size : {std::pair<int, int>{100000000, 0}, std::pair<int, int>{0, 100000000}}) {
        unsigned char *data = nullptr;
        int length = -1;
        reader.ReadRoi(402653185, 1677721601, size.first, size.second, 40, &data, &length);
        EXPECT_EQ(length, 0);
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Region, NonPositiveReadScaleIsRefused) {
    reader.setReadScale(0);
    unsigned char *data = nullptr;
    int length = -7;
    CapturedStreams streams;
    reader.ReadRoi(0, 0, 10, 10, 10, &data, &length);
    EXPECT_EQ(length, -7);
    EXPECT_NE(streams.err().find("read scale 0"), std::string::npos);
}

TEST_F(Region, NonWholeRatiosStillFillTheRequestedSizeWithSlidePixels) {
    ASSERT_TRUE(reader.ReadInfo("worked.tqf", 40));
    for (int x = 0; x < 30; ++x) {
        int length = -1;
        const cv::Mat result = read_region(reader, x, x, 17, 13, 30, &length);
        ASSERT_EQ(length, 17 * 13 * 3);
        // Inside the slide no column or row may come back white.
        cv::Mat white_columns;
        cv::reduce(result == 255, white_columns, 0, cv::REDUCE_MIN);
        EXPECT_EQ(cv::countNonZero(white_columns.reshape(1)), 0) << x;
    }
}

#if !defined(__SANITIZE_ADDRESS__)
size_t address_space_in_use() {
    size_t pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%zu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// While alive, the address space is capped at what is in use plus 256 MiB,
// so that a large allocation fails.
class AddressSpaceCap {
public:
    AddressSpaceCap() {
        getrlimit(RLIMIT_AS, &m_saved);
        struct rlimit capped = m_saved;
        capped.rlim_cur = address_space_in_use() + (256u << 20);
        setrlimit(RLIMIT_AS, &capped);
    }
    ~AddressSpaceCap() { setrlimit(RLIMIT_AS, &m_saved); }
    AddressSpaceCap(const AddressSpaceCap &) = delete;
    AddressSpaceCap &operator=(const AddressSpaceCap &) = delete;

private:
    struct rlimit m_saved;
};

TEST_F(Region, FailedAllocationLeavesNoBufferAndReachesTheCaller) {
    yelk_double_set_slide(30000, 30000, 40);
    ASSERT_TRUE(reader.ReadInfo("huge.tqf"));
    read_region(reader, 0, 0, 10, 10, 40);
    EXPECT_EXIT(
        {
            unsigned char *data = nullptr;
            int length = -1;
            bool thrown = false;
            bool released = false;
            {
                AddressSpaceCap cap;
                try {
                    reader.ReadRoi(0, 0, 20000, 20000, 40, &data, &length);
                } catch (const std::bad_alloc &) {
                    thrown = true;
                }
                released = !reader.shareResultBuffer() && length == -1;
            }
            reader.ReadRoi(0, 0, 10, 10, 40, &data, &length);
            std::exit(thrown && released && length == 300 && data ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Region, FailedAllocationLeavesNoWorkingImageOverTheReleasedBuffer) {
    yelk_double_set_slide(30000, 30000, 40);
    yelk_double_set_pattern_level(40, 30000, 30000);
    ASSERT_TRUE(reader.ReadInfo("huge.tqf"));
    EXPECT_EXIT(
        {
            // A ratio-1 read inside the slide assembles straight into the
            // result buffer, which a view still holds after the reader let go.
            read_region(reader, 0, 0, 10, 10, 40);
            std::shared_ptr<unsigned char[]> held = reader.shareResultBuffer();
            const cv::Mat kept = cv::Mat(10, 10, CV_8UC3, held.get()).clone();
            {
                AddressSpaceCap cap;
                unsigned char *data = nullptr;
                int length = -1;
                try {
                    reader.ReadRoi(0, 0, 20000, 20000, 40, &data, &length);
                } catch (const std::bad_alloc &) {
                }
            }
            // Leaves the slide at the top: assembled into the working image,
            // a 10 x 10 tile-level rectangle of other pixels.
            read_region(reader, 100, -5, 10, 15, 40);
            std::exit(cv::norm(cv::Mat(10, 10, CV_8UC3, held.get()), kept, cv::NORM_INF) == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace tqftest
