// Preview and label images written to files: contents, atomic replacement,
// and the cases in which nothing may be written.
#include "slide_fixtures.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace tqf::testing {
namespace {

using ExportOperation = int (*)(TQF *, const char *);

std::vector<uint8_t> storedBytes(const std::vector<uint8_t> &file, int64_t position, uint32_t length)
{
    return std::vector<uint8_t>(file.begin() + position, file.begin() + position + length);
}

class ImageExport : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        SlideWriteOptions options;
        options.label = tissueImage(320, 200);
        slidePath = writeSlideOrFail(tissueImage(700, 500), slides.file("slide.tqf"), options);
        ASSERT_FALSE(slidePath.empty());
        label = options.label;
    }
    TempDirectory slides;
    TempDirectory output;
    std::string slidePath;
    cv::Mat label;
};

TEST_P(ImageExport, WritesTheStoredImagesAndLeavesNoTemporaryFile)
{
    SlideHandle slide = loadSlide(slidePath, GetParam());
    ASSERT_TRUE(slide);
    const std::vector<uint8_t> file = readFileBytes(slidePath);
    writeFileBytes(output.file("preview_temp.jpg"), {'o', 'l', 'd'});  // replaced, not appended to

    ASSERT_EQ(yelk_get_preview_image(slide.get(), output.file("preview_temp.jpg").c_str()), YELK_OK);
    ASSERT_EQ(yelk_get_label_image(slide.get(), output.file("label_temp.jpg").c_str()), YELK_OK);
    EXPECT_EQ(output.entries(), (std::vector<std::string>{"label_temp.jpg", "preview_temp.jpg"}));

    const TQF_PREVIEW_HEADER &preview = *slide->previewHeader;
    EXPECT_EQ(readFileBytes(output.file("preview_temp.jpg")), storedBytes(file, preview.position, preview.length));
    const cv::Mat previewImage = cv::imread(output.file("preview_temp.jpg"), cv::IMREAD_COLOR);
    EXPECT_EQ(previewImage.size(), cv::Size(700, 500));  // smaller than 1024: kept at full size

    const cv::Mat labelImage = cv::imread(output.file("label_temp.jpg"), cv::IMREAD_COLOR);
    ASSERT_EQ(labelImage.size(), label.size());
    EXPECT_GT(psnr(labelImage, label), 35.0);
    EXPECT_EQ(slide->labelHeader->width, 320u);
}

TEST_P(ImageExport, FailuresLeaveTheTargetAsItWas)
{
    SlideHandle slide = loadSlide(slidePath, GetParam());
    ASSERT_TRUE(slide);
    const std::string target = output.file("preview_temp.jpg");
    writeFileBytes(target, {'k', 'e', 'e', 'p'});

    EXPECT_EQ(yelk_get_preview_image(nullptr, target.c_str()), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_label_image(nullptr, target.c_str()), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_preview_image(slide.get(), nullptr), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_preview_image(slide.get(), ""), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_preview_image(slide.get(), output.file("missing/preview.jpg").c_str()), YELK_WRITE_FAILED);
    ASSERT_EQ(mkdir(output.file("a-directory").c_str(), 0755), 0);
    EXPECT_EQ(yelk_get_label_image(slide.get(), output.file("a-directory").c_str()), YELK_WRITE_FAILED);
    EXPECT_EQ(yelk_get_label_image(slide.get(), (output.path() + "/").c_str()), YELK_WRITE_FAILED);

    EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(output.entries(), (std::vector<std::string>{"a-directory", "preview_temp.jpg"}));
}

TEST_P(ImageExport, AnImageTheSlideLacksWritesNothing)
{
    // Mark the label absent in the file, as a slide without one stores it.
    std::vector<uint8_t> file = readFileBytes(slidePath);
    TQF_LABEL_HEADER absent;
    std::memcpy(&absent, file.data() + format::kLabelHeaderPosition, sizeof absent);
    absent.exist = 0;
    absent.width = absent.height = absent.length = 0;
    absent.position = 0;
    std::memcpy(file.data() + format::kLabelHeaderPosition, &absent, sizeof absent);
    writeFileBytes(slidePath, file);

    SlideHandle slide = loadSlide(slidePath, GetParam());
    ASSERT_TRUE(slide);
    const std::string target = output.file("label_temp.jpg");
    writeFileBytes(target, {'k', 'e', 'e', 'p'});
    EXPECT_EQ(yelk_get_label_image(slide.get(), target.c_str()), YELK_NOT_STORED);
    EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(yelk_get_preview_image(slide.get(), output.file("preview_temp.jpg").c_str()), YELK_OK);
}

INSTANTIATE_TEST_SUITE_P(ReadAll, ImageExport, ::testing::Values(0, 1));

TEST(ImageExportFromTheFile, ASlideTruncatedWhileOpenFailsCleanly)
{
    TempDirectory directory;
    const std::string path = writeSlideOrFail(tissueImage(600, 400), directory.file("slide.tqf"));
    SlideHandle slide = loadSlide(path, 0);
    ASSERT_TRUE(slide);
    ASSERT_EQ(truncate(path.c_str(), 300), 0);

    const std::string target = directory.file("preview_temp.jpg");
    writeFileBytes(target, {'k', 'e', 'e', 'p'});
    EXPECT_EQ(yelk_get_preview_image(slide.get(), target.c_str()), YELK_READ_FAILED);
    EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(directory.entries(), (std::vector<std::string>{"preview_temp.jpg", "slide.tqf"}));

    // Tile reads of the vanished data fail the same way: length 0, nothing read past it.
    const Fetched tile = fetchTile(slide.get(), FetchOperation::kSingle, 40, 256, 256);
    EXPECT_EQ(tile.result, YELK_READ_FAILED);
    EXPECT_EQ(tile.length, 0u);
}

}  // namespace
}  // namespace tqf::testing
