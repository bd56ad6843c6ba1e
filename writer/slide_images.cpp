#include "slide_images.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace tqf::writer {

namespace {
constexpr int kCardWidth = 600;
constexpr int kCardHeight = 300;
constexpr int kCardMargin = 24;
// Longest text drawn on one line; longer names are shortened in the middle.
constexpr size_t kMaxLabelCharacters = 40;

std::string shortened(const std::string &text) {
    if (text.size() <= kMaxLabelCharacters)
        return text;
    const size_t keep = (kMaxLabelCharacters - 3) / 2;
    return text.substr(0, keep) + "..." + text.substr(text.size() - keep);
}

// Draws one line of text scaled to fit the card's inner width, its baseline at y.
void drawFittedLine(cv::Mat &card, const std::string &text, int y, double largestScale, int thickness) {
    const int font = cv::FONT_HERSHEY_SIMPLEX;
    int baseline = 0;
    const cv::Size natural = cv::getTextSize(text, font, 1.0, thickness, &baseline);
    const double available = card.cols - 2.0 * kCardMargin;
    const double scale = natural.width > 0 ? std::min(largestScale, available / natural.width) : largestScale;
    cv::putText(card, text, cv::Point(kCardMargin, y), font, scale, cv::Scalar(20, 20, 20), thickness, cv::LINE_AA);
}
}  // namespace

cv::Mat fitWithin(const cv::Mat &image, int maxSide) {
    const int longer = std::max(image.cols, image.rows);
    if (longer <= maxSide)
        return image;
    const double factor = static_cast<double>(maxSide) / longer;
    const cv::Size size(std::max(1, static_cast<int>(std::lround(image.cols * factor))),
                        std::max(1, static_cast<int>(std::lround(image.rows * factor))));
    cv::Mat fitted;
    cv::resize(image, fitted, size, 0, 0, cv::INTER_AREA);
    return fitted;
}

cv::Mat makeLabelCard(const std::string &text, int scanMagnification) {
    cv::Mat card(kCardHeight, kCardWidth, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::rectangle(card, cv::Rect(6, 6, kCardWidth - 12, kCardHeight - 12), cv::Scalar(60, 60, 60), 3);
    drawFittedLine(card, shortened(text.empty() ? std::string("slide") : text), 120, 1.2, 2);
    drawFittedLine(card, std::to_string(scanMagnification) + "x", 220, 2.0, 3);
    return card;
}

}  // namespace tqf::writer
