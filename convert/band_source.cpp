#include "band_source.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include <tiffio.h>

#include <opencv2/imgproc.hpp>

namespace tqf::convert {

void compositeOnWhite(const uint32_t *pixels, int count, uint8_t *bgr, bool abgr) {
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

bool isTiff(const std::string &path) {
    unsigned char magic[4] = {};
    FILE *file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr)
        return false;
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    return got == 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0) ||
                        (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43)));
}

// OpenSlide and libtiff's RGBA interface each decode a TIFF tile whole, at
// four bytes a pixel, however small the image: a page's tile may be stated
// far larger than memory. Tiles up to 8192 x 8192 pixels are read.
constexpr uint64_t kLargestTilePixels = uint64_t{1} << 26;

int quietTiff(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// Why the TIFF at `path` cannot be read a tile at a time; empty when it can
// (or libtiff cannot read its pages, which the readers then report).
std::string oversizedTiles(const std::string &path) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quietTiff, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quietTiff, nullptr);
    TIFF *tiff = TIFFOpenExt(path.c_str(), "r", options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr)
        return {};
    std::string why;
    for (int page = 0; why.empty(); ++page) {
        uint32_t width = 0, height = 0;
        if (TIFFIsTiled(tiff) && TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &width) &&
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &height) && uint64_t{width} * height > kLargestTilePixels)
            why = "its page " + std::to_string(page) + " has tiles of " + std::to_string(width) + " x " +
                  std::to_string(height) + " pixels, too large to decode one at a time";
        if (!TIFFReadDirectory(tiff))
            break;
    }
    TIFFClose(tiff);
    return why;
}

}  // namespace

std::unique_ptr<BandSource> openSource(const std::string &path, std::string &error) {
    if (isTiff(path)) {
        const std::string why = oversizedTiles(path);
        if (!why.empty()) {
            error = "cannot read the TIFF '" + path + "': " + why;
            return nullptr;
        }
    }
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
