#include "band_source.h"

#include <algorithm>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace tqf::convert {

void compositeOnWhite(const uint32_t *pixels, int count, uint8_t *bgr, bool abgr)
{
    // Opaque rows (nearly all of a slide) are a plain channel shuffle, which
    // OpenCV does with SIMD: ARGB words are B, G, R, A bytes in memory.
    bool opaque = !abgr;
    for (int i = 0; opaque && i < count; ++i)
        opaque = (pixels[i] >> 24) == 0xFF;
    if (opaque) {
        const cv::Mat from(1, count, CV_8UC4, const_cast<uint32_t *>(pixels));
        cv::Mat to(1, count, CV_8UC3, bgr);
        cv::cvtColor(from, to, cv::COLOR_BGRA2BGR);
        return;
    }
    // Premultiplied: colour + (255 - alpha) x white.
    for (int i = 0; i < count; ++i, bgr += 3) {
        const uint32_t p = pixels[i];
        const uint32_t alpha = p >> 24;
        const uint32_t white = 255 - alpha;
        const uint32_t first = (p >> 16) & 0xFF, second = (p >> 8) & 0xFF, third = p & 0xFF;
        // ARGB (OpenSlide): R G B from the top; ABGR (libtiff): B G R.
        const uint32_t red = abgr ? third : first, blue = abgr ? first : third;
        bgr[0] = static_cast<uint8_t>(std::min<uint32_t>(255, blue + white));
        bgr[1] = static_cast<uint8_t>(std::min<uint32_t>(255, second + white));
        bgr[2] = static_cast<uint8_t>(std::min<uint32_t>(255, red + white));
    }
}

namespace {

bool isTiff(const std::string &path)
{
    unsigned char magic[4] = {};
    FILE *file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr)
        return false;
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    return got == 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0) ||
                        (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43)));
}

}  // namespace

std::unique_ptr<BandSource> openSource(const std::string &path, std::string &error)
{
    bool recognised = false;
    std::unique_ptr<BandSource> source = detail::openWithOpenSlide(path, recognised, error);
    if (source)
        return source;
    // A TIFF OpenSlide takes for its own but cannot open (a compression it
    // lacks, say) may still be one libtiff reads.
    if (isTiff(path)) {
        const std::string openSlideError = error;
        source = detail::openWithLibtiff(path, error);
        if (!source && recognised)
            error = openSlideError + "; libtiff: " + error;
        return source;
    }
    if (recognised)
        return nullptr;
    return detail::openWithOpenCv(path, error);
}

}  // namespace tqf::convert
