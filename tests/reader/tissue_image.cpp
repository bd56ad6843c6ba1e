#include "tissue_image.h"

#include <opencv2/imgcodecs.hpp>

#ifndef TQF_TISSUE_IMAGE
#error "TQF_TISSUE_IMAGE names the stained tissue image the test slides are made from"
#endif

namespace tqftest {

cv::Mat tiled_tissue(int width, int height, cv::Point offset, int column_weight) {
    const cv::Mat patch = cv::imread(TQF_TISSUE_IMAGE, cv::IMREAD_COLOR);
    cv::Mat out(height, width, CV_8UC3);
    for (int y = offset.y, row = 0; y < height; y += patch.rows, ++row)
        for (int x = offset.x, col = 0; x < width; x += patch.cols, ++col) {
            cv::Mat flipped;
            cv::flip(patch, flipped, (row + column_weight * col) % 3 - 1);
            const cv::Rect into = cv::Rect(x, y, patch.cols, patch.rows) & cv::Rect(0, 0, width, height);
            flipped(into - cv::Point(x, y)).copyTo(out(into));
        }
    return out;
}

}  // namespace tqftest
