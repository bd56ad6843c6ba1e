// Decoding of the images a slide holds: its tiles and its associated images.
//
// A slide holds JPEG images (and test slides PNG ones). Streams of any other
// kind never reach an image decoder: the image library would otherwise pick
// one of the many it was built with by the stream's first bytes (OpenEXR,
// JPEG 2000, Radiance HDR, TIFF, WebP, GDAL's formats ...), each a parser of
// its own, some of which write the stream to a temporary file first. Such a
// stream is treated as one that does not decode.
#ifndef TQF_CODEC_IMAGE_DECODING_H
#define TQF_CODEC_IMAGE_DECODING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tqf::codec {

enum class ImageFormat { jpeg, png, other };

// The format a stream's signature names: JPEG (FF D8 FF) or PNG (its 8-byte
// signature); anything else is `other`.
ImageFormat image_format_of(const unsigned char *data, size_t size);

// cv::imdecode(IMREAD_COLOR) for JPEG and PNG streams: blue, green, red, with
// the decoder's own messages and exceptions. An empty image for every other
// stream, which no decoder sees.
cv::Mat decode_slide_image(const unsigned char *data, size_t size);

// The same for the whole of a regular file; an empty image when the file is
// missing, not a regular file or cannot be read.
cv::Mat read_slide_image_file(const std::string &path);

// The size a JPEG or PNG stream's header states, nothing decoded: cheap
// whatever size it claims (a damaged header can claim gigapixels). False for
// a stream of any other kind, or one whose header does not parse.
bool stated_image_size(const unsigned char *data, size_t size, int64_t *width, int64_t *height);

// The whole of a regular file, as read_slide_image_file reads it; false when
// it cannot be read.
bool read_whole_file(const std::string &path, std::vector<unsigned char> &bytes);

}  // namespace tqf::codec

#endif  // TQF_CODEC_IMAGE_DECODING_H
