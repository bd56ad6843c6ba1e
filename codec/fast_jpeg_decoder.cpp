#include "fast_jpeg_decoder.h"

#include <cstring>

#include <turbojpeg.h>

#include "jpeg_errors.h"

namespace tqf::codec {

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

int turbo_format(PixelOrder order) {
    switch (order) {
    case PixelOrder::rgb:
        return TJPF_RGB;
    case PixelOrder::rgba:
        return TJPF_RGBA;
    case PixelOrder::bgra:
        return TJPF_BGRA;
    case PixelOrder::bgr:
        break;
    }
    return TJPF_BGR;
}

J_COLOR_SPACE libjpeg_space(PixelOrder order) {
    switch (order) {
    case PixelOrder::rgb:
        return JCS_EXT_RGB;
    case PixelOrder::rgba:
        return JCS_EXT_RGBA;
    case PixelOrder::bgra:
        return JCS_EXT_BGRA;
    case PixelOrder::bgr:
        break;
    }
    return JCS_EXT_BGR;
}

// As TJFLAG_LIMITSCANS: a progressive stream of more than 500 scans is refused.
void limit_scans(j_common_ptr cinfo) {
    const auto *decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (cinfo->is_decompressor && decompress->input_scan_number > 500)
        std::longjmp(reinterpret_cast<JpegErrors *>(cinfo->err)->jump, 1);
}

// The window's rows, decoded on the stack of a function without objects to
// destroy, since libjpeg leaves it by longjmp.
bool decode_rows(jpeg_decompress_struct *cinfo, JpegErrors *errors, const unsigned char *stream, size_t size, int x0,
                 int y0, int x1, int y1, unsigned char *dst, size_t pitch, PixelOrder order, unsigned char *row,
                 size_t row_capacity) {
    if (setjmp(errors->jump))
        return false;
    jpeg_mem_src(cinfo, stream, static_cast<unsigned long>(size));
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK)
        return false;
    cinfo->out_color_space = libjpeg_space(order);
    jpeg_start_decompress(cinfo);
    const int width = static_cast<int>(cinfo->output_width), height = static_cast<int>(cinfo->output_height);
    if (x0 < 0 || y0 < 0 || x1 > width || y1 > height || x0 >= x1 || y0 >= y1)
        return false;
    // A block of margin either side; the decoder widens the crop to whole
    // blocks on the left itself.
    const int margin = 16;
    JDIMENSION crop_x = static_cast<JDIMENSION>(x0 > margin ? x0 - margin : 0);
    JDIMENSION crop_width = static_cast<JDIMENSION>((x1 + margin < width ? x1 + margin : width)) - crop_x;
    if (crop_x > 0 || crop_width < static_cast<JDIMENSION>(width))
        jpeg_crop_scanline(cinfo, &crop_x, &crop_width);
    const size_t channels = static_cast<size_t>(cinfo->output_components);
    if (static_cast<size_t>(crop_width) * channels > row_capacity)
        return false;
    if (y0 > 0 && jpeg_skip_scanlines(cinfo, static_cast<JDIMENSION>(y0)) != static_cast<JDIMENSION>(y0))
        return false;
    const size_t offset = (static_cast<size_t>(x0) - crop_x) * channels;
    const size_t bytes = static_cast<size_t>(x1 - x0) * channels;
    while (static_cast<int>(cinfo->output_scanline) < y1) {
        const int r = static_cast<int>(cinfo->output_scanline);
        JSAMPROW rows[1] = {row};
        if (jpeg_read_scanlines(cinfo, rows, 1) != 1)
            return false;
        std::memcpy(dst + static_cast<size_t>(r - y0) * pitch, row + offset, bytes);
    }
    return true;
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
    if (tjDecompressHeader3(m_handle, stream, static_cast<unsigned long>(size), &w, &h, &subsampling, &colorspace) != 0)
        return false;
    if (colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY)
        return false;
    if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide)
        return false;
    *width = w;
    *height = h;
    return true;
}

namespace {

// The frame's size through libjpeg's own header reading, as the image
// library's decoder starts: also for sampling factors libjpeg-turbo's own
// interface cannot name, and with warnings passed over as it passes them.
bool read_stated_size(jpeg_decompress_struct *cinfo, JpegErrors *errors, const unsigned char *stream, size_t size,
                      int *width, int *height) {
    if (setjmp(errors->jump))
        return false;
    jpeg_mem_src(cinfo, stream, static_cast<unsigned long>(size));
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK || cinfo->image_width == 0 || cinfo->image_height == 0)
        return false;
    *width = static_cast<int>(cinfo->image_width);
    *height = static_cast<int>(cinfo->image_height);
    return true;
}

}  // namespace

bool FastJpegDecoder::stated_size(const unsigned char *stream, size_t size, int *width, int *height) {
    if (size < 4 || stream[0] != kMarker || stream[1] != kStartOfImage)
        return false;
    jpeg_decompress_struct cinfo;
    JpegErrors errors;
    cinfo.err = tolerant_jpeg_errors(errors);
    jpeg_create_decompress(&cinfo);
    const bool ok = read_stated_size(&cinfo, &errors, stream, size, width, height);
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

bool FastJpegDecoder::decode(const unsigned char *stream, size_t size, unsigned char *dst, int width, int height,
                             size_t pitch, PixelOrder order) {
    // Stop at the first warning: the caller then decodes the stream again
    // with cv::imdecode, which reports what it reports.
    const int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
    return tjDecompress2(m_handle, stream, static_cast<unsigned long>(size), dst, width, static_cast<int>(pitch),
                         height, turbo_format(order), flags) == 0;
}

bool FastJpegDecoder::decode_window(const unsigned char *stream, size_t size, int x0, int y0, int x1, int y1,
                                    unsigned char *dst, size_t pitch, PixelOrder order) {
    // Stops at the first warning as well, as the whole-stream path does
    // (TJFLAG_STOPONWARNING).
    jpeg_decompress_struct cinfo;
    JpegErrors errors;
    cinfo.err = strict_jpeg_errors(errors);
    jpeg_progress_mgr progress;
    progress.progress_monitor = limit_scans;
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &progress;
    unsigned char row[4 * kMaxSide];
    const bool ok = decode_rows(&cinfo, &errors, stream, size, x0, y0, x1, y1, dst, pitch, order, row, sizeof row);
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

}  // namespace tqf::codec
