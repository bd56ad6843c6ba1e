// A slide's preview and label images, through the slide library's export
// operations, without touching the working directory.
#ifndef TQF_CORE_ASSOCIATED_IMAGES_H
#define TQF_CORE_ASSOCIATED_IMAGES_H

#include <string>

#include <opencv2/core.hpp>

#include "yelk.h"

namespace tqfio::core {

enum class AssociatedImage { preview, label };

// Has the library write the image into a private temporary directory (under
// TMPDIR, else /tmp), reads it back (blue, green, red) and removes the
// directory with whatever is in it. An empty image when the library writes
// none or writes something that is not a JPEG or PNG image. Throws
// std::runtime_error, naming the directory, when no temporary directory
// can be made, and when the image states more than kLargestAssociatedImage
// pixels (a damaged header can state gigapixels, which would take gigabytes
// and seconds to decode; a scanner's label or macro image has a few million).
constexpr int64_t kLargestAssociatedImage = int64_t{1} << 26;
cv::Mat export_associated_image(TQF *slide, AssociatedImage which);

}  // namespace tqfio::core

#endif  // TQF_CORE_ASSOCIATED_IMAGES_H
