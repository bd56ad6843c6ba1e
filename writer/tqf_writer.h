/*
 * Writing a .tqf slide from an image in memory.
 *
 *     cv::Mat image = cv::imread("scan.png", cv::IMREAD_COLOR);
 *     tqf::SlideWriteOptions options;
 *     options.scanMagnification = 20;
 *     tqf::SlideWriteResult result = tqf::writeSlide(std::move(image), "scan.tqf", options);
 *     if (!result.ok()) std::cerr << result.error << '\n';
 *
 * The slide holds the image as 256-pixel JPEG tiles at its scan
 * magnification and at every halved level down to one that fits in a tile,
 * plus a preview, a label and a thumbnail image (yelk/FORMAT.md).
 */
#ifndef TQF_WRITER_H
#define TQF_WRITER_H

#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace tqf {

struct SlideWriteOptions {
    // Magnification of the image as given, 1 to 1000.
    int scanMagnification = 40;
    // JPEG quality of the tiles and stored images, 1 to 100.
    int jpegQuality = 90;
    // Label image, 8-bit BGR; empty for a generated card showing `labelText`
    // and the magnification. Images larger than 4096 pixels are scaled down.
    cv::Mat label;
    // Preview image, 8-bit BGR; empty for an overview of the slide whose
    // longer side is `previewMaxSide` (or the image's, when smaller).
    cv::Mat preview;
    // Text on the generated label; empty for the output's file name.
    std::string labelText;
    // Longer side of the generated preview, 1 to 4096.
    int previewMaxSide = 1024;
    // Encoder threads, up to 256; 0 for one per processor core.
    unsigned threads = 0;
    // Seconds since 1970 recorded as the scan time; unset for now.
    std::optional<int64_t> scanTime;
};

struct SlideWriteResult {
    std::string error;  // empty on success; otherwise what was wrong, with which input
    uint64_t fileSize = 0;
    uint32_t tileCount = 0;
    int levelCount = 0;

    bool ok() const { return error.empty(); }
};

// Writes `image` (CV_8UC3, blue-green-red) as a slide to `outputPath`,
// replacing any file there only when the slide is complete and on disk; on
// failure nothing is left behind. Pass the image with std::move to let the
// writer release the scan level once its tiles are written.
SlideWriteResult writeSlide(cv::Mat image, const std::string &outputPath, const SlideWriteOptions &options = {});

}  // namespace tqf

#endif  // TQF_WRITER_H
