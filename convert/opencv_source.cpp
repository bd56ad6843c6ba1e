// Images OpenCV reads (PNG, JPEG, BMP, ...): decoded whole, since OpenCV
// has no band reading for them, then handed out in bands like the others.
#include "band_source.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tqf::convert::detail {

namespace {

// 8-bit BGR with any alpha laid on white.
cv::Mat toBgrOnWhite(const cv::Mat &decoded) {
    cv::Mat image = decoded;
    if (image.empty())
        return image;
    if (image.depth() == CV_16U)
        image.convertTo(image, CV_8U, 1.0 / 257);
    else if (image.depth() != CV_8U)
        return cv::Mat();
    switch (image.channels()) {
    case 1: {
        cv::Mat bgr;
        cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
        return bgr;
    }
    case 3:
        return image;
    case 4: {
        cv::Mat bgr(image.rows, image.cols, CV_8UC3);
        for (int y = 0; y < image.rows; ++y) {
            const uint8_t *from = image.ptr<uint8_t>(y);
            uint8_t *to = bgr.ptr<uint8_t>(y);
            for (int x = 0; x < image.cols; ++x, from += 4, to += 3) {
                const int alpha = from[3];
                for (int c = 0; c < 3; ++c)
                    to[c] = static_cast<uint8_t>((from[c] * alpha + 255 * (255 - alpha) + 127) / 255);
            }
        }
        return bgr;
    }
    default:
        return cv::Mat();
    }
}

class OpenCvSource : public BandSource {
public:
    explicit OpenCvSource(cv::Mat image) : m_image(std::move(image)) {
        m_width = m_image.cols;
        m_height = m_image.rows;
        m_metadata.kind = "OpenCV";
    }

    bool read(int64_t x, int64_t y, cv::Mat &out, std::string &) override {
        m_image(cv::Rect(static_cast<int>(x), static_cast<int>(y), out.cols, out.rows)).copyTo(out);
        if (y + out.rows >= m_height && x + out.cols >= m_width)
            m_image.release();  // the last band: the writer has copies of what it needs
        return true;
    }

private:
    cv::Mat m_image;
};

}  // namespace

std::unique_ptr<BandSource> openWithOpenCv(const std::string &path, std::string &error) {
    cv::Mat image;
    try {
        image = toBgrOnWhite(cv::imread(path, cv::IMREAD_UNCHANGED));
        if (image.empty())  // a layout the conversion above does not take
            image = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception &e) {
        error = "cannot decode the input image '" + path + "': " + e.what();
        return nullptr;
    }
    if (image.empty()) {
        error = "cannot decode the input image '" + path + "': unreadable, not an image OpenCV knows, or empty";
        return nullptr;
    }
    return std::make_unique<OpenCvSource>(std::move(image));
}

}  // namespace tqf::convert::detail
