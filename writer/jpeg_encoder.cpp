#include "jpeg_encoder.h"

#include <turbojpeg.h>

namespace tqf::writer {

namespace {
constexpr int kTileEdge = 256;
}  // namespace

JpegEncoder::JpegEncoder() : m_handle(tjInitCompress())
{
    if (m_handle == nullptr)
        m_error = std::string("cannot start the JPEG encoder: ") + tjGetErrorStr2(nullptr);
}

JpegEncoder::~JpegEncoder()
{
    if (m_tileBuffer != nullptr)
        tjFree(m_tileBuffer);
    if (m_handle != nullptr)
        tjDestroy(m_handle);
}

bool JpegEncoder::encode(const cv::Mat &bgr, int quality, ChromaSubsampling subsampling,
                         std::vector<uint8_t> &stream)
{
    if (m_handle == nullptr)
        return false;
    if (bgr.type() != CV_8UC3 || bgr.empty()) {
        m_error = "the JPEG encoder takes a non-empty 8-bit BGR image";
        return false;
    }
    const int subsamp = subsampling == ChromaSubsampling::k420 ? TJSAMP_420 : TJSAMP_444;
    const int pitch = static_cast<int>(bgr.step[0]);
    const bool fitsTileBuffer = bgr.cols <= kTileEdge && bgr.rows <= kTileEdge;
    if (fitsTileBuffer && m_tileBuffer == nullptr) {
        m_tileBufferSize = tjBufSize(kTileEdge, kTileEdge, TJSAMP_444);
        m_tileBuffer = tjAlloc(static_cast<int>(m_tileBufferSize));
        if (m_tileBuffer == nullptr) {
            m_error = "not enough memory for the JPEG encoder";
            return false;
        }
    }
    // Tiles go into the worst-case buffer, which never needs to grow; larger
    // images get a buffer of their own that libjpeg-turbo grows as needed.
    unsigned char *buffer = fitsTileBuffer ? m_tileBuffer : nullptr;
    unsigned long size = fitsTileBuffer ? m_tileBufferSize : 0;
    const int flags = fitsTileBuffer ? TJFLAG_NOREALLOC : 0;
    const bool encoded = tjCompress2(m_handle, bgr.data, bgr.cols, pitch, bgr.rows, TJPF_BGR, &buffer, &size,
                                     subsamp, quality, flags) == 0;
    if (encoded)
        stream.assign(buffer, buffer + size);
    else
        m_error = std::string("JPEG encoding failed: ") + tjGetErrorStr2(m_handle);
    if (!fitsTileBuffer && buffer != nullptr)
        tjFree(buffer);
    return encoded;
}

bool JpegEncoder::encodeWithin(const cv::Mat &bgr, int quality, size_t capacity, std::vector<uint8_t> &stream)
{
    for (int q = quality;; q -= 10) {
        if (q < 1)
            q = 1;
        if (!encode(bgr, q, ChromaSubsampling::k420, stream))
            return false;
        if (stream.size() <= capacity)
            return true;
        if (q == 1) {
            m_error = "a tile does not fit in " + std::to_string(capacity) + " bytes even at quality 1";
            return false;
        }
    }
}

}  // namespace tqf::writer
