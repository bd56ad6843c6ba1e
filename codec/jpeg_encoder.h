// Baseline JPEG encoding with libjpeg-turbo, for every encoder of the
// project: the slide writer's tiles and images, Deep Zoom tiles, and the
// TIFF export's white tiles. One encoder per thread: an encoder is not safe
// to share; keep one for many images, since starting one costs more than
// encoding a small tile.
#ifndef TQF_CODEC_JPEG_ENCODER_H
#define TQF_CODEC_JPEG_ENCODER_H

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pixel_order.h"

namespace tqf::codec {

// How chroma is sampled against luma: 4:4:4, 4:2:2 (halved across), 4:2:0
// (halved both ways), 4:4:0 (halved down), or grey alone.
enum class ChromaSubsampling { s444, s422, s420, s440, gray };

// Pixels in memory: `height` rows of `width` pixels in `order` (alpha is
// ignored), `stride` bytes apart.
struct PixelView {
    const unsigned char *pixels = nullptr;
    int width = 0;
    int height = 0;
    size_t stride = 0;
    PixelOrder order = PixelOrder::rgb;
};

// An 8-bit image of OpenCV's as the encoder takes it (a region of a larger
// image is fine); a view of nothing, which the encoder refuses, when its
// type does not hold pixels in `order` (CV_8UC3 for bgr and rgb, CV_8UC4 for
// rgba).
PixelView pixels_of(const cv::Mat &image, PixelOrder order);

class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder &) = delete;
    JpegEncoder &operator=(const JpegEncoder &) = delete;

    // Encodes `image` at `quality` (1 to 100) into the start of `out` and
    // returns the stream's length; 0 on failure, with error() telling why.
    // `out` only grows (to the longest stream such an image can give), so a
    // buffer kept from image to image is neither reallocated nor cleared.
    size_t encode(const PixelView &image, int quality, ChromaSubsampling subsampling, std::vector<unsigned char> &out);

    // Encodes 4:2:0 so that the stream is at most `capacity` bytes, lowering
    // the quality in steps of 10 (down to 1) while it is longer.
    size_t encode_within(const PixelView &image, int quality, size_t capacity, std::vector<unsigned char> &out);

    const std::string &error() const { return m_error; }

private:
    void *m_handle = nullptr;
    std::string m_error;
};

}  // namespace tqf::codec

#endif  // TQF_CODEC_JPEG_ENCODER_H
