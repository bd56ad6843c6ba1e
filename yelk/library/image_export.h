/*
 * Writing a slide's stored preview or label image to a file of the caller's
 * choosing, replacing that file only once the image is complete.
 */
#ifndef TQF_IMAGE_EXPORT_H
#define TQF_IMAGE_EXPORT_H

#include "open_slide.h"

namespace tqf::library {

// Returns a YelkResult. On any failure the target is left as it was and no
// temporary file remains.
int exportStoredImage(const OpenSlide &slide, const StoredImage &image, const char *fileName);

}  // namespace tqf::library

#endif  // TQF_IMAGE_EXPORT_H
