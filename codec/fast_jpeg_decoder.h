// Decodes the JPEG tile streams that libjpeg-turbo's own interface turns
// into the very pixels cv::imdecode(IMREAD_COLOR) would give, about twice as
// fast. Every stream it is not sure of is left to cv::imdecode: the caller
// probes first and falls back whenever probe() or decode() says no.
#ifndef TQF_CODEC_FAST_JPEG_DECODER_H
#define TQF_CODEC_FAST_JPEG_DECODER_H

#include <cstddef>

#include "pixel_order.h"

namespace tqf::codec {

class FastJpegDecoder {
public:
    // Largest width and height the fast path takes; larger tiles go through
    // cv::imdecode, which also reports them exactly as usual.
    static const int kMaxSide = 256;

    FastJpegDecoder();
    ~FastJpegDecoder();
    FastJpegDecoder(const FastJpegDecoder &) = delete;
    FastJpegDecoder &operator=(const FastJpegDecoder &) = delete;

    // True when `stream` starts with a JPEG the fast path is sure of: 8-bit
    // baseline or progressive Huffman coding, YCbCr or grayscale, no APP1
    // (orientation) segment, at most kMaxSide in each direction. Sets the
    // image size then.
    bool probe(const unsigned char *stream, size_t size, int *width, int *height);

    // The size the frame header of a JPEG stream states, for any stream whose
    // header libjpeg reads as cv::imdecode reads it (warnings passed over;
    // also one probe() turns away, with any sampling factors). Nothing is
    // decoded, so this is cheap whatever size the header claims.
    static bool stated_size(const unsigned char *stream, size_t size, int *width, int *height);

    // Decodes a probed stream to pixels in `order` at `dst` (alpha 255 for
    // rgba), rows `pitch` bytes apart. False on any warning or error, after
    // which the pixels at dst are unspecified.
    bool decode(const unsigned char *stream, size_t size, unsigned char *dst, int width, int height, size_t pitch,
                PixelOrder order = PixelOrder::bgr);

    // Decodes only the window [x0, x1) x [y0, y1) of a probed stream to `dst`
    // (its top-left pixel; rows `pitch` bytes apart), with the very pixels a
    // whole decode gives there: rows above the window are skipped, decoding
    // stops after its last row, and columns are cropped with a margin of a
    // block on either side, so that chroma upsampling at the window's edges
    // still sees the neighbours it sees in a whole decode. False on any
    // warning or error, as decode().
    bool decode_window(const unsigned char *stream, size_t size, int x0, int y0, int x1, int y1, unsigned char *dst,
                       size_t pitch, PixelOrder order);

private:
    void *m_handle;
};

}  // namespace tqf::codec

#endif  // TQF_CODEC_FAST_JPEG_DECODER_H
