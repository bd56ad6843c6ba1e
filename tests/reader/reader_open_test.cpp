// Opening a slide: geometry at the opening scale, the extension test, failed
// loads, reopening, the read scale and teardown, as the slide library sees
// them through the recording double.
#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "reader_test_support.h"

namespace tqftest {
namespace {

class ReaderOpen : public DoubleTest {};

// The public methods keep the signatures native callers compile against.
using tqfio::reader;
static_assert(std::is_same_v<decltype(&reader::ReadInfo), bool (reader::*)(const std::string &, double, bool)>);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
static_assert(std::is_same_v<decltype(&reader::getWidth), const int (reader::*)() const>);
static_assert(std::is_same_v<decltype(&reader::getHeight), const int (reader::*)() const>);
#pragma GCC diagnostic pop
static_assert(std::is_same_v<decltype(&reader::getReadScale), int (reader::*)()>);
static_assert(std::is_same_v<decltype(&reader::setReadScale), void (reader::*)(float)>);
static_assert(
    std::is_same_v<decltype(&reader::ReadRoi), void (reader::*)(int, int, int, int, double, unsigned char **, int *)>);
static_assert(std::is_same_v<decltype(&reader::ReadPreview), int (reader::*)(unsigned char **, int *)>);
static_assert(std::is_same_v<decltype(&reader::readLabelImage), int (reader::*)(unsigned char **, int *)>);

struct GeometryCase {
    int width, height, scan;
    double scale;
    int expected_width, expected_height;
};

class OpeningGeometry : public DoubleTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(OpeningGeometry, CountsTheSlideAtTheOpeningScale) {
    const GeometryCase &c = GetParam();
    yelk_double_set_slide(c.width, c.height, c.scan);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("slide.tqf", c.scale));
    EXPECT_EQ(reader.getWidth(), c.expected_width);
    EXPECT_EQ(reader.getHeight(), c.expected_height);
    EXPECT_EQ(reader.getReadScale(), c.scan);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, OpeningGeometry,
    ::testing::Values(GeometryCase{999, 777, 40, 0, 999, 777}, GeometryCase{999, 777, 40, 20, 500, 389},
                      GeometryCase{999, 777, 40, 10, 250, 194}, GeometryCase{999, 777, 40, 13.3, 332, 258},
                      GeometryCase{999, 777, 40, -3, 999, 777}, GeometryCase{999, 777, 40, kNaN, 999, 777},
                      GeometryCase{999, 777, 40, 80, 1998, 1554}, GeometryCase{0, 0, 20, 5, 0, 0},
                      GeometryCase{3, 1, 20, 10, 2, 1}));

TEST_F(ReaderOpen, DefaultsOpenAtTheScanMagnificationWithoutReadAll) {
    yelk_double_set_slide(1000, 800, 40);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("a.tqf"));
    EXPECT_EQ(log(), "yelk_load_image(a.tqf, 0)\n");
    EXPECT_EQ(reader.getWidth(), 1000);
    EXPECT_EQ(reader.getReadScale(), 40);
}

TEST_F(ReaderOpen, ConstructedReaderHasZeroGeometryAndReadScale20) {
    tqfio::reader reader;
    EXPECT_EQ(reader.getWidth(), 0);
    EXPECT_EQ(reader.getHeight(), 0);
    EXPECT_EQ(reader.getReadScale(), 20);
    EXPECT_FALSE(std::is_copy_constructible<tqfio::reader>::value);
    EXPECT_FALSE(std::is_copy_assignable<tqfio::reader>::value);
}

struct ExtensionCase {
    const char *path;
    bool accepted;
};

class ExtensionTest : public DoubleTest, public ::testing::WithParamInterface<ExtensionCase> {};

TEST_P(ExtensionTest, OnlyPathsEndingInDotTqfReachTheLibrary) {
    yelk_double_set_slide(10, 10, 20);
    tqfio::reader reader;
    CapturedStreams streams;
    const bool opened = reader.ReadInfo(GetParam().path);
    EXPECT_EQ(opened, GetParam().accepted);
    if (GetParam().accepted) {
        EXPECT_EQ(log(), "yelk_load_image(" + std::string(GetParam().path) + ", 0)\n");
        EXPECT_EQ(streams.err(), "");
    } else {
        EXPECT_EQ(log(), "");
        EXPECT_EQ(streams.err(), std::string(GetParam().path) + " not a tqf file.\n");
    }
    EXPECT_EQ(streams.out(), "");
}

INSTANTIATE_TEST_SUITE_P(Paths, ExtensionTest,
                         ::testing::Values(ExtensionCase{".tqf", true}, ExtensionCase{"x.tqf.tqf", true},
                                           ExtensionCase{"dir/slide.tqf", true}, ExtensionCase{"slide.TQF", false},
                                           ExtensionCase{"tqf", false}, ExtensionCase{"", false},
                                           ExtensionCase{"a.tqf.bak", false}, ExtensionCase{"slide.tqf ", false},
                                           ExtensionCase{"slidetqf", false}));

TEST_F(ReaderOpen, FailedLoadDumpsThePathInHexOnStdoutAndReportsOnStderr) {
    tqfio::reader reader;
    CapturedStreams streams;
    EXPECT_FALSE(reader.ReadInfo("ab.tqf"));
    EXPECT_EQ(streams.out(), "61 62 2e 74 71 66 ");
    EXPECT_EQ(streams.err(), "Read ab.tqf failed.\n");
}

TEST_F(ReaderOpen, HexDumpIsOutBeforeTheErrorLine) {
    tqfio::reader reader;
    EXPECT_EQ(interleaved_output([&] { reader.ReadInfo("ab.tqf"); }), "61 62 2e 74 71 66 Read ab.tqf failed.\n");
}

TEST_F(ReaderOpen, HexDumpTreatsBytesAsUnsigned) {
    tqfio::reader reader;
    CapturedStreams streams;
    EXPECT_FALSE(reader.ReadInfo("\xc3\xa9\x01.tqf"));
    EXPECT_EQ(streams.out(), "c3 a9 1 2e 74 71 66 ");
}

TEST_F(ReaderOpen, ReopeningUnloadsFirstWithTheNewReadAllFlag) {
    yelk_double_set_slide(400, 300, 40);
    yelk_double_add_slide("second.tqf", 800, 600, 20);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("first.tqf", 0, false));
    reader.setReadScale(10);
    ASSERT_TRUE(reader.ReadInfo("second.tqf", 10, true));
    EXPECT_EQ(log(), "yelk_load_image(first.tqf, 0)\n"
                     "yelk_unload_image(slide#1, 1)\n"
                     "yelk_load_image(second.tqf, 1)\n");
    EXPECT_EQ(reader.getWidth(), 400);
    EXPECT_EQ(reader.getHeight(), 300);
    EXPECT_EQ(reader.getReadScale(), 20);
}

TEST_F(ReaderOpen, RejectedPathKeepsTheOpenSlide) {
    yelk_double_set_slide(400, 300, 40);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("first.tqf", 20));
    CapturedStreams streams;
    EXPECT_FALSE(reader.ReadInfo("first.png", 40, true));
    EXPECT_EQ(reader.getWidth(), 200);
    EXPECT_EQ(yelk_double_live_handles(), 1);
    EXPECT_EQ(log(), "yelk_load_image(first.tqf, 0)\n");
    // The slide still serves tiles, and diagnostics now name the rejected path.
    yelk_double_set_pattern_level(40, 400, 300);
    yelk_double_clear_log();
    cv::Mat region = read_region(reader, 0, 0, 10, 10, 20);
    EXPECT_FALSE(region.empty());
    EXPECT_NE(log().find("yelk_get_datablock_stream(slide#1, 40, 0, 0)"), std::string::npos)
        << "read-all of the rejected call picks the fetch operation";
}

TEST_F(ReaderOpen, FailedReopenLeavesNoSlideButKeepsTheOldGeometry) {
    yelk_double_set_slide(400, 300, 40);
    yelk_double_fail_path("missing.tqf");
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("first.tqf", 20));
    reader.setReadScale(10);
    CapturedStreams streams;
    EXPECT_FALSE(reader.ReadInfo("missing.tqf", 40));
    EXPECT_EQ(yelk_double_live_handles(), 0);
    EXPECT_EQ(reader.getWidth(), 200);
    EXPECT_EQ(reader.getHeight(), 150);
    EXPECT_EQ(reader.getReadScale(), 10);
}

TEST_F(ReaderOpen, PathWithNulIsRefusedBeforeTheLibrarySeesIt) {
    yelk_double_set_slide(400, 300, 40);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("first.tqf"));
    CapturedStreams streams;
    EXPECT_FALSE(reader.ReadInfo(std::string("other\0.tqf", 10)));
    EXPECT_EQ(log(), "yelk_load_image(first.tqf, 0)\n");
    EXPECT_EQ(yelk_double_live_handles(), 1);
    EXPECT_EQ(reader.getWidth(), 400);
    const std::string err = streams.err();
    EXPECT_NE(err.find("other\\0.tqf"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

struct BadHeaderCase {
    int width, height, scan;
};

class BadHeader : public DoubleTest, public ::testing::WithParamInterface<BadHeaderCase> {};

TEST_P(BadHeader, IsUnloadedAndRefused) {
    yelk_double_set_slide(GetParam().width, GetParam().height, GetParam().scan);
    tqfio::reader reader;
    CapturedStreams streams;
    EXPECT_FALSE(reader.ReadInfo("bad.tqf"));
    EXPECT_EQ(log(), "yelk_load_image(bad.tqf, 0)\nyelk_unload_image(slide#1, 0)\n");
    EXPECT_EQ(yelk_double_live_handles(), 0);
    EXPECT_NE(streams.err().find("bad.tqf"), std::string::npos);
    EXPECT_EQ(reader.getReadScale(), 20);
    EXPECT_EQ(reader.getWidth(), 0);
}

INSTANTIATE_TEST_SUITE_P(Headers, BadHeader,
                         ::testing::Values(BadHeaderCase{100, 100, 0}, BadHeaderCase{100, 100, -40},
                                           BadHeaderCase{-1, 100, 40}, BadHeaderCase{100, -1, 40}));

TEST_F(ReaderOpen, OpeningScaleThatOverflowsIntIsRefused) {
    yelk_double_set_slide(100000, 100000, 40);
    tqfio::reader reader;
    CapturedStreams streams;
    EXPECT_FALSE(reader.ReadInfo("huge.tqf", 1e9));
    EXPECT_FALSE(reader.ReadInfo("huge.tqf", std::numeric_limits<double>::infinity()));
    EXPECT_EQ(yelk_double_live_handles(), 0);
    EXPECT_TRUE(reader.ReadInfo("huge.tqf", 40));
}

struct ReadScaleCase {
    float value;
    int expected;
};

class ReadScale : public DoubleTest, public ::testing::WithParamInterface<ReadScaleCase> {};

TEST_P(ReadScale, TruncatesTowardZeroWithoutTouchingGeometry) {
    yelk_double_set_slide(400, 300, 40);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("s.tqf", 20));
    CapturedStreams streams;
    reader.setReadScale(GetParam().value);
    EXPECT_EQ(reader.getReadScale(), GetParam().expected);
    EXPECT_EQ(reader.getWidth(), 200);
    EXPECT_EQ(reader.getHeight(), 150);
}

INSTANTIATE_TEST_SUITE_P(Values, ReadScale,
                         ::testing::Values(ReadScaleCase{10.9f, 10}, ReadScaleCase{19.9f, 19}, ReadScaleCase{-2.5f, -2},
                                           ReadScaleCase{0.5f, 0},
                                           // No integer to truncate to: the read scale stays.
                                           ReadScaleCase{std::numeric_limits<float>::quiet_NaN(), 40},
                                           ReadScaleCase{3e9f, 40},
                                           ReadScaleCase{std::numeric_limits<float>::infinity(), 40}));

TEST_F(ReaderOpen, SuccessfulOpenResetsTheReadScale) {
    yelk_double_set_slide(400, 300, 40);
    tqfio::reader reader;
    reader.setReadScale(5);
    ASSERT_TRUE(reader.ReadInfo("s.tqf"));
    EXPECT_EQ(reader.getReadScale(), 40);
}

TEST_F(ReaderOpen, DestructionUnloadsTheSlideOrPassesNull) {
    yelk_double_set_slide(400, 300, 40);
    { tqfio::reader never_opened; }
    EXPECT_EQ(log(), "yelk_unload_image(null, 0)\n");
    yelk_double_clear_log();
    {
        tqfio::reader reader;
        ASSERT_TRUE(reader.ReadInfo("s.tqf", 0, true));
    }
    EXPECT_EQ(log(), "yelk_load_image(s.tqf, 1)\nyelk_unload_image(slide#1, 1)\n");
    EXPECT_EQ(yelk_double_live_handles(), 0);
}

}  // namespace
}  // namespace tqftest
