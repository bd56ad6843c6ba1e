/*
 * Edge tiles stored at their true size, widened to a full tile in the DCT
 * coefficient domain, without decoding and encoding them again.
 *
 * A tiled TIFF wants every tile TileWidth x TileLength, and readers that
 * decode its JPEG tiles themselves (OpenSlide) check the decoded size. A
 * slide's edge tiles are smaller (220 x 256, say). padStream() copies the
 * stream's quantised coefficients into a stream of the full size, so every
 * stored block decodes exactly as before; the blocks beyond continue the
 * stored edge flat.
 *
 * Only one thing can still change, and only in the last pixel column (row)
 * of a tile whose width (height) is even: libjpeg's smooth ("fancy") chroma
 * upsampling, its default, interpolates each pixel's chroma from the
 * neighbouring chroma samples. At a stream's last pixel column it has no
 * right-hand neighbour and repeats the last sample; in the padded stream the
 * next sample exists (in the stored MCU padding, or in the continuation)
 * and is used. The two agree when the next sample is within about two
 * levels of the last; keepsPixels() tells whether they do. The next sample
 * shares its 8 x 8 block with samples inside the image (or, at a multiple of
 * 16 pixels, continues them only as nearly as quantisation allows), so no
 * copy of the stored coefficients can set it freely.
 */
#ifndef TQF_CODEC_JPEG_TILE_PADDING_H
#define TQF_CODEC_JPEG_TILE_PADDING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tqf::codec {

// What the frame header of a stream says.
struct StreamLayout {
    int width = 0;
    int height = 0;
    int components = 0;  // 1 (grey) or 3 (YCbCr)
    // Luma sampling factors over chroma ones: 2 x 2 for 4:2:0, 1 x 1 for 4:4:4.
    int horizontalSubsampling = 1;
    int verticalSubsampling = 1;
};

// Reads the frame header. False with `error` set when the stream is not a
// JPEG libjpeg reads, or has other than 1 or 3 components.
bool readLayout(const uint8_t *data, size_t size, StreamLayout &layout, std::string &error);

// A stream of exactly `width` x `height` pixels (at least the stream's own
// size) holding the stream's coefficients, its last block column and row
// repeated outwards. Huffman tables are the standard ones; quantisation
// tables, sampling and colour space are the stream's.
bool padStream(const uint8_t *data, size_t size, int width, int height, std::vector<uint8_t> &padded,
               std::string &error);

// Whether `padded` decodes, over the area of the original stream, to the
// very pixels the original decodes to, with libjpeg's default decoding (smooth
// upsampling, accurate integer IDCT: what OpenSlide and the slide reader use).
bool keepsPixels(const uint8_t *data, size_t size, const std::vector<uint8_t> &padded, bool &same, std::string &error);

// Whether a stream of this size, padded to edge x edge, can decode
// differently in its last column or row: the side falls short of the edge
// and is even (only where chroma is subsampled that way).
bool paddingMayChangePixels(int width, int height, int edge);

}  // namespace tqf::codec

#endif  // TQF_CODEC_JPEG_TILE_PADDING_H
