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
// can be made.
cv::Mat export_associated_image(TQF *slide, AssociatedImage which);

}  // namespace tqfio::core

#endif  // TQF_CORE_ASSOCIATED_IMAGES_H
