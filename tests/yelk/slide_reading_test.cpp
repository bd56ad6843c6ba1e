// Reading slides made by the writer: header records, the level table, and
// every stored tile with both read-all flags and both tile-stream operations.
#include "slide_fixtures.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <tuple>

#include <opencv2/imgcodecs.hpp>

namespace tqf::testing {
namespace {

constexpr int kWidth = 1500;
constexpr int kHeight = 1100;

class SlideReading : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = new TempDirectory;
        source = new cv::Mat(tissueImage(kWidth, kHeight));
        SlideWriteOptions options;
        options.scanTime = 1700000000;
        slidePath = new std::string(writeSlideOrFail(*source, directory->file("slide.tqf"), options));
    }
    static void TearDownTestSuite() {
        delete slidePath;
        delete source;
        delete directory;
    }
    static TempDirectory *directory;
    static cv::Mat *source;
    static std::string *slidePath;
};
TempDirectory *SlideReading::directory = nullptr;
cv::Mat *SlideReading::source = nullptr;
std::string *SlideReading::slidePath = nullptr;

TEST_F(SlideReading, HeaderRecordsDescribeTheSlide) {
    SlideHandle slide = loadSlide(*slidePath, 0);
    ASSERT_TRUE(slide);
    const TQF_HEADER &header = *slide->header;
    EXPECT_EQ(header.startFlag, format::kHeaderStartFlag);
    EXPECT_EQ(header.endFlag, format::kHeaderEndFlag);
    EXPECT_STREQ(header.fileFormat, "TQF");
    EXPECT_STREQ(header.compressType, "JPEG");
    EXPECT_EQ(header.version, 1.0f);
    EXPECT_EQ(header.imageWidth, kWidth);
    EXPECT_EQ(header.imageHeight, kHeight);
    EXPECT_EQ(header.scanScale, 40);
    EXPECT_EQ(static_cast<INT64>(header.scanTime), 1700000000);  // a copy: the field is unaligned
    EXPECT_FLOAT_EQ(header.imageCapRes, 0.25f);
    EXPECT_EQ(header.imageBlockLen, 256);
    // 6 x 5 + 3 x 3 + 2 x 2 + 1 tiles on levels of 1500, 750, 375 and 188 pixels.
    EXPECT_EQ(header.dataBlockCount, 44);

    struct stat info;
    ASSERT_EQ(stat(slidePath->c_str(), &info), 0);
    EXPECT_EQ(slide->fileSize, static_cast<UINT64>(info.st_size));
    EXPECT_EQ(static_cast<UINT64>(header.freeInfo), slide->fileSize);
    EXPECT_EQ(slide->headerLength, 96u);
    EXPECT_NE(slide->infile, nullptr);
    ASSERT_NE(slide->extension, nullptr);
    EXPECT_EQ(slide->extension->extCount, 0u);
    EXPECT_EQ(slide->previewHeaderLength, 52u);
    EXPECT_EQ(slide->labelHeaderLength, 52u);
    EXPECT_EQ(slide->previewHeader->exist, 1u);
    EXPECT_EQ(std::max(slide->previewHeader->width, slide->previewHeader->height), 1024u);
    EXPECT_EQ(slide->labelHeader->exist, 1u);
    EXPECT_EQ(slide->thumbnailHeader->width, 188u);
    EXPECT_EQ(slide->thumbnailHeader->height, 138u);

    // The block array is in level, row, column order with true edge sizes.
    const TQF_DATABLOCK_HEADER &lastOfScanLevel = slide->dataBlockHeader[29];
    EXPECT_EQ(lastOfScanLevel.posX, 1280);
    EXPECT_EQ(lastOfScanLevel.posY, 1024);
    EXPECT_EQ(lastOfScanLevel.width, 220u);
    EXPECT_EQ(lastOfScanLevel.height, 76u);
    EXPECT_EQ(lastOfScanLevel.scaleRatio, 40.0f);
    EXPECT_EQ(slide->dataBlockHeader[30].scaleRatio, 20.0f);
    EXPECT_EQ(slide->dataBlockHeader[43].scaleRatio, 5.0f);
}

// (read-all flag, operation): every combination must serve every tile.
class EveryTile : public SlideReading, public ::testing::WithParamInterface<std::tuple<int, FetchOperation>> {};

TEST_P(EveryTile, IsStoredAtItsPositionAndDecodesToTheReducedSource) {
    const auto [readAll, operation] = GetParam();
    SlideHandle slide = loadSlide(*slidePath, readAll);
    ASSERT_TRUE(slide);
    int tiles = 0;
    for (const format::Level &level : format::pyramidLevels(kWidth, kHeight, 40)) {
        const cv::Mat reference = referenceLevel(*source, level.index);
        ASSERT_EQ(reference.cols, level.width);
        for (int y = 0; y < level.height; y += 256) {
            for (int x = 0; x < level.width; x += 256) {
                const Fetched tile = fetchTile(slide.get(), operation, level.address, x, y);
                ASSERT_EQ(tile.result, YELK_OK) << "level " << level.index << " x " << x << " y " << y;
                const cv::Mat decoded = cv::imdecode(tile.stream, cv::IMREAD_COLOR);
                ASSERT_FALSE(decoded.empty());
                const cv::Rect expected(x, y, std::min(256, int(level.width) - x),
                                        std::min(256, int(level.height) - y));
                ASSERT_EQ(decoded.size(), expected.size()) << "level " << level.index << " x " << x << " y " << y;
                // Reduced levels hold more detail per pixel, which JPEG keeps less
                // well in colour (about 31 dB at 5x), while luminance stays above 35 dB.
                EXPECT_GT(psnr(decoded, reference(expected)), level.index == 0 ? 35.0 : 30.0)
                    << "level " << level.index << " x " << x << " y " << y;
                EXPECT_GT(lumaPsnr(decoded, reference(expected)), 35.0)
                    << "level " << level.index << " x " << x << " y " << y;
                ++tiles;
            }
        }
    }
    EXPECT_EQ(tiles, 44);
}

INSTANTIATE_TEST_SUITE_P(ReadAllAndOperation, EveryTile,
                         ::testing::Combine(::testing::Values(0, 1),
                                            ::testing::Values(FetchOperation::kReadAll, FetchOperation::kSingle)));

struct Absent {
    const char *why;
    UINT32 scale;
    INT32 x;
    INT32 y;
};

TEST_F(SlideReading, PositionsWithoutATileLeaveTheLengthUnchanged) {
    const Absent cases[] = {
        {"right of the scan level", 40, 1536, 0},
        {"below the scan level", 40, 0, 1280},
        {"right of the 20x level", 20, 768, 0},
        {"below the 5x level", 5, 0, 256},
        {"negative x", 40, -256, 0},
        {"negative y", 40, 0, -256},
        {"most negative x", 40, INT32_MIN, 0},
        {"x not a multiple of 256", 40, 128, 0},
        {"y not a multiple of 256", 40, 0, 1},
        {"a scale between levels", 30, 0, 0},
        {"a scale below the coarsest level", 2, 0, 0},
        {"a scale above the scan", 41, 0, 0},
        {"the largest scale", UINT32_MAX, 0, 0},
        {"scale zero", 0, 0, 0},
    };
    for (int readAll = 0; readAll <= 1; ++readAll) {
        SlideHandle slide = loadSlide(*slidePath, readAll);
        ASSERT_TRUE(slide);
        for (const Absent &absent : cases) {
            std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY);
            UINT32 length = 12345;
            EXPECT_EQ(yelk_get_datablock_stream(slide.get(), absent.scale, absent.x, absent.y, buffer.data(), &length),
                      YELK_NOT_STORED)
                << absent.why;
            EXPECT_EQ(
                yelk_get_datablock_stream_single(slide.get(), absent.scale, absent.x, absent.y, buffer.data(), &length),
                YELK_NOT_STORED)
                << absent.why;
            EXPECT_EQ(length, 12345u) << absent.why;
        }
    }
}

TEST_F(SlideReading, StreamEndsByItselfWhateverFollowsInTheBuffer) {
    SlideHandle slide = loadSlide(*slidePath, 0);
    ASSERT_TRUE(slide);
    std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY, '\xff');
    UINT32 length = 0;
    ASSERT_EQ(yelk_get_datablock_stream_single(slide.get(), 40, 1280, 1024, buffer.data(), &length), YELK_OK);
    const cv::Mat exact = cv::imdecode(std::vector<char>(buffer.begin(), buffer.begin() + length), cv::IMREAD_COLOR);
    const cv::Mat whole = cv::imdecode(buffer, cv::IMREAD_COLOR);
    ASSERT_EQ(whole.size(), cv::Size(220, 76));
    EXPECT_EQ(cv::norm(exact, whole, cv::NORM_INF), 0.0);
}

TEST_F(SlideReading, NullArgumentsAreRefused) {
    SlideHandle slide = loadSlide(*slidePath, 1);
    ASSERT_TRUE(slide);
    std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY);
    UINT32 length = 0;
    EXPECT_EQ(yelk_get_datablock_stream(nullptr, 40, 0, 0, buffer.data(), &length), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_datablock_stream_single(slide.get(), 40, 0, 0, nullptr, &length), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_datablock_stream(slide.get(), 40, 0, 0, buffer.data(), nullptr), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_unload_image(nullptr, 0), YELK_BAD_ARGUMENT);
    EXPECT_EQ(length, 0u);
}

TEST(SlideLevels, NonWholeMagnificationsAreAddressedTruncatedAndTheFinestAnswers) {
    // At 5x a 2100-pixel slide has levels 5, 2.5, 1.25, 0.625 and 0.3125:
    // addressed as 5, 2, 1, 0 and 0.
    TempDirectory directory;
    SlideWriteOptions options;
    options.scanMagnification = 5;
    const std::string path = writeSlideOrFail(tissueImage(2100, 300), directory.file("five.tqf"), options);
    SlideHandle slide = loadSlide(path, 0);
    ASSERT_TRUE(slide);
    struct Expected {
        UINT32 scale;
        INT32 x;
        int width;  // 0: no tile
    };
    const Expected cases[] = {
        {5, 2048, 52}, {2, 1024, 26}, {1, 512, 13}, {0, 256, 7}, {3, 0, 0}, {4, 0, 0}, {6, 0, 0},
    };
    for (const Expected &expected : cases) {
        const Fetched tile = fetchTile(slide.get(), FetchOperation::kSingle, expected.scale, expected.x, 0);
        if (expected.width == 0) {
            EXPECT_EQ(tile.result, YELK_NOT_STORED) << "scale " << expected.scale;
            continue;
        }
        ASSERT_EQ(tile.result, YELK_OK) << "scale " << expected.scale;
        EXPECT_EQ(cv::imdecode(tile.stream, cv::IMREAD_COLOR).cols, expected.width) << "scale " << expected.scale;
    }
}

}  // namespace
}  // namespace tqf::testing
