#include "fast_jpeg_decoder.h"

#include <turbojpeg.h>

namespace tqfio {

namespace {

const unsigned char kMarker = 0xFF;
const unsigned char kStartOfImage = 0xD8;
const unsigned char kStartOfScan = 0xDA;
const unsigned char kApp1 = 0xE1;

bool is_start_of_frame(unsigned char marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Frame types decoded the same way by both paths: baseline, extended
// sequential and progressive, all Huffman coded.
bool is_plain_frame(unsigned char marker) { return marker == 0xC0 || marker == 0xC1 || marker == 0xC2; }

bool is_standalone(unsigned char marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

// Walks the marker segments up to the first scan. Rejects APP1 (cv::imdecode
// reads orientation from it), frames other than plain 8-bit ones, and any
// structure that does not parse cleanly.
bool has_plain_header(const unsigned char *s, size_t size) {
    if (size < 4 || s[0] != kMarker || s[1] != kStartOfImage)
        return false;
    size_t pos = 2;
    bool frame_seen = false;
    while (pos + 1 < size) {
        if (s[pos] != kMarker)
            return false;
        while (pos < size && s[pos] == kMarker)
            ++pos;
        if (pos >= size)
            return false;
        const unsigned char marker = s[pos++];
        if (is_standalone(marker))
            continue;
        if (pos + 2 > size)
            return false;
        const size_t length = (static_cast<size_t>(s[pos]) << 8) | s[pos + 1];
        if (length < 2 || pos + length > size)
            return false;
        if (marker == kStartOfScan)
            return frame_seen;
        if (marker == kApp1)
            return false;
        if (is_start_of_frame(marker)) {
            if (frame_seen || !is_plain_frame(marker) || length < 3 || s[pos + 2] != 8)
                return false;
            frame_seen = true;
        }
        pos += length;
    }
    return false;
}

int turbo_format(core::PixelOrder order) {
    switch (order) {
    case core::PixelOrder::rgb:
        return TJPF_RGB;
    case core::PixelOrder::rgba:
        return TJPF_RGBA;
    case core::PixelOrder::bgr:
        break;
    }
    return TJPF_BGR;
}

}  // namespace

FastJpegDecoder::FastJpegDecoder() : m_handle(tjInitDecompress()) {}

FastJpegDecoder::~FastJpegDecoder() {
    if (m_handle)
        tjDestroy(m_handle);
}

bool FastJpegDecoder::probe(const unsigned char *stream, size_t size, int *width, int *height) {
    if (!m_handle || !has_plain_header(stream, size))
        return false;
    int w = 0, h = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(m_handle, stream, static_cast<unsigned long>(size), &w, &h, &subsampling,
                            &colorspace) != 0)
        return false;
    if (colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY)
        return false;
    if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide)
        return false;
    *width = w;
    *height = h;
    return true;
}

bool FastJpegDecoder::stated_size(const unsigned char *stream, size_t size, int *width, int *height) {
    if (!m_handle || size < 4 || stream[0] != kMarker || stream[1] != kStartOfImage)
        return false;
    int w = 0, h = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(m_handle, stream, static_cast<unsigned long>(size), &w, &h, &subsampling,
                            &colorspace) != 0 ||
        w <= 0 || h <= 0)
        return false;
    *width = w;
    *height = h;
    return true;
}

bool FastJpegDecoder::decode(const unsigned char *stream, size_t size, unsigned char *dst, int width,
                             int height, size_t pitch, core::PixelOrder order) {
    // Stop at the first warning: the caller then decodes the stream again
    // with cv::imdecode, which reports what it reports.
    const int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
    return tjDecompress2(m_handle, stream, static_cast<unsigned long>(size), dst, width,
                         static_cast<int>(pitch), height, turbo_format(order), flags) == 0;
}

}  // namespace tqfio
