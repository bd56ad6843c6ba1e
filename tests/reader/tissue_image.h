// Test images from the real stained tissue image that python3-skimage ships.
#ifndef TQF_TISSUE_IMAGE_H
#define TQF_TISSUE_IMAGE_H

#include <opencv2/core.hpp>

namespace tqftest {

// The tissue image tiled up with flips into width x height, starting at
// `offset` (negative, so that patch borders do not meet tile borders). The
// patch in row r and column c is flipped by (r + column_weight * c) % 3 - 1.
cv::Mat tiled_tissue(int width, int height, cv::Point offset, int column_weight);

}  // namespace tqftest

#endif  // TQF_TISSUE_IMAGE_H
