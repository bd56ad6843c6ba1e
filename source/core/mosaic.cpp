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
    int code = -1;
    if (from == PixelOrder::rgb)
        code = to == PixelOrder::bgr ? cv::COLOR_RGB2BGR : cv::COLOR_RGB2RGBA;
    else if (from == PixelOrder::bgr)
        code = to == PixelOrder::rgb ? cv::COLOR_BGR2RGB : cv::COLOR_BGR2RGBA;
    else
        code = to == PixelOrder::rgb ? cv::COLOR_RGBA2RGB : cv::COLOR_RGBA2BGR;
    cv::cvtColor(src, dst, code);
}

}  // namespace tqfio::core
