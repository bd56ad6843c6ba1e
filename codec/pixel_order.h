// The pixel layouts the codecs read and write.
#ifndef TQF_CODEC_PIXEL_ORDER_H
#define TQF_CODEC_PIXEL_ORDER_H

namespace tqf::codec {

// 8 bits per channel, rows top to bottom. bgr is what OpenCV and the
// original reader hand out; rgb and rgba what NumPy and imaging users expect;
// bgra what OpenSlide's C interface hands out (ARGB words, little-endian).
enum class PixelOrder { bgr, rgb, rgba, bgra };

constexpr int bytes_per_pixel(PixelOrder order) {
    return order == PixelOrder::rgba || order == PixelOrder::bgra ? 4 : 3;
}

}  // namespace tqf::codec

#endif  // TQF_CODEC_PIXEL_ORDER_H
