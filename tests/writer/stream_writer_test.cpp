// The streaming slide writer: bands of any height give the file writeSlide
// gives, tiles reach the file as they are encoded, and misuse is refused
// without leaving a file.
#include "slide_fixtures.h"
#include "tqf_writer.h"

#include <gtest/gtest.h>

#include <atomic>

namespace tqf::testing {
namespace {

SlideWriteOptions fixedOptions() {
    SlideWriteOptions options;
    options.scanTime = 1;
    options.labelText = "same label";
    options.threads = 2;
    return options;
}

// Writes `image` through SlideStreamWriter in bands of the given heights,
// repeated until the image is used up.
SlideWriteResult writeInBands(const cv::Mat &image, const std::string &path, const std::vector<int> &bands,
                              const SlideWriteOptions &options, SlideProgress progress = {}) {
    SlideStreamWriter writer;
    SlideWriteResult result;
    result.error = writer.begin(path, image.cols, image.rows, options, std::move(progress));
    for (size_t i = 0, y = 0; result.ok() && static_cast<int>(y) < image.rows; ++i) {
        const int rows = std::min(bands[i % bands.size()], image.rows - static_cast<int>(y));
        result.error = writer.addRows(image.rowRange(static_cast<int>(y), static_cast<int>(y) + rows));
        y += static_cast<size_t>(rows);
    }
    return result.ok() ? writer.finish() : result;
}

TEST(SlideStreamWriter, AnyBandsGiveTheFileWriteSlideGives) {
    TempDirectory directory;
    // Odd sides: every level has cut-short edge tiles and odd halvings.
    const cv::Mat image = tissueImage(1537, 1283);
    const std::string whole = writeSlideOrFail(image, directory.file("whole.tqf"), fixedOptions());
    ASSERT_FALSE(whole.empty());
    const std::vector<uint8_t> expected = readFileBytes(whole);
    const std::vector<std::vector<int>> bandings = {{1}, {77, 300}, {256}, {1283}, {255, 2}};
    for (const std::vector<int> &bands : bandings) {
        const std::string path = directory.file("bands.tqf");
        const SlideWriteResult result = writeInBands(image, path, bands, fixedOptions());
        ASSERT_TRUE(result.ok()) << result.error;
        EXPECT_EQ(readFileBytes(path), expected) << "bands of " << bands.front() << " rows first";
    }
}

TEST(SlideStreamWriter, ReportsEveryTileOnceUpToTheTotal) {
    TempDirectory directory;
    std::atomic<uint64_t> calls{0}, last{0}, total{0};
    std::atomic<bool> ordered{true};
    const SlideWriteResult result = writeInBands(tissueImage(900, 700), directory.file("progress.tqf"), {100},
                                                 fixedOptions(), [&](uint64_t done, uint64_t all) {
                                                     ordered = ordered && done == last + 1;
                                                     last = done;
                                                     total = all;
                                                     ++calls;
                                                 });
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_TRUE(ordered);
    EXPECT_EQ(calls, result.tileCount);
    EXPECT_EQ(total, result.tileCount);
}

TEST(SlideStreamWriter, RefusesMisuseAndLeavesNothing) {
    TempDirectory directory;
    const std::string path = directory.file("out.tqf");
    const cv::Mat rows = tissueImage(300, 10);
    const struct {
        const char *name;
        std::function<std::string(SlideStreamWriter &)> misuse;
        const char *reason;
    } cases[] = {
        {"rows of another width", [&](SlideStreamWriter &w) { return w.addRows(tissueImage(299, 10)); },
         "rows of 299 pixels given for an image 300 pixels wide"},
        {"grey rows", [&](SlideStreamWriter &w) { return w.addRows(cv::Mat(10, 300, CV_8UC1)); }, "CV_8UC3"},
        {"too many rows",
         [&](SlideStreamWriter &w) {
             const std::string first = w.addRows(tissueImage(300, 15));
             return first.empty() ? w.addRows(rows) : first;
         },
         "more rows given than the image's 20"},
        {"finished early",
         [&](SlideStreamWriter &w) {
             const std::string first = w.addRows(rows);
             return first.empty() ? w.finish().error : first;
         },
         "the slide ends after 10 of its 20 rows"},
        {"rows after an error",
         [&](SlideStreamWriter &w) {
             w.addRows(tissueImage(1, 1));
             return w.addRows(rows);
         },
         "no slide is being written"},
    };
    for (const auto &c : cases) {
        SlideStreamWriter writer;
        ASSERT_EQ(writer.begin(path, 300, 20, fixedOptions()), "");
        EXPECT_NE(c.misuse(writer).find(c.reason), std::string::npos) << c.name;
        writer.discard();
        EXPECT_TRUE(directory.entries().empty()) << c.name;
    }
    SlideStreamWriter writer;
    EXPECT_NE(writer.begin(path, 0, 20).find("empty"), std::string::npos);
    SlideWriteOptions badResolution;
    badResolution.micronsPerPixel = -1;
    EXPECT_NE(writer.begin(path, 10, 10, badResolution).find("resolution"), std::string::npos);
    EXPECT_TRUE(directory.entries().empty());
}

TEST(SlideStreamWriter, RecordsTheGivenResolutionOrTheNominalOne) {
    TempDirectory directory;
    SlideWriteOptions options = fixedOptions();
    options.scanMagnification = 20;
    const std::string nominal = writeSlideOrFail(tissueImage(300, 200), directory.file("nominal.tqf"), options);
    options.micronsPerPixel = 0.2527;
    const std::string measured = writeSlideOrFail(tissueImage(300, 200), directory.file("measured.tqf"), options);
    SlideHandle first = loadSlide(nominal, 0), second = loadSlide(measured, 0);
    ASSERT_TRUE(first && second);
    EXPECT_FLOAT_EQ(first->header->imageCapRes, 0.5f);
    EXPECT_FLOAT_EQ(second->header->imageCapRes, 0.2527f);
}

}  // namespace
}  // namespace tqf::testing
