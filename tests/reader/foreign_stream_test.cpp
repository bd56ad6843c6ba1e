// Streams of formats a slide never holds (every format the image library
// was built with besides JPEG and PNG) reach no decoder: as tiles they leave
// white cells, as preview or label images empty ones, silently, and no file
// is written on the way. Each stream is first shown to decode to pixels
// when handed to the image library directly, so that a white result means
// it was refused, not that it was broken.
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <opencv2/imgcodecs.hpp>

#include "codec/image_decoding.h"
#include "reader_test_support.h"

namespace tqftest {
namespace {

// The image library's temporary files go to OPENCV_TEMP_PATH, read once at
// its first use: point it at a directory of our own before any test runs.
const std::string &temporary_directory() {
    static const std::string path = [] {
        char pattern[] = "/tmp/tqf-foreign-XXXXXX";
        const char *made = mkdtemp(pattern);
        const std::string dir = made ? made : "/tmp";
        setenv("OPENCV_TEMP_PATH", dir.c_str(), 1);
        return dir;
    }();
    return path;
}
const bool g_temporary_directory_set = !temporary_directory().empty();

// Counts files created in the temporary directory while it is alive; the
// image library unlinks its files at once, so only watching sees them.
class FileCreations {
public:
    FileCreations() : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (m_fd >= 0)
            inotify_add_watch(m_fd, temporary_directory().c_str(), IN_CREATE | IN_MOVED_TO);
    }
    ~FileCreations() {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool watching() const { return m_fd >= 0; }
    int count() {
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = read(m_fd, buffer, sizeof buffer)) > 0)
            for (char *p = buffer; p < buffer + got;
                 p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len)
                ++m_count;
        return m_count;
    }

private:
    int m_fd;
    int m_count = 0;
};

struct Foreign {
    const char *name;
    std::vector<unsigned char> bytes;
};

std::vector<Foreign> foreign_streams() {
    const cv::Mat red(64, 64, CV_8UC3, cv::Scalar(0, 0, 255));
    cv::Mat red_float;
    red.convertTo(red_float, CV_32FC3, 1 / 255.0);
    std::vector<Foreign> streams = {
        {"OpenEXR", encode(red_float, ".exr")},
        {"JPEG 2000", encode(red, ".jp2")},
        {"Radiance HDR", encode(red_float, ".hdr")},
        {"PFM", encode(red_float, ".pfm")},
        {"PPM", encode(red, ".ppm")},
        {"TIFF", encode(red, ".tiff")},
        {"WebP", encode(red, ".webp", {cv::IMWRITE_WEBP_QUALITY, 101})},
        {"BMP", encode(red, ".bmp")},
        {"Sun raster", encode(red, ".ras")},
    };
    // A one-pixel GIF: read by GDAL, not by the image library's own codecs.
    streams.push_back({"GIF", {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0, 0, 0,   0,
                               0,    0x2C, 0,    0,    0,    0,    1, 0, 1, 0, 0,    2, 2, 0x44, 1, 0, 0x3B}});
    return streams;
}

class ForeignStreams : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        yelk_double_set_slide(1024, 1024, 40);
        ASSERT_TRUE(reader.ReadInfo("foreign.tqf"));
        // The preview and label scratch files go to a working directory of
        // their own, away from the watched one.
        char pattern[] = "/tmp/tqf-foreign-work-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        work = pattern;
        ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
        ASSERT_EQ(chdir(work.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous), 0);
        ASSERT_EQ(std::system(("rm -rf " + work).c_str()), 0);
        DoubleTest::TearDown();
    }
    tqfio::reader reader;
    std::string work;
    char previous[4096];
};

TEST_F(ForeignStreams, AreRefusedAsTilesAndAsImagesWithoutWritingFiles) {
    for (const Foreign &stream : foreign_streams()) {
        SCOPED_TRACE(stream.name);
        ASSERT_FALSE(stream.bytes.empty());
        if (std::string(stream.name) != "GIF") {
            ASSERT_FALSE(cv::imdecode(stream.bytes, cv::IMREAD_COLOR).empty()) << "the control must decode";
        }
        EXPECT_EQ(tqf::codec::image_format_of(stream.bytes.data(), stream.bytes.size()),
                  tqf::codec::ImageFormat::other);

        FileCreations creations;
        ASSERT_TRUE(creations.watching());
        CapturedStreams captured;
        set_tile(40, 256, 0, stream.bytes);
        EXPECT_TRUE(all_white(read_region(reader, 200, 0, 200, 64, 40)));

        yelk_double_set_preview(stream.bytes.data(), static_cast<unsigned>(stream.bytes.size()));
        yelk_double_set_label(stream.bytes.data(), static_cast<unsigned>(stream.bytes.size()));
        unsigned char *data = nullptr;
        int length = -1;
        EXPECT_EQ(reader.ReadPreview(&data, &length), 0);
        EXPECT_EQ(length, 0);
        delete[] data;
        data = nullptr;
        EXPECT_EQ(reader.readLabelImage(&data, &length), 0);
        delete[] data;

        EXPECT_EQ(captured.out() + captured.err(), "");
        EXPECT_EQ(creations.count(), 0) << "a file was written while reading";
    }
}

TEST_F(ForeignStreams, JpegAndPngStillDecode) {
    const cv::Mat red(64, 64, CV_8UC3, cv::Scalar(0, 0, 255));
    for (const char *extension : {".jpg", ".png"}) {
        SCOPED_TRACE(extension);
        const std::vector<unsigned char> bytes = encode(red, extension);
        set_tile(40, 0, 0, bytes);
        const cv::Mat tile = read_region(reader, 0, 0, 64, 64, 40);
        EXPECT_LE(cv::norm(tile, red, cv::NORM_INF), 2);
        yelk_double_set_preview(bytes.data(), static_cast<unsigned>(bytes.size()));
        unsigned char *data = nullptr;
        int length = 0;
        EXPECT_EQ(reader.ReadPreview(&data, &length), 64);
        delete[] data;
    }
}

// The watch itself sees the image library's temporary files.
TEST_F(ForeignStreams, TheWatchSeesTemporaryFiles) {
    cv::Mat red_float(8, 8, CV_32FC3, cv::Scalar(0, 0, 1));
    FileCreations creations;
    cv::imdecode(encode(red_float, ".exr"), cv::IMREAD_COLOR);
    EXPECT_GT(creations.count(), 0);
}

}  // namespace
}  // namespace tqftest
