#include "pyramid.h"

#include <opencv2/imgproc.hpp>

namespace tqf::writer {

namespace {

// Area-averages the `from` region of `source` into the `to` region of `destination`.
void averageInto(const cv::Mat &source, cv::Rect from, cv::Mat &destination, cv::Rect to) {
    if (from.area() > 0 && to.area() > 0) {
        cv::Mat region = destination(to);  // resize fills a region of the right size in place
        cv::resize(source(from), region, to.size(), 0, 0, cv::INTER_AREA);
    }
}

}  // namespace

cv::Mat halveLevel(const cv::Mat &level) {
    const int evenWidth = level.cols & ~1;
    const int evenHeight = level.rows & ~1;
    cv::Mat half((level.rows + 1) / 2, (level.cols + 1) / 2, level.type());

    // The even part takes OpenCV's exact factor-two path; an odd last column
    // or row is averaged along its length only, and an odd corner is copied.
    averageInto(level, cv::Rect(0, 0, evenWidth, evenHeight), half, cv::Rect(0, 0, evenWidth / 2, evenHeight / 2));
    if (level.cols & 1)
        averageInto(level, cv::Rect(level.cols - 1, 0, 1, evenHeight), half,
                    cv::Rect(half.cols - 1, 0, 1, evenHeight / 2));
    if (level.rows & 1)
        averageInto(level, cv::Rect(0, level.rows - 1, evenWidth, 1), half,
                    cv::Rect(0, half.rows - 1, evenWidth / 2, 1));
    if ((level.cols & 1) && (level.rows & 1))
        half.at<cv::Vec3b>(half.rows - 1, half.cols - 1) = level.at<cv::Vec3b>(level.rows - 1, level.cols - 1);
    return half;
}

}  // namespace tqf::writer
