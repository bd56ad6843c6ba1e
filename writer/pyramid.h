/*
 * Reduction of a pyramid level to the next one.
 */
#ifndef TQF_PYRAMID_H
#define TQF_PYRAMID_H

#include <opencv2/core.hpp>

namespace tqf::writer {

// Halves a CV_8UC3 BGR level by area averaging to ceil(width / 2) x ceil(height / 2).
// Each output pixel is the mean of its 2 x 2 block; on an odd last row or
// column the block is cut short and the mean taken over the pixels present.
cv::Mat halveLevel(const cv::Mat &level);

}  // namespace tqf::writer

#endif  // TQF_PYRAMID_H
