// What both mosaic layouts share. Neither makes the canvas of whole tiles it
// is defined by: tiles are decoded straight into the destination where they
// lie inside it, and only the parts of the canvas that the rectangle covers
// are ever written.
#include "mosaic.h"

#include <opencv2/imgproc.hpp>

namespace tqfio::core {

cv::Scalar opaque_white() { return cv::Scalar::all(255); }

void convert_pixels(const cv::Mat &src, PixelOrder from, cv::Mat &dst, PixelOrder to) {
    if (from == to) {
        src.copyTo(dst);
        return;
    }
    // The conversion codes by [from][to], in the enumeration's order bgr,
    // rgb, rgba, bgra; the diagonal is the copy above.
    static const int codes[4][4] = {
        {-1, cv::COLOR_BGR2RGB, cv::COLOR_BGR2RGBA, cv::COLOR_BGR2BGRA},
        {cv::COLOR_RGB2BGR, -1, cv::COLOR_RGB2RGBA, cv::COLOR_RGB2BGRA},
        {cv::COLOR_RGBA2BGR, cv::COLOR_RGBA2RGB, -1, cv::COLOR_RGBA2BGRA},
        {cv::COLOR_BGRA2BGR, cv::COLOR_BGRA2RGB, cv::COLOR_BGRA2RGBA, -1},
    };
    cv::cvtColor(src, dst, codes[static_cast<int>(from)][static_cast<int>(to)]);
}

}  // namespace tqfio::core
