// JPEG streams sent on as they are stored: what a stream is, read from its
// marker segments without decoding it, and a stream cut to a smaller size
// in the DCT domain, without decoding and encoding it again.
#ifndef TQF_CORE_JPEG_STREAM_H
#define TQF_CORE_JPEG_STREAM_H

#include <cstddef>
#include <vector>

#include "core_api.h"

namespace tqfio::core {

struct JpegStreamInfo {
    int width = 0;
    int height = 0;
    int components = 0;  // 1 (grey) or 3 (YCbCr)
    size_t length = 0;   // up to and including the end-of-image marker
};

// True when `stream` is a whole JPEG image that any browser decodes to the
// pixels libjpeg-turbo gives for it: Huffman-coded baseline, extended or
// progressive frame of 8-bit samples, grey or YCbCr, its quantisation and
// Huffman tables in the stream itself (not an abbreviated stream that
// relies on tables given elsewhere), no orientation (APP1) or Adobe (APP14)
// segment, and an end-of-image marker at its end (trailing zero bytes
// allowed). Everything else (arithmetic coding, lossless and hierarchical
// frames, 12-bit samples, RGB or CMYK, truncated streams) is refused.
TQFIO_CORE_API bool inspect_jpeg_stream(const unsigned char *stream, size_t size, JpegStreamInfo *info);

// Cuts a stream inspect_jpeg_stream() accepts to its top-left width x height
// pixels in the DCT domain (the coefficients of the blocks kept are copied
// unchanged) into `out`. False when the stream cannot be transformed or the
// size is not within the image.
TQFIO_CORE_API bool crop_jpeg_stream(const unsigned char *stream, size_t size, int width, int height,
                                     std::vector<unsigned char> &out);

}  // namespace tqfio::core

#endif  // TQF_CORE_JPEG_STREAM_H
