// Preview and label images through the recording double: the scratch files,
// the buffers handed to the caller, and images the library did not write.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "reader_test_support.h"

namespace tqftest {
namespace {

// Runs each test in a fresh working directory.
class ScratchImages : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        char pattern[] = "/tmp/tqf-scratch-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
        ASSERT_EQ(chdir(directory.c_str()), 0);
        yelk_double_set_slide(1000, 800, 40);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous), 0);
        ASSERT_EQ(std::system(("rm -rf " + directory).c_str()), 0);
        DoubleTest::TearDown();
    }

    static bool exists(const char *name) {
        struct stat info;
        return stat(name, &info) == 0;
    }

    static int read_preview(tqfio::reader &reader, cv::Mat *image, int *length) {
        unsigned char *data = nullptr;
        *length = -1;
        const int width = reader.ReadPreview(&data, length);
        const int height = width ? *length / (3 * width) : 0;
        *image = cv::Mat(height, width, CV_8UC3, data).clone();
        delete[] data;
        return width;
    }

    std::string directory;
    char previous[4096];
};

TEST_F(ScratchImages, PreviewComesBackAsRowsOfBgrPixels) {
    cv::Mat preview(240, 320, CV_8UC3);
    cv::randu(preview, 0, 256);
    const std::vector<unsigned char> png = encode(preview, ".png");
    yelk_double_set_preview(png.data(), static_cast<unsigned>(png.size()));
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("s.tqf"));
    yelk_double_clear_log();
    cv::Mat image;
    int length = 0;
    EXPECT_EQ(read_preview(reader, &image, &length), 320);
    EXPECT_EQ(length, 230400);
    EXPECT_EQ(cv::norm(image, preview, cv::NORM_INF), 0);
    EXPECT_EQ(log(), "yelk_get_preview_image(slide#1, preview_temp.jpg)\n");
    EXPECT_TRUE(exists("preview_temp.jpg")) << "the scratch file stays behind";
}

TEST_F(ScratchImages, GrayscalePreviewGivesThreeEqualBytesPerPixel) {
    cv::Mat gray(30, 40, CV_8UC1);
    cv::randu(gray, 0, 256);
    const std::vector<unsigned char> png = encode(gray, ".png");
    yelk_double_set_preview(png.data(), static_cast<unsigned>(png.size()));
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("s.tqf"));
    cv::Mat image;
    int length = 0;
    ASSERT_EQ(read_preview(reader, &image, &length), 40);
    std::vector<cv::Mat> channels;
    cv::split(image, channels);
    EXPECT_EQ(cv::norm(channels[0], gray, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(channels[1], gray, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(channels[2], gray, cv::NORM_INF), 0);
}

TEST_F(ScratchImages, NoSlideAndNoFileGivesAnEmptyBufferOfItsOwn) {
    tqfio::reader reader;
    unsigned char *data = nullptr;
    int length = -1;
    EXPECT_EQ(reader.ReadPreview(&data, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_NE(data, nullptr);
    delete[] data;
    EXPECT_EQ(log(), "yelk_get_preview_image(null, preview_temp.jpg)\n");
}

TEST_F(ScratchImages, ImageLeftByAnEarlierCallIsNeverReturnedButKept) {
    const std::vector<unsigned char> png = encode(cv::Mat(10, 20, CV_8UC3, cv::Scalar(1, 2, 3)), ".png");
    yelk_double_set_preview(png.data(), static_cast<unsigned>(png.size()));
    {
        tqfio::reader first;
        ASSERT_TRUE(first.ReadInfo("first.tqf"));
        cv::Mat image;
        int length = 0;
        ASSERT_EQ(read_preview(first, &image, &length), 20);
    }
    // The next slide has no preview, and a reader without a slide gets none.
    yelk_double_set_preview(nullptr, 0);
    tqfio::reader second, none;
    ASSERT_TRUE(second.ReadInfo("second.tqf"));
    for (tqfio::reader *reader : {&second, &none}) {
        cv::Mat image;
        int length = -1;
        EXPECT_EQ(read_preview(*reader, &image, &length), 0);
        EXPECT_EQ(length, 0);
    }
    ASSERT_TRUE(exists("preview_temp.jpg"));
    EXPECT_EQ(cv::imread("preview_temp.jpg").cols, 20) << "the earlier file is put back untouched";
    EXPECT_EQ(std::system("test $(ls -A | wc -l) -eq 1"), 0) << "no set-aside file is left";
}

TEST_F(ScratchImages, LabelNotWrittenTakesTheFailureExit) {
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("dir/s.tqf"));
    unsigned char sentinel = 0;
    unsigned char *data = &sentinel;
    int length = -5;
    CapturedStreams streams;
    EXPECT_EQ(reader.readLabelImage(&data, &length), 0);
    EXPECT_EQ(data, &sentinel);
    EXPECT_EQ(length, -5);
    EXPECT_EQ(streams.err(), "error occor when read preview \ntqf path is dir/s.tqf\n");
}

TEST_F(ScratchImages, LabelIsReadFromItsOwnScratchFile) {
    const cv::Mat label(50, 70, CV_8UC3, cv::Scalar(200, 100, 50));
    const std::vector<unsigned char> png = encode(label, ".png");
    yelk_double_set_label(png.data(), static_cast<unsigned>(png.size()));
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("s.tqf"));
    yelk_double_clear_log();
    unsigned char *data = nullptr;
    int length = 0;
    EXPECT_EQ(reader.readLabelImage(&data, &length), 70);
    EXPECT_EQ(length, 70 * 50 * 3);
    EXPECT_EQ(cv::norm(cv::Mat(50, 70, CV_8UC3, data), label, cv::NORM_INF), 0);
    delete[] data;
    EXPECT_EQ(log(), "yelk_get_label_image(slide#1, label_temp.jpg)\n");
    EXPECT_TRUE(exists("label_temp.jpg"));
    EXPECT_FALSE(exists("preview_temp.jpg"));
}

TEST_F(ScratchImages, UndecodableFileGivesWidthZero) {
    const char junk[] = "not an image";
    yelk_double_set_preview(junk, sizeof(junk));
    yelk_double_set_label(junk, sizeof(junk));
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("s.tqf"));
    cv::Mat image;
    int length = -1;
    EXPECT_EQ(read_preview(reader, &image, &length), 0);
    EXPECT_EQ(length, 0);
    unsigned char *data = nullptr;
    EXPECT_EQ(reader.readLabelImage(&data, &length), 0) << "a label was written, so no failure exit";
    EXPECT_EQ(length, 0);
    delete[] data;
}

TEST_F(ScratchImages, EveryCallGivesANewBufferAndLeavesTheRegionBufferAlone) {
    const std::vector<unsigned char> png = encode(cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(7)), ".png");
    yelk_double_set_preview(png.data(), static_cast<unsigned>(png.size()));
    yelk_double_set_pattern_level(40, 1000, 800);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("s.tqf"));
    unsigned char *region = nullptr;
    int region_length = 0;
    reader.ReadRoi(0, 0, 10, 10, 40, &region, &region_length);
    unsigned char *a = nullptr, *b = nullptr;
    int length = 0;
    reader.ReadPreview(&a, &length);
    reader.ReadPreview(&b, &length);
    EXPECT_NE(a, b);
    delete[] a;
    delete[] b;
    unsigned char *again = nullptr;
    int again_length = 0;
    reader.ReadRoi(5, 5, 10, 10, 40, &again, &again_length);
    EXPECT_EQ(again, region);
    EXPECT_EQ(again_length, region_length);
}

}  // namespace
}  // namespace tqftest
