// The tile mosaic, driven through region reads at the read scale (ratio 1,
// where the tile-level rectangle is the requested one): which tiles are
// fetched and in what order, and what each kind of tile leaves in the result.
#include <cstdint>

#include <opencv2/imgcodecs.hpp>

#include "reader_test_support.h"

namespace tqftest {
namespace {

const int kSlideSide = 2048;

class Mosaic : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        yelk_double_set_slide(kSlideSide, kSlideSide, 40);
        ASSERT_TRUE(reader.ReadInfo("mosaic.tqf"));
        yelk_double_clear_log();
    }

    cv::Mat read(int x, int y, int w, int h) { return read_region(reader, x, y, w, h, 40); }

    tqfio::reader reader;
};

struct FetchCase {
    int x, y, w, h;
    std::vector<std::string> positions;
};

class FetchOrder : public Mosaic, public ::testing::WithParamInterface<FetchCase> {};

TEST_P(FetchOrder, FetchesEveryTouchedTileRowByRowAndCropsExactly) {
    const FetchCase &c = GetParam();
    yelk_double_set_pattern_level(40, kSlideSide, kSlideSide);
    CapturedStreams streams;
    const cv::Mat region = read(c.x, c.y, c.w, c.h);
    EXPECT_EQ(fetched_positions(), c.positions);
    const cv::Mat expected = pattern_image(40, kSlideSide, kSlideSide)(cv::Rect(c.x, c.y, c.w, c.h));
    ASSERT_EQ(region.size(), expected.size());
    EXPECT_EQ(cv::norm(region, expected, cv::NORM_INF), 0);
    EXPECT_EQ(streams.out(), "");
    EXPECT_EQ(streams.err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, FetchOrder,
    ::testing::Values(FetchCase{10, 20, 100, 50, {"0,0"}}, FetchCase{250, 0, 10, 10, {"0,0", "256,0"}},
                      FetchCase{255, 255, 2, 2, {"0,0", "256,0", "0,256", "256,256"}},
                      FetchCase{256, 512, 256, 256, {"256,512"}},
                      FetchCase{300, 700, 600, 300, {"256,512", "512,512", "768,512", "256,768", "512,768", "768,768"}},
                      FetchCase{0, 0, 1, 1, {"0,0"}}, FetchCase{2047, 2047, 1, 1, {"1792,1792"}}));

TEST_F(Mosaic, ReadAllPicksTheInMemoryFetchAndEveryFetchPassesTheReadScale) {
    yelk_double_set_pattern_level(40, kSlideSide, kSlideSide);
    yelk_double_set_pattern_level(20, kSlideSide / 2, kSlideSide / 2);
    read(0, 0, 300, 10);
    EXPECT_EQ(log(), "yelk_get_datablock_stream_single(slide#1, 40, 0, 0)\n"
                     "yelk_get_datablock_stream_single(slide#1, 40, 256, 0)\n");

    ASSERT_TRUE(reader.ReadInfo("mosaic.tqf", 0, true));
    reader.setReadScale(20);
    yelk_double_clear_log();
    read_region(reader, 0, 0, 600, 10, 40);  // 300 tile-level pixels at read scale 20
    EXPECT_EQ(log(), "yelk_get_datablock_stream(slide#2, 20, 0, 0)\n"
                     "yelk_get_datablock_stream(slide#2, 20, 256, 0)\n");
}

TEST_F(Mosaic, AbsentTilesAreWhiteAndSilent) {
    CapturedStreams streams;
    const cv::Mat region = read(100, 100, 500, 300);
    EXPECT_EQ(fetched_positions().size(), 6u);
    EXPECT_TRUE(all_white(region));
    EXPECT_EQ(streams.out() + streams.err(), "");
}

TEST_F(Mosaic, SmallTileLeavesTheRestOfItsCellWhite) {
    const cv::Mat tile = pattern_image(40, 200, 100);
    set_tile(40, 256, 0, encode(tile, ".png"));
    const cv::Mat region = read(0, 0, 768, 256);
    EXPECT_TRUE(all_white(region(cv::Rect(0, 0, 256, 256))));
    EXPECT_EQ(cv::norm(region(cv::Rect(256, 0, 200, 100)), tile, cv::NORM_INF), 0);
    EXPECT_TRUE(all_white(region(cv::Rect(456, 0, 56, 256))));
    EXPECT_TRUE(all_white(region(cv::Rect(256, 100, 256, 156))));
    EXPECT_TRUE(all_white(region(cv::Rect(512, 0, 256, 256))));
}

TEST_F(Mosaic, ShortReportedLengthStillDecodesTheWholeBuffer) {
    const cv::Mat tile = pattern_image(40, 256, 256);
    const std::vector<unsigned char> png = encode(tile, ".png");
    yelk_double_set_tile(40, 0, 0, png.data(), static_cast<unsigned>(png.size()), 1);
    EXPECT_EQ(cv::norm(read(0, 0, 256, 256), tile, cv::NORM_INF), 0);
}

TEST_F(Mosaic, UndecodableStreamLeavesItsCellWhiteAndLaterTilesPasted) {
    const std::vector<unsigned char> junk(5000, 0x5a);
    set_tile(40, 0, 0, junk);
    const cv::Mat tile = pattern_image(40, 256, 256);
    set_tile(40, 256, 0, encode(tile, ".jpg"));
    CapturedStreams streams;
    const cv::Mat region = read(0, 0, 512, 256);
    EXPECT_TRUE(all_white(region(cv::Rect(0, 0, 256, 256))));
    EXPECT_LT(cv::norm(region(cv::Rect(256, 0, 256, 256)), tile, cv::NORM_L1) / (256 * 256 * 3), 8.0);
    EXPECT_EQ(streams.err(), "");
}

TEST_F(Mosaic, OversizeTileInAnInnerCellReachesIntoItsNeighbours) {
    const cv::Mat big(300, 300, CV_8UC3, cv::Scalar(10, 20, 30));
    const cv::Mat later(256, 256, CV_8UC3, cv::Scalar(40, 50, 60));
    set_tile(40, 0, 0, encode(big, ".png"));
    set_tile(40, 256, 256, encode(later, ".png"));
    // (256, 0) and (0, 256) are absent: the large tile's overhang there survives.
    const cv::Mat region = read(0, 0, 512, 512);
    const auto pixel = [&](int x, int y) { return region.at<cv::Vec3b>(y, x); };
    EXPECT_EQ(pixel(299, 0), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(pixel(0, 299), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(pixel(300, 0), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(pixel(0, 300), cv::Vec3b(255, 255, 255));
    // The later tile overwrites the overlap in its own cell.
    EXPECT_EQ(pixel(256, 256), cv::Vec3b(40, 50, 60));
    EXPECT_EQ(pixel(299, 299), cv::Vec3b(40, 50, 60));
    EXPECT_EQ(pixel(511, 511), cv::Vec3b(40, 50, 60));
}

TEST_F(Mosaic, OversizeTileSeenOnlyThroughACropStillReachesLaterCells) {
    const cv::Mat big(300, 256, CV_8UC3, cv::Scalar(1, 2, 3));
    set_tile(40, 0, 0, encode(big, ".png"));
    set_tile(40, 0, 256, encode(pattern_image(40, 100, 20), ".png"));
    const cv::Mat region = read(200, 250, 100, 100);
    EXPECT_EQ(region.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
    // Row 256 + 30 lies below the small tile of the cell (0, 256) but inside the overhang.
    EXPECT_EQ(region.at<cv::Vec3b>(36, 50), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(region.at<cv::Vec3b>(60, 50), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(region.at<cv::Vec3b>(3, 99), cv::Vec3b(255, 255, 255));
}

// A 1 x 1 PNG whose header claims width x height pixels, with a valid CRC, so
// that the image library raises its size error while decoding it.
std::vector<unsigned char> png_claiming(uint32_t width, uint32_t height) {
    std::vector<unsigned char> png = encode(cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(0)), ".png");
    const auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            png[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    };
    put32(16, width);
    put32(20, height);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 12; i < 29; ++i) {
        crc ^= png[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    put32(29, crc ^ 0xFFFFFFFFu);
    return png;
}

std::string image_library_error(const std::vector<unsigned char> &stream) {
    try {
        cv::imdecode(stream, cv::IMREAD_COLOR);
    } catch (const cv::Exception &e) {
        return e.what();
    }
    return "";
}

TEST_F(Mosaic, TileErrorIsReportedAndLaterTilesAreStillPasted) {
    const std::vector<unsigned char> bad = png_claiming(60000, 60000);
    const std::string error = image_library_error(bad);
    ASSERT_FALSE(error.empty()) << "the crafted stream must make the image library raise";
    set_tile(40, 512, 768, bad);
    yelk_double_set_pattern_level(40, kSlideSide, kSlideSide);
    CapturedStreams streams;
    const cv::Mat region = read(300, 700, 600, 300);
    EXPECT_EQ(streams.err(), error + "  mosaic.tqf     300     700\n2       3\n");
    EXPECT_EQ(fetched_positions().size(), 6u);
    const cv::Mat expected = pattern_image(40, kSlideSide, kSlideSide)(cv::Rect(300, 700, 600, 300));
    // The failed cell (512..767, 768..1023) is white, everything else is the pattern.
    const cv::Rect failed(512 - 300, 768 - 700, 256, 1000 - 768);
    EXPECT_TRUE(all_white(region(failed)));
    cv::Mat masked = region.clone(), masked_expected = expected.clone();
    masked(failed).setTo(0);
    masked_expected(failed).setTo(0);
    EXPECT_EQ(cv::norm(masked, masked_expected, cv::NORM_INF), 0);
}

TEST_F(Mosaic, OversizeTileInTheLastColumnIsATileErrorAndItsCellStaysWhite) {
    const cv::Mat big(300, 300, CV_8UC3, cv::Scalar(9, 9, 9));
    set_tile(40, 256, 0, encode(big, ".png"));
    CapturedStreams streams;
    const cv::Mat region = read(0, 0, 512, 256);
    EXPECT_TRUE(all_white(region));
    const std::string err = streams.err();
    EXPECT_NE(err.find("Assertion failed"), std::string::npos) << err;
    EXPECT_NE(err.find("  mosaic.tqf       0       0\n1       0\n"), std::string::npos) << err;
}

TEST_F(Mosaic, EmptyRectangleFetchesAndPrintsNothing) {
    yelk_double_set_pattern_level(40, kSlideSide, kSlideSide);
    CapturedStreams streams;
    int length = -1;
    read_region(reader, 10, 10, 0, 5, 40, &length);
    read_region(reader, 10, 10, 5, 0, 40, &length);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(streams.out() + streams.err(), "");
}

TEST_F(Mosaic, NoSlideOpenPrintsEmptyPointerAndGivesWhite) {
    yelk_double_fail_path("gone.tqf");
    {
        CapturedStreams quiet;
        ASSERT_FALSE(reader.ReadInfo("gone.tqf"));
    }
    yelk_double_clear_log();
    CapturedStreams streams;
    int length = 0;
    const cv::Mat region = read_region(reader, 5, 5, 40, 30, 40, &length);
    EXPECT_EQ(length, 40 * 30 * 3);
    EXPECT_TRUE(all_white(region));
    EXPECT_EQ(streams.out(), "Empty tqf pointer");
    EXPECT_EQ(log(), "");
    // Written at once, with no end of line of its own.
    EXPECT_EQ(interleaved_output([&] { read_region(reader, 5, 5, 40, 30, 40); }), "Empty tqf pointer");
}

}  // namespace
}  // namespace tqftest
