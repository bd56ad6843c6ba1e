// The size a stream's header states, read without decoding: what guards
// the readers against tiles and images that claim gigapixels. It must see
// every header cv::imdecode would go on to decode.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "codec/image_decoding.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes encoded(const char *extension, int width, int height) {
    Bytes stream;
    cv::imencode(extension, cv::Mat(height, width, CV_8UC3, cv::Scalar(30, 140, 220)), stream);
    return stream;
}

// Index of the baseline frame header's marker.
size_t frame_header(const Bytes &jpeg) {
    for (size_t i = 0; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0)
            return i;
    return 0;
}

Bytes stating(Bytes jpeg, int width, int height) {
    const size_t at = frame_header(jpeg);
    jpeg[at + 5] = static_cast<unsigned char>(height >> 8);
    jpeg[at + 6] = static_cast<unsigned char>(height & 0xFF);
    jpeg[at + 7] = static_cast<unsigned char>(width >> 8);
    jpeg[at + 8] = static_cast<unsigned char>(width & 0xFF);
    return jpeg;
}

// Luma sampled 3 x 1 against chroma: libjpeg decodes it, libjpeg-turbo's
// own interface has no name for it.
Bytes odd_sampling(Bytes jpeg) {
    jpeg[frame_header(jpeg) + 11] = 0x31;
    return jpeg;
}

// Bytes that are no marker before the frame header: libjpeg warns and goes on.
Bytes garbage_before_frame(Bytes jpeg) {
    const size_t at = frame_header(jpeg);
    jpeg.insert(jpeg.begin() + static_cast<ptrdiff_t>(at), {0x12, 0x34, 0x56});
    return jpeg;
}

TEST(StatedImageSize, ReadsEveryHeaderTheDecoderWouldDecode) {
    const Bytes jpeg = encoded(".jpg", 40, 24), png = encoded(".png", 33, 7);
    const struct {
        const char *name;
        Bytes stream;
        bool stated;
        int64_t width, height;
    } cases[] = {
        {"JPEG", jpeg, true, 40, 24},
        {"JPEG claiming 20000 x 55040", stating(jpeg, 20000, 55040), true, 20000, 55040},
        {"JPEG with sampling factors 3 x 1", odd_sampling(stating(jpeg, 300, 55040)), true, 300, 55040},
        {"JPEG with bytes before its frame header", garbage_before_frame(jpeg), true, 40, 24},
        {"PNG", png, true, 33, 7},
        {"JPEG cut before its frame header", Bytes(jpeg.begin(), jpeg.begin() + 20), false, 0, 0},
        {"PNG cut inside its header", Bytes(png.begin(), png.begin() + 20), false, 0, 0},
        {"BMP", encoded(".bmp", 8, 8), false, 0, 0},
        {"nothing", Bytes(), false, 0, 0},
    };
    for (const auto &c : cases) {
        int64_t width = -1, height = -1;
        EXPECT_EQ(tqf::codec::stated_image_size(c.stream.data(), c.stream.size(), &width, &height), c.stated) << c.name;
        if (c.stated) {
            EXPECT_EQ(width, c.width) << c.name;
            EXPECT_EQ(height, c.height) << c.name;
        }
    }
    // The decoder agrees where it decodes at all.
    EXPECT_EQ(cv::imdecode(garbage_before_frame(jpeg), cv::IMREAD_COLOR).size(), cv::Size(40, 24));
}

}  // namespace
