// The reader on real slides: slides made by the writer from a real stained
// tissue image, read through the stand-in slide library, on its own and
// beside tqfio::slide.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "slide_fixtures.h"
#include "tqf_reader.h"
#include "tqf_slide.h"
#include "tqf_writer.h"

namespace {

using tqf::testing::tissueImage;

cv::Mat read_region(tqfio::reader &reader, int x, int y, int w, int h, double scale) {
    unsigned char *data = nullptr;
    int length = 0;
    reader.ReadRoi(x, y, w, h, scale, &data, &length);
    if (length != w * h * 3)
        return cv::Mat();
    return cv::Mat(h, w, CV_8UC3, data).clone();
}

class RealSlide : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = new tqf::testing::TempDirectory;
        source = new cv::Mat(tissueImage(1800, 1300));
        tqf::SlideWriteOptions options;
        options.preview = cv::Mat(120, 160, CV_8UC3, cv::Scalar(10, 200, 30));
        options.label = cv::Mat(90, 70, CV_8UC3, cv::Scalar(220, 20, 120));
        ASSERT_TRUE(tqf::writeSlide(source->clone(), path("a.tqf"), options).ok());
        options.preview = cv::Mat(100, 210, CV_8UC3, cv::Scalar(200, 30, 10));
        options.label = cv::Mat(60, 50, CV_8UC3, cv::Scalar(20, 220, 20));
        ASSERT_TRUE(tqf::writeSlide(tissueImage(700, 500), path("b.tqf"), options).ok());
        // A 5x slide whose pyramid goes below 1x.
        options = tqf::SlideWriteOptions();
        options.scanMagnification = 5;
        ASSERT_TRUE(tqf::writeSlide(tissueImage(4100, 300), path("five.tqf"), options).ok());
    }
    static void TearDownTestSuite() {
        delete source;
        delete directory;
    }
    static std::string path(const char *name) { return directory->file(name); }

    static double psnr(const cv::Mat &a, const cv::Mat &b) { return cv::PSNR(a, b); }

    static tqf::testing::TempDirectory *directory;
    static cv::Mat *source;
};

tqf::testing::TempDirectory *RealSlide::directory = nullptr;
cv::Mat *RealSlide::source = nullptr;

TEST_F(RealSlide, GeometryAtSeveralOpeningScales) {
    tqfio::reader reader;
    const struct {
        double scale;
        int width, height;
    } cases[] = {{0, 1800, 1300}, {20, 900, 650}, {10, 450, 325}, {13.3, 599, 432}};
    for (const auto &c : cases) {
        ASSERT_TRUE(reader.ReadInfo(path("a.tqf"), c.scale));
        EXPECT_EQ(reader.getWidth(), c.width) << c.scale;
        EXPECT_EQ(reader.getHeight(), c.height) << c.scale;
        EXPECT_EQ(reader.getReadScale(), 40);
    }
}

TEST_F(RealSlide, ScanLevelRegionsMatchTheSourceImage) {
    for (bool read_all : {false, true}) {
        tqfio::reader reader;
        ASSERT_TRUE(reader.ReadInfo(path("a.tqf"), 0, read_all));
        std::mt19937 random(3);
        for (int n = 0; n < 8; ++n) {
            const int w = 64 + static_cast<int>(random() % 700), h = 64 + static_cast<int>(random() % 700);
            const int x = static_cast<int>(random() % (1800 - w)), y = static_cast<int>(random() % (1300 - h));
            const cv::Mat region = read_region(reader, x, y, w, h, 40);
            ASSERT_FALSE(region.empty());
            EXPECT_GT(psnr(region, (*source)(cv::Rect(x, y, w, h))), 35.0) << x << ", " << y << ", " << w << ", " << h;
        }
    }
}

TEST_F(RealSlide, RegionOverTheEdgeKeepsSlidePixelsInPlace) {
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo(path("a.tqf")));
    const cv::Mat region = read_region(reader, 1700, -50, 200, 150, 40);
    EXPECT_GT(psnr(region(cv::Rect(0, 50, 100, 100)), (*source)(cv::Rect(1700, 0, 100, 100))), 35.0);
    EXPECT_EQ(cv::countNonZero(region(cv::Rect(100, 0, 100, 150)).reshape(1) != 255), 0);
    EXPECT_EQ(cv::countNonZero(region(cv::Rect(0, 0, 100, 50)).reshape(1) != 255), 0);
}

TEST_F(RealSlide, ScanLevelHalfFromScanTilesAndPyramidLevelAgree) {
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo(path("a.tqf")));
    const cv::Mat scan = read_region(reader, 200, 300, 1000, 800, 40);
    const cv::Mat half_from_scan = read_region(reader, 100, 150, 500, 400, 20);
    reader.setReadScale(20);
    const cv::Mat half_from_level = read_region(reader, 100, 150, 500, 400, 20);
    cv::Mat scan_halved, source_halved;
    cv::resize(scan, scan_halved, cv::Size(500, 400), 0, 0, cv::INTER_LINEAR);
    cv::resize((*source)(cv::Rect(200, 300, 1000, 800)), source_halved, cv::Size(500, 400), 0, 0, cv::INTER_AREA);
    EXPECT_GT(psnr(half_from_scan, scan_halved), 45.0);
    EXPECT_GT(psnr(half_from_level, source_halved), 32.0);
    EXPECT_GT(psnr(half_from_scan, half_from_level), 28.0);
    reader.setReadScale(10);
    const cv::Mat quarter = read_region(reader, 50, 75, 250, 200, 10);
    cv::Mat source_quartered;
    cv::resize((*source)(cv::Rect(200, 300, 1000, 800)), source_quartered, cv::Size(250, 200), 0, 0, cv::INTER_AREA);
    EXPECT_GT(psnr(quarter, source_quartered), 30.0);
}

// tqfio::slide reads every level as the original reader reads it at that
// read scale: inside, across the level's right and bottom edges, beyond them
// and before the top-left corner.
TEST_F(RealSlide, TheSlideApiReadsTheReadersPixelsAtEveryLevel) {
    for (const char *name : {"a.tqf", "five.tqf"}) {
        tqfio::slide slide(path(name));
        tqfio::reader reader;
        ASSERT_TRUE(reader.ReadInfo(path(name)));
        for (size_t k = 0; k < slide.levels().size(); ++k) {
            const tqfio::level_info &level = slide.levels()[k];
            if (level.magnification < 1)
                continue;  // the reader's whole-number read scale cannot name it
            reader.setReadScale(static_cast<float>(level.magnification));
            const int lw = static_cast<int>(level.width), lh = static_cast<int>(level.height);
            const cv::Rect regions[] = {{lw / 3, lh / 4, 300, 200},
                                        {lw - 100, lh - 50, 250, 120},
                                        {lw + 10, 0, 40, 40},
                                        {0, 0, std::min(lw, 513), std::min(lh, 257)}};
            for (const cv::Rect &r : regions) {
                SCOPED_TRACE(std::string(name) + " level " + std::to_string(k) + " at " + std::to_string(r.x) + ", " +
                             std::to_string(r.y));
                cv::Mat mine(r.height, r.width, CV_8UC3);
                slide.read_region(static_cast<int64_t>(r.x * level.downsample),
                                  static_cast<int64_t>(r.y * level.downsample), static_cast<int>(k), r.width, r.height,
                                  mine.data, mine.step, tqfio::pixel_format::bgr);
                const cv::Mat theirs = read_region(reader, r.x, r.y, r.width, r.height, reader.getReadScale());
                ASSERT_EQ(theirs.size(), mine.size());
                EXPECT_EQ(cv::norm(mine, theirs, cv::NORM_INF), 0);
            }
        }
    }
}

// Each reader must get its own slide's preview and label while other
// readers in the same directory ask for theirs at the same moment.
bool own_images(const std::string &slide, int preview_width, int label_width, int rounds) {
    tqfio::reader reader;
    if (!reader.ReadInfo(slide))
        return false;
    for (int n = 0; n < rounds; ++n) {
        unsigned char *data = nullptr;
        int length = 0;
        const int width = n % 2 ? reader.readLabelImage(&data, &length) : reader.ReadPreview(&data, &length);
        delete[] data;
        if (width != (n % 2 ? label_width : preview_width))
            return false;
    }
    return true;
}

class SharedDirectory : public RealSlide {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
        ASSERT_EQ(chdir(directory->path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(previous), 0); }
    char previous[4096];
};

TEST_F(SharedDirectory, ConcurrentThreadsGetTheirOwnSlidesImages) {
    std::atomic<bool> a_ok{false}, b_ok{false};
    std::thread a([&] { a_ok = own_images(path("a.tqf"), 160, 70, 200); });
    std::thread b([&] { b_ok = own_images(path("b.tqf"), 210, 50, 200); });
    a.join();
    b.join();
    EXPECT_TRUE(a_ok);
    EXPECT_TRUE(b_ok);
}

TEST_F(SharedDirectory, ConcurrentProcessesGetTheirOwnSlidesImages) {
    const pid_t a = fork();
    if (a == 0)
        _exit(own_images(path("a.tqf"), 160, 70, 200) ? 0 : 1);
    const pid_t b = fork();
    if (b == 0)
        _exit(own_images(path("b.tqf"), 210, 50, 200) ? 0 : 1);
    int status_a = 0, status_b = 0;
    waitpid(a, &status_a, 0);
    waitpid(b, &status_b, 0);
    EXPECT_TRUE(WIFEXITED(status_a) && WEXITSTATUS(status_a) == 0);
    EXPECT_TRUE(WIFEXITED(status_b) && WEXITSTATUS(status_b) == 0);
}

TEST_F(SharedDirectory, ImagesRoundTripAndTheScratchFilesStay) {
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo(path("a.tqf")));
    unsigned char *data = nullptr;
    int length = 0;
    ASSERT_EQ(reader.ReadPreview(&data, &length), 160);
    ASSERT_EQ(length, 160 * 120 * 3);
    const cv::Mat preview(120, 160, CV_8UC3, data);
    EXPECT_LT(cv::norm(preview, cv::Mat(120, 160, CV_8UC3, cv::Scalar(10, 200, 30)), cv::NORM_INF), 8);
    delete[] data;
    EXPECT_EQ(reader.readLabelImage(&data, &length), 70);
    EXPECT_EQ(length, 70 * 90 * 3);
    delete[] data;
    EXPECT_EQ(cv::imread("preview_temp.jpg").cols, 160);
    EXPECT_EQ(cv::imread("label_temp.jpg").cols, 70);
}

}  // namespace
