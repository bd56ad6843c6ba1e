// The writer with levels handed over encoded (copied) or as rows of their
// own (given): the streams stored byte for byte, the rows it asks for, the
// misuse it refuses; and what it stores beside the tiles: the source's
// properties, a given thumbnail, and the level counts it reports.
#include "slide_fixtures.h"
#include "tqf_writer.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <functional>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tqf::testing {
namespace {

constexpr int kTile = 256;

SlideWriteOptions fixedOptions() {
    SlideWriteOptions options;
    options.scanTime = 1;
    options.threads = 2;
    return options;
}

// The tile at (column, row) of `level` as a source stores it: a whole
// 256 x 256 JPEG, padded with white past the level's edge.
std::vector<uint8_t> wholeTile(const cv::Mat &level, int64_t column, int64_t row) {
    cv::Mat tile(kTile, kTile, CV_8UC3, cv::Scalar::all(255));
    const cv::Rect inside = cv::Rect(static_cast<int>(column) * kTile, static_cast<int>(row) * kTile, kTile, kTile) &
                            cv::Rect(0, 0, level.cols, level.rows);
    level(inside).copyTo(tile(cv::Rect(0, 0, inside.width, inside.height)));
    std::vector<uint8_t> stream;
    cv::imencode(".jpg", tile, stream, {cv::IMWRITE_JPEG_QUALITY, 80});
    return stream;
}

TEST(CopiedLevels, StoreTheStreamsAsGivenAndMakeTheLevelBelowFromGivenRows) {
    TempDirectory directory;
    const cv::Mat image = tissueImage(600, 400);  // levels of 3 x 2, 2 x 1 and 1 tile
    SlideWriteOptions options = fixedOptions();
    options.copiedLevels = {0};
    options.givenLevels = {1};
    options.preview = tissueImage(100, 80);
    SlideStreamWriter writer;
    ASSERT_EQ(writer.begin(directory.file("copied.tqf"), 600, 400, options), "");
    EXPECT_FALSE(writer.rowsWanted(0));  // copied, and nothing is made from it
    EXPECT_TRUE(writer.rowsWanted(1));
    EXPECT_FALSE(writer.rowsWanted(2));  // halved from level 1
    std::map<std::pair<int, int>, std::vector<uint8_t>> given;
    for (int row = 1; row >= 0; --row)  // any order
        for (int column = 0; column < 3; ++column) {
            std::vector<uint8_t> stream = row == 1 && column == 1 ? std::vector<uint8_t>{}
                                                                  : wholeTile(image, column, row);
            given[{column, row}] = stream;
            ASSERT_EQ(writer.addTile(0, column, row, stream), "");
        }
    cv::Mat half;
    cv::resize(image, half, cv::Size(300, 200), 0, 0, cv::INTER_AREA);
    ASSERT_EQ(writer.addLevelRows(1, half.rowRange(0, 150)), "");
    ASSERT_EQ(writer.addLevelRows(1, half.rowRange(150, 200)), "");
    const SlideWriteResult result = writer.finish();
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.copiedTileCount, 5u);

    SlideHandle slide = loadSlide(directory.file("copied.tqf"), 0);
    ASSERT_TRUE(slide);
    for (const auto &[place, stream] : given) {
        const Fetched fetched = fetchTile(slide.get(), FetchOperation::kSingle, 40, place.first * kTile,
                                          place.second * kTile);
        if (stream.empty()) {
            EXPECT_EQ(fetched.result, YELK_NOT_STORED);  // a tile the source did not store
            continue;
        }
        ASSERT_EQ(fetched.result, YELK_OK);
        EXPECT_EQ(std::vector<uint8_t>(fetched.stream.begin(), fetched.stream.end()), stream);
    }
    // Level 1 holds the given rows, level 2 their halving.
    const Fetched level1 = fetchTile(slide.get(), FetchOperation::kSingle, 20, 0, 0);
    const Fetched level2 = fetchTile(slide.get(), FetchOperation::kSingle, 10, 0, 0);
    ASSERT_EQ(level1.result, YELK_OK);
    ASSERT_EQ(level2.result, YELK_OK);
    const cv::Mat decoded1 = cv::imdecode(level1.stream, cv::IMREAD_COLOR);
    const cv::Mat decoded2 = cv::imdecode(level2.stream, cv::IMREAD_COLOR);
    EXPECT_GT(psnr(decoded1, half(cv::Rect(0, 0, 256, 200))), 30);
    EXPECT_GT(psnr(decoded2, referenceLevel(half, 1)), 30);
}

TEST(CopiedLevels, TheWriterAsksForTheRowsItNeeds) {
    // 2000 x 1500: levels of 2000, 1000, 500, 250; the preview is made from
    // level 0 (its next is below 1024) unless one is given, the thumbnail
    // from level 3 unless one is given.
    const struct {
        const char *name;
        std::vector<int> copied, given;
        bool preview, thumbnail;
        std::vector<bool> wanted;
    } cases[] = {
        {"nothing copied", {}, {}, false, false, {true, false, false, false}},
        {"level 0 copied, the next made from it", {0}, {1}, true, false, {false, true, false, false}},
        // Level 0 for the preview; level 1 to make level 2 from, decoded
        // rather than halved from level 0: a level is made from the nearest.
        {"an overview of copied levels", {0, 1}, {}, false, false, {true, true, false, false}},
        {"the thumbnail of a copied last level", {0, 1, 2, 3}, {}, true, false, {false, false, false, true}},
        {"all copied, images given", {0, 1, 2, 3}, {}, true, true, {false, false, false, false}},
        {"a copied level between made ones", {2}, {3}, true, false, {true, false, false, true}},
    };
    TempDirectory directory;
    for (const auto &c : cases) {
        SlideWriteOptions options = fixedOptions();
        options.copiedLevels = c.copied;
        options.givenLevels = c.given;
        if (c.preview)
            options.preview = tissueImage(64, 64);
        if (c.thumbnail)
            options.thumbnail = tissueImage(64, 64);
        SlideStreamWriter writer;
        ASSERT_EQ(writer.begin(directory.file("plan.tqf"), 2000, 1500, options), "") << c.name;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(writer.rowsWanted(k), c.wanted[static_cast<size_t>(k)]) << c.name << ", level " << k;
        writer.discard();
    }
}

TEST(CopiedLevels, RefusesMisuseAndLeavesNothing) {
    TempDirectory directory;
    const cv::Mat image = tissueImage(600, 400);
    const std::vector<uint8_t> tile = wholeTile(image, 0, 0);
    // All tiles but one, and the rows level 1 is made from.
    const auto handAllButOne = [&](SlideStreamWriter &w) {
        for (int row = 0; row < 2; ++row)
            for (int column = 0; column < 3; ++column)
                if (column != 1 || row != 0) {
                    const std::string problem = w.addTile(0, column, row, wholeTile(image, column, row));
                    if (!problem.empty())
                        return problem;
                }
        return w.addRows(image);
    };
    const struct {
        const char *name;
        std::function<std::string(SlideStreamWriter &)> misuse;
        const char *reason;
    } cases[] = {
        {"a tile of a level not copied", [&](SlideStreamWriter &w) { return w.addTile(1, 0, 0, tile); },
         "level 1 is not a copied level"},
        {"a tile given twice",
         [&](SlideStreamWriter &w) {
             const std::string first = w.addTile(0, 0, 0, tile);
             return first.empty() ? w.addTile(0, 0, 0, tile) : first;
         },
         "was given twice"},
        {"a tile beyond the level", [&](SlideStreamWriter &w) { return w.addTile(0, 3, 0, tile); },
         "there is no tile at column 3, row 0 of level 0"},
        {"a stream that is no JPEG",
         [&](SlideStreamWriter &w) {
             return w.addTile(0, 0, 0, {1, 2, 3, 4});
         },
         "is no JPEG stream"},
        {"a stream longer than a tile's",
         [&](SlideStreamWriter &w) {
             std::vector<uint8_t> long_stream(YELK_TILE_STREAM_CAPACITY + 1, 0);
             long_stream[0] = 0xFF, long_stream[1] = 0xD8;
             return w.addTile(0, 0, 0, long_stream);
         },
         "more than a tile's 196608"},
        {"pixels of the wrong size",
         [&](SlideStreamWriter &w) { return w.addTilePixels(0, 2, 0, image(cv::Rect(0, 0, 256, 256))); },
         "must be 88 x 256"},
        {"rows of a level not wanted", [&](SlideStreamWriter &w) { return w.addLevelRows(2, image.rowRange(0, 1)); },
         "the rows of level 2 are not wanted"},
        {"a tile missing at the end",
         [&](SlideStreamWriter &w) {
             const std::string problem = handAllButOne(w);
             return problem.empty() ? w.finish().error : problem;
         },
         "level 0 was given 5 of its 6 tiles"},
    };
    for (const auto &c : cases) {
        SlideWriteOptions options = fixedOptions();
        options.copiedLevels = {0};
        options.preview = tissueImage(64, 64);
        SlideStreamWriter writer;
        ASSERT_EQ(writer.begin(directory.file("out.tqf"), 600, 400, options), "") << c.name;
        EXPECT_NE(c.misuse(writer).find(c.reason), std::string::npos) << c.name;
        writer.discard();
        EXPECT_TRUE(directory.entries().empty()) << c.name;
    }
    SlideWriteOptions bad = fixedOptions();
    bad.copiedLevels = {4};
    SlideStreamWriter writer;
    EXPECT_NE(writer.begin(directory.file("out.tqf"), 600, 400, bad).find("the copied level 4 is not one of"),
              std::string::npos);
    SlideWriteOptions forWhole;
    forWhole.givenLevels = {1};
    EXPECT_NE(writeSlide(image, directory.file("whole.tqf"), forWhole).error.find("SlideStreamWriter"),
              std::string::npos);
}

TEST(SlideExtras, TheSourcePropertiesGoIntoARecordTheLibraryHandsOn) {
    TempDirectory directory;
    SlideWriteOptions options = fixedOptions();
    options.sourceProperties = {{"aperio.AppMag", "20"},
                                {"tiff.ImageDescription", "Aperio\r\nline two"},
                                {"empty.value", ""},
                                {"unicode", "\xC2\xB5m"}};
    const std::string path = writeSlideOrFail(tissueImage(300, 200), directory.file("props.tqf"), options);
    for (int readAll : {0, 1}) {
        SlideHandle slide = loadSlide(path, readAll);
        ASSERT_TRUE(slide);
        ASSERT_NE(slide->extension, nullptr);
        ASSERT_EQ(slide->extension->extCount, 1u);
        const TQF_EXTENSION_FIELD &field = slide->extension->data[0];
        EXPECT_EQ(field.id, format::kSourcePropertiesRecord);
        std::vector<std::pair<std::string, std::string>> decoded;
        ASSERT_TRUE(format::decodeProperties(static_cast<const uint8_t *>(field.data), field.length, decoded));
        EXPECT_EQ(decoded, options.sourceProperties);
    }
    const struct {
        std::vector<std::pair<std::string, std::string>> properties;
        const char *reason;
    } refused[] = {
        {{{"", "x"}}, "has no name"},
        {{{"a", "1"}, {"a", "2"}}, "'a' is given twice"},
        {{{std::string("a\0b", 3), "1"}}, "'a' holds a NUL byte"},
        {{{"a", std::string(16u << 20, 'x')}}, "more than 16777216"},
    };
    for (const auto &c : refused) {
        SlideWriteOptions bad = fixedOptions();
        bad.sourceProperties = c.properties;
        const SlideWriteResult result = writeSlide(tissueImage(300, 200), directory.file("bad.tqf"), bad);
        EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
    }
}

TEST(SlideExtras, AGivenThumbnailAndTheLevelCounts) {
    TempDirectory directory;
    SlideWriteOptions options = fixedOptions();
    options.scanMagnification = 1;  // levels of 1x, 0.5x, 0.25x ...: all below 1x fetch as 0
    options.thumbnail = tissueImage(300, 120);
    SlideWriteResult result = writeSlide(tissueImage(3000, 700), directory.file("one.tqf"), options);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.storedLevelCount, 5);
    EXPECT_EQ(result.levelCount, 2);  // 1x and 0.5x: what a reader can fetch
    SlideHandle slide = loadSlide(directory.file("one.tqf"), 0);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->thumbnailHeader->width, 300u);
    EXPECT_EQ(slide->thumbnailHeader->height, 120u);
}

}  // namespace
}  // namespace tqf::testing
