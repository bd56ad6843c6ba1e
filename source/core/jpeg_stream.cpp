#include "jpeg_stream.h"

#include <cstring>
#include <memory>

#include <turbojpeg.h>

namespace tqfio::core {

namespace {

constexpr unsigned char kMarker = 0xFF;
constexpr unsigned char kStartOfImage = 0xD8;
constexpr unsigned char kEndOfImage = 0xD9;
constexpr unsigned char kStartOfScan = 0xDA;
constexpr unsigned char kHuffmanTables = 0xC4;
constexpr unsigned char kQuantisationTables = 0xDB;
constexpr unsigned char kArithmeticConditioning = 0xCC;
constexpr unsigned char kApp1 = 0xE1;
constexpr unsigned char kApp14 = 0xEE;

bool is_start_of_frame(unsigned char marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != kHuffmanTables && marker != 0xC8 &&
           marker != kArithmeticConditioning;
}

// Huffman-coded sequential (baseline, extended) and progressive frames.
bool is_huffman_frame(unsigned char marker) { return marker == 0xC0 || marker == 0xC1 || marker == 0xC2; }

bool is_standalone(unsigned char marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

// Segments that change nothing a decoder makes of the scans: restart
// intervals, comments and application data but for orientation (APP1) and
// Adobe's colour transform (APP14).
bool is_passed_over(unsigned char marker) {
    const unsigned char kRestartInterval = 0xDD, kComment = 0xFE;
    return marker == kRestartInterval || marker == kComment ||
           (marker >= 0xE0 && marker <= 0xEF && marker != kApp1 && marker != kApp14);
}

unsigned big_endian16(const unsigned char *p) { return (static_cast<unsigned>(p[0]) << 8) | p[1]; }

// The frame header's facts; false for what a browser may decode otherwise.
bool read_frame(const unsigned char *segment, size_t size, JpegStreamInfo *info) {
    if (size < 6 || segment[0] != 8)
        return false;
    const int height = static_cast<int>(big_endian16(segment + 1));
    const int width = static_cast<int>(big_endian16(segment + 3));
    const int components = segment[5];
    if (width == 0 || height == 0 || (components != 1 && components != 3) ||
        size < 6 + 3 * static_cast<size_t>(components))
        return false;
    for (int c = 0; c < components; ++c) {
        const unsigned char sampling = segment[6 + 3 * c + 1];
        const int h = sampling >> 4, v = sampling & 15;
        if (h < 1 || h > 4 || v < 1 || v > 4)
            return false;
    }
    // Components named R, G and B hold RGB, not YCbCr (libjpeg's own rule).
    if (components == 3 && segment[6] == 'R' && segment[9] == 'G' && segment[12] == 'B')
        return false;
    info->width = width;
    info->height = height;
    info->components = components;
    return true;
}

struct TransformHandle {
    tjhandle handle = tjInitTransform();
    ~TransformHandle() {
        if (handle)
            tjDestroy(handle);
    }
};

}  // namespace

bool inspect_jpeg_stream(const unsigned char *s, size_t size, JpegStreamInfo *info) {
    if (s == nullptr || size < 4 || s[0] != kMarker || s[1] != kStartOfImage)
        return false;
    JpegStreamInfo found;
    bool frame = false, quantisation = false, huffman = false;
    size_t pos = 2;
    for (;;) {
        if (pos >= size || s[pos] != kMarker)
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
        const size_t length = big_endian16(s + pos);
        if (length < 2 || pos + length > size)
            return false;
        const unsigned char *segment = s + pos + 2;
        const size_t segment_size = length - 2;
        if (marker == kStartOfScan) {
            if (!frame || !quantisation || !huffman)
                return false;
            pos += length;
            break;
        }
        if (is_start_of_frame(marker)) {
            if (frame || !is_huffman_frame(marker) || !read_frame(segment, segment_size, &found))
                return false;
            frame = true;
        } else if (marker == kHuffmanTables) {
            huffman = true;
        } else if (marker == kQuantisationTables) {
            quantisation = true;
        } else if (!is_passed_over(marker)) {
            return false;
        }
        pos += length;
    }
    // The end-of-image marker closes the stream; only zero bytes may follow
    // it. Inside entropy-coded data every 0xFF is stuffed or starts a
    // marker, so FF D9 there is the marker itself.
    size_t end = size;
    while (end > pos && s[end - 1] == 0)
        --end;
    if (end < pos + 2 || s[end - 2] != kMarker || s[end - 1] != kEndOfImage)
        return false;
    found.length = end;
    *info = found;
    return true;
}

bool crop_jpeg_stream(const unsigned char *stream, size_t size, int width, int height,
                      std::vector<unsigned char> &out) {
    JpegStreamInfo info;
    if (!inspect_jpeg_stream(stream, size, &info) || width < 1 || height < 1 || width > info.width ||
        height > info.height)
        return false;
    thread_local TransformHandle transformer;
    if (!transformer.handle)
        return false;
    tjtransform transform;
    std::memset(&transform, 0, sizeof transform);
    transform.r.x = 0;
    transform.r.y = 0;
    transform.r.w = width;
    transform.r.h = height;
    transform.op = TJXOP_NONE;
    transform.options = TJXOPT_CROP | TJXOPT_COPYNONE;
    unsigned char *cropped = nullptr;
    unsigned long cropped_size = 0;
    const int status = tjTransform(transformer.handle, stream, static_cast<unsigned long>(info.length), 1, &cropped,
                                   &cropped_size, &transform, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS);
    const std::unique_ptr<unsigned char, void (*)(unsigned char *)> owned(cropped, tjFree);
    if (status != 0 || cropped == nullptr)
        return false;
    out.assign(cropped, cropped + cropped_size);
    return true;
}

}  // namespace tqfio::core
