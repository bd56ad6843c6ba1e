/*
 * The whole-slide images stored beside the tiles: preview, label, thumbnail.
 */
#ifndef TQF_SLIDE_IMAGES_H
#define TQF_SLIDE_IMAGES_H

#include <string>

#include <opencv2/core.hpp>

namespace tqf::writer {

// The image scaled down by area averaging so its longer side is at most
// `maxSide`, keeping its aspect (each side at least 1). Smaller images are
// returned as they are, never enlarged.
cv::Mat fitWithin(const cv::Mat &image, int maxSide);

// A white card with a dark frame, the given text and the magnification, as a
// stand-in for the photographed label of a glass slide.
cv::Mat makeLabelCard(const std::string &text, int scanMagnification);

}  // namespace tqf::writer

#endif  // TQF_SLIDE_IMAGES_H
