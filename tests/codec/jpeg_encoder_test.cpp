// The one JPEG encoder of the project (slide tiles and images, Deep Zoom
// tiles, the TIFF export's white tiles): every sampling and pixel order
// gives the picture it was given, the quality steps down until a tile fits,
// the buffer only grows, and input it cannot take is refused with a reason.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "codec/jpeg_encoder.h"

namespace {

using tqf::codec::ChromaSubsampling;
using tqf::codec::JpegEncoder;
using tqf::codec::PixelOrder;
using tqf::codec::pixels_of;

// Smooth colours, so that every sampling keeps them well.
cv::Mat gradient(int width, int height) {
    cv::Mat bgr(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(40 + x % 180), static_cast<uchar>(60 + y % 150),
                                                static_cast<uchar>(200 - (x + y) % 120));
    return bgr;
}

cv::Mat decode(const std::vector<unsigned char> &buffer, size_t size, int flags = cv::IMREAD_UNCHANGED) {
    return cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char *>(buffer.data())), flags);
}

struct Sampling {
    ChromaSubsampling subsampling;
    int horizontal, vertical;  // luma samples per chroma sample, as the frame header states them
};

class EveryOrderAndSampling : public ::testing::TestWithParam<std::tuple<PixelOrder, Sampling>> {};

TEST_P(EveryOrderAndSampling, GivesThePictureItWasGiven) {
    const auto [order, sampling] = GetParam();
    const cv::Mat bgr = gradient(200, 120);
    cv::Mat given;
    if (order == PixelOrder::bgr)
        given = bgr;
    else
        cv::cvtColor(bgr, given, order == PixelOrder::rgb ? cv::COLOR_BGR2RGB : cv::COLOR_BGR2RGBA);
    JpegEncoder encoder;
    std::vector<unsigned char> out;
    const size_t size = encoder.encode(pixels_of(given, order), 95, sampling.subsampling, out);
    ASSERT_GT(size, 0u) << encoder.error();
    const cv::Mat decoded = decode(out, size);
    ASSERT_EQ(decoded.size(), bgr.size());
    if (sampling.subsampling == ChromaSubsampling::gray) {
        ASSERT_EQ(decoded.channels(), 1);
        cv::Mat luma;
        cv::cvtColor(bgr, luma, cv::COLOR_BGR2GRAY);
        EXPECT_GT(cv::PSNR(decoded, luma), 35);
        return;
    }
    ASSERT_EQ(decoded.channels(), 3);
    EXPECT_GT(cv::PSNR(decoded, bgr), 35);  // red and blue not swapped
    // The frame header's sampling factors of the luma component.
    const std::vector<unsigned char> stream(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size));
    for (size_t i = 2; i + 11 < stream.size(); ++i)
        if (stream[i] == 0xFF && stream[i + 1] == 0xC0) {
            EXPECT_EQ(stream[i + 11], (sampling.horizontal << 4) | sampling.vertical);
            return;
        }
    ADD_FAILURE() << "no baseline frame header";
}

INSTANTIATE_TEST_SUITE_P(Encoder, EveryOrderAndSampling,
                         ::testing::Combine(::testing::Values(PixelOrder::bgr, PixelOrder::rgb, PixelOrder::rgba),
                                            ::testing::Values(Sampling{ChromaSubsampling::s444, 1, 1},
                                                              Sampling{ChromaSubsampling::s422, 2, 1},
                                                              Sampling{ChromaSubsampling::s420, 2, 2},
                                                              Sampling{ChromaSubsampling::s440, 1, 2},
                                                              Sampling{ChromaSubsampling::gray, 1, 1})));

TEST(JpegEncoder, LowersTheQualityUntilATileFits) {
    cv::Mat noise(256, 256, CV_8UC3);
    cv::randu(noise, 0, 2);
    noise *= 255;  // black and white noise: the longest streams
    JpegEncoder encoder;
    std::vector<unsigned char> out;
    const size_t full_quality = encoder.encode(pixels_of(noise, PixelOrder::bgr), 100, ChromaSubsampling::s420, out);
    ASSERT_GT(full_quality, 0u) << encoder.error();
    const size_t within = encoder.encode_within(pixels_of(noise, PixelOrder::bgr), 100, full_quality / 2, out);
    ASSERT_GT(within, 0u) << encoder.error();
    EXPECT_LE(within, full_quality / 2);
    EXPECT_EQ(decode(out, within, cv::IMREAD_COLOR).size(), noise.size());
    EXPECT_EQ(encoder.encode_within(pixels_of(noise, PixelOrder::bgr), 100, 600, out), 0u);
    EXPECT_NE(encoder.error().find("does not fit in 600 bytes"), std::string::npos) << encoder.error();
}

// Deep Zoom tiles and the writer's images reuse one buffer: a small image
// after a large one neither shrinks it nor leaves the large one's bytes in
// the stream it reports.
TEST(JpegEncoder, TheBufferOnlyGrows) {
    JpegEncoder encoder;
    std::vector<unsigned char> out;
    const cv::Mat large = gradient(512, 384), small = gradient(30, 20);
    ASSERT_GT(encoder.encode(pixels_of(large, PixelOrder::bgr), 90, ChromaSubsampling::s420, out), 0u);
    const size_t capacity = out.size();
    const size_t size = encoder.encode(pixels_of(small, PixelOrder::bgr), 90, ChromaSubsampling::s420, out);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(out.size(), capacity);
    EXPECT_EQ(decode(out, size, cv::IMREAD_COLOR).size(), small.size());
}

TEST(JpegEncoder, RefusesWhatItCannotEncodeWithAReason) {
    const cv::Mat bgr = gradient(16, 16);
    const cv::Mat gray(16, 16, CV_8UC1, cv::Scalar(9));
    tqf::codec::PixelView overlapping = pixels_of(bgr, PixelOrder::bgr);
    overlapping.stride = 16 * 3 - 1;
    const struct {
        const char *name;
        tqf::codec::PixelView image;
        int quality;
        const char *reason;
    } cases[] = {
        {"an empty image", pixels_of(cv::Mat(), PixelOrder::bgr), 90, "non-empty"},
        {"a type unlike the order", pixels_of(gray, PixelOrder::bgr), 90, "non-empty"},
        {"three channels as rgba", pixels_of(bgr, PixelOrder::rgba), 90, "non-empty"},
        {"rows that overlap", overlapping, 90, "do not overlap"},
        {"quality 0", pixels_of(bgr, PixelOrder::bgr), 0, "1 to 100, not 0"},
        {"quality 101", pixels_of(bgr, PixelOrder::bgr), 101, "1 to 100, not 101"},
    };
    for (const auto &c : cases) {
        JpegEncoder encoder;
        std::vector<unsigned char> out;
        EXPECT_EQ(encoder.encode(c.image, c.quality, ChromaSubsampling::s420, out), 0u) << c.name;
        EXPECT_NE(encoder.error().find(c.reason), std::string::npos) << c.name << ": " << encoder.error();
    }
}

}  // namespace
