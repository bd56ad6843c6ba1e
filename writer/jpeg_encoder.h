/*
 * Baseline JPEG encoding of BGR images with libjpeg-turbo. One encoder per
 * thread: an encoder is not safe to share.
 */
#ifndef TQF_JPEG_ENCODER_H
#define TQF_JPEG_ENCODER_H

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tqf::writer {

enum class ChromaSubsampling { k420, k444 };

class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder &) = delete;
    JpegEncoder &operator=(const JpegEncoder &) = delete;

    // Encodes a CV_8UC3 BGR image (a region of a larger one is fine: its row
    // step is honoured) into `stream`, replacing its contents. False with
    // error() set on failure.
    bool encode(const cv::Mat &bgr, int quality, ChromaSubsampling subsampling, std::vector<uint8_t> &stream);

    // Encodes a tile so that its stream is at most `capacity` bytes, lowering
    // the quality in steps of 10 while it is longer.
    bool encodeWithin(const cv::Mat &bgr, int quality, size_t capacity, std::vector<uint8_t> &stream);

    const std::string &error() const { return m_error; }

private:
    void *m_handle = nullptr;
    // Room for the largest possible stream of a 256 x 256 image, reused by every tile.
    unsigned char *m_tileBuffer = nullptr;
    unsigned long m_tileBufferSize = 0;
    std::string m_error;
};

}  // namespace tqf::writer

#endif  // TQF_JPEG_ENCODER_H
