#include "jpeg_encoder.h"

#include <climits>

#include <turbojpeg.h>

namespace tqf::codec {

namespace {

int turbo_subsampling(ChromaSubsampling subsampling) {
    switch (subsampling) {
    case ChromaSubsampling::s444:
        return TJSAMP_444;
    case ChromaSubsampling::s422:
        return TJSAMP_422;
    case ChromaSubsampling::s440:
        return TJSAMP_440;
    case ChromaSubsampling::gray:
        return TJSAMP_GRAY;
    case ChromaSubsampling::s420:
        break;
    }
    return TJSAMP_420;
}

int turbo_format(PixelOrder order) {
    switch (order) {
    case PixelOrder::bgr:
        return TJPF_BGR;
    case PixelOrder::rgba:
        return TJPF_RGBA;
    case PixelOrder::rgb:
        break;
    }
    return TJPF_RGB;
}

}  // namespace

PixelView pixels_of(const cv::Mat &image, PixelOrder order) {
    if (image.empty() || image.type() != (bytes_per_pixel(order) == 4 ? CV_8UC4 : CV_8UC3))
        return PixelView{};
    return PixelView{image.data, image.cols, image.rows, image.step[0], order};
}

JpegEncoder::JpegEncoder() : m_handle(tjInitCompress()) {
    if (m_handle == nullptr)
        m_error = std::string("cannot start the JPEG encoder: ") + tjGetErrorStr2(nullptr);
}

JpegEncoder::~JpegEncoder() {
    if (m_handle != nullptr)
        tjDestroy(m_handle);
}

size_t JpegEncoder::encode(const PixelView &image, int quality, ChromaSubsampling subsampling,
                           std::vector<unsigned char> &out) {
    if (m_handle == nullptr)
        return 0;
    if (image.pixels == nullptr || image.width < 1 || image.height < 1 ||
        image.stride < static_cast<size_t>(image.width) * bytes_per_pixel(image.order) || image.stride > INT_MAX) {
        m_error = "the JPEG encoder takes a non-empty 8-bit image whose rows do not overlap";
        return 0;
    }
    if (quality < 1 || quality > 100) {
        m_error = "JPEG quality must be 1 to 100, not " + std::to_string(quality);
        return 0;
    }
    const int samples = turbo_subsampling(subsampling);
    // The longest stream any image of this size gives, so that the encoder
    // never reallocates; grown only, since growing clears what is added.
    const unsigned long bound = tjBufSize(image.width, image.height, samples);
    if (bound == static_cast<unsigned long>(-1)) {
        m_error = "an image of " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                  " pixels is too large to encode";
        return 0;
    }
    if (out.size() < bound)
        out.resize(bound);
    unsigned char *buffer = out.data();
    unsigned long size = static_cast<unsigned long>(out.size());
    if (tjCompress2(m_handle, image.pixels, image.width, static_cast<int>(image.stride), image.height,
                    turbo_format(image.order), &buffer, &size, samples, quality, TJFLAG_NOREALLOC) != 0) {
        m_error = std::string("JPEG encoding failed: ") + tjGetErrorStr2(m_handle);
        return 0;
    }
    return size;
}

size_t JpegEncoder::encode_within(const PixelView &image, int quality, size_t capacity,
                                  std::vector<unsigned char> &out) {
    for (int q = quality;; q -= 10) {
        if (q < 1)
            q = 1;
        const size_t size = encode(image, q, ChromaSubsampling::s420, out);
        if (size == 0 || size <= capacity)
            return size;
        if (q == 1) {
            m_error = "a tile does not fit in " + std::to_string(capacity) + " bytes even at quality 1";
            return 0;
        }
    }
}

}  // namespace tqf::codec
