// Fuzz target of tqf-convert's sources: arbitrary TIFF bytes (from memory,
// by a path in the workspace) opened as the converter opens its input
// (through OpenSlide where it takes the file, else libtiff), parts of the
// image read as the conversion reads its bands, and the plan of the levels
// whose JPEG tiles are copied, with a tile of each copied level read and
// checked. Promises besides memory safety: a source that does not open,
// a read that fails and a damaged tile each say why (naming the file); a
// copied tile's stream is a JPEG stream a slide's tile may hold; a tile's
// pixels cover exactly its part of the level, whole or halved.
//
// Only TIFF bytes are handed over (the converter gives anything else to
// OpenCV's decoders, which are not fuzzed here), and each input is kept
// cheap: sources whose pages OpenSlide or libtiff would decode in large
// pieces on opening (tiles of more than kMaxTilePixels, short of the sizes
// the converter refuses; striped pages, which are read whole as associated
// images, of more than kMaxStripedPixels) are passed over, images of more
// than kMaxSourcePixels are opened but not read, parts are at most 128 x
// 128 pixels, and one tile is read per copied level.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <tiffio.h>

#include "band_source.h"
#include "convert_request.h"
#include "fuzz_input.h"
#include "fuzz_memory.h"
#include "fuzz_workspace.h"
#include "image_pool.h"
#include "jpeg_level_copy.h"
#include "tqf_format.h"

namespace {

using tqf::fuzz::ConvertRequest;
using tqf::fuzz::FuzzInput;
namespace convert = tqf::convert;

constexpr double kMaxSourcePixels = 512.0 * 512;
constexpr double kMaxTilePixels = 512.0 * 512;
constexpr double kRefusedTilePixels = 8192.0 * 8192;  // the converter refuses larger tiles
constexpr double kMaxStripedPixels = 512.0 * 512;
constexpr int kTile = 256;

[[noreturn]] void broken(const char *promise) {
    tqf::fuzz::flushDiagnostics();
    std::fprintf(stderr, "the converter's source broke a promise: %s\n", promise);
    std::abort();
}

bool isTiff(const uint8_t *data, size_t size) {
    return size >= 4 && ((data[0] == 'I' && data[1] == 'I' && (data[2] == 42 || data[2] == 43) && data[3] == 0) ||
                         (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && (data[3] == 42 || data[3] == 43)));
}

int quietTiff(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// Whether opening the TIFF at `path` would decode large pieces of it.
bool costlyToOpen(const std::string &path) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quietTiff, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quietTiff, nullptr);
    TIFF *tiff = TIFFOpenExt(path.c_str(), "r", options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr)
        return false;
    bool costly = false;
    do {
        uint32_t width = 0, height = 0;
        if (TIFFIsTiled(tiff)) {
            TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &width);
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &height);
            const double pixels = static_cast<double>(width) * height;
            costly = pixels > kMaxTilePixels && pixels <= kRefusedTilePixels;
        } else {
            TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
            TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
            costly = static_cast<double>(width) * height > kMaxStripedPixels;
        }
    } while (!costly && TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return costly;
}

void readPart(convert::BandSource &source, int64_t x, int64_t y, int width, int height, const std::string &path) {
    width = static_cast<int>(std::min<int64_t>(width, source.width() - x));
    height = static_cast<int>(std::min<int64_t>(height, source.height() - y));
    cv::Mat out(height, width, CV_8UC3);
    std::string error;
    if (source.read(x, y, out, error))
        tqf::fuzz::readEvery(out.data, out.total() * out.elemSize());
    else if (error.find(path) == std::string::npos)
        broken("a failed read names the source");
}

void readCopiedTile(const convert::CopiedLevel &level, const ConvertRequest &request, const std::string &path) {
    const int64_t column = request.column % level.columns(), row = request.row % level.rows();
    const convert::TilePixels want = static_cast<convert::TilePixels>(request.tilePixels % 3);
    convert::CopiedTile tile;
    cv::Mat scratch;
    std::string error;
    if (!level.readTile(column, row, want, tile, scratch, error)) {
        if (error.find(path) == std::string::npos)
            broken("a damaged tile names the source");
        return;
    }
    const int insideWidth = static_cast<int>(std::min<int64_t>(kTile, level.width() - column * kTile));
    const int insideHeight = static_cast<int>(std::min<int64_t>(kTile, level.height() - row * kTile));
    if (tile.reencode) {
        if (tile.pixels.cols != insideWidth || tile.pixels.rows != insideHeight || tile.reason.empty())
            broken("a tile encoded again has its part's pixels and a reason");
    } else if (!tile.stream.empty()) {
        if (tile.stream.size() > convert::kLargestTileStream || tile.stream[0] != 0xFF || tile.stream[1] != 0xD8)
            broken("a copied tile is a JPEG stream a slide's tile may hold");
    }
    if (want == convert::TilePixels::whole && (tile.output.cols != insideWidth || tile.output.rows != insideHeight))
        broken("a tile's pixels are its part of the level");
    if (want == convert::TilePixels::half &&
        (tile.output.cols != (insideWidth + 1) / 2 || tile.output.rows != (insideHeight + 1) / 2))
        broken("a halved tile's pixels are its part of the level halved");
    if (!tile.output.empty())
        for (int r = 0; r < tile.output.rows; ++r)
            tqf::fuzz::readEvery(tile.output.ptr(r), static_cast<size_t>(tile.output.cols) * 3);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tqf::fuzz::poolLargeImages();
    tqf::fuzz::enterWorkspace();
    tqf::fuzz::bufferDiagnostics();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    ConvertRequest request;
    request.parse(input);
    if (!isTiff(input.data(), input.size()))
        return 0;
    const std::string &path = tqf::fuzz::memoryFile("source.svs", input.data(), input.size());
    if (costlyToOpen(path))
        return 0;

    std::string error;
    std::unique_ptr<convert::BandSource> source = convert::openSource(path, error);
    if (!source) {
        if (error.find(path) == std::string::npos)
            broken("a source that does not open names the file and says why");
        tqf::fuzz::flushDiagnostics();
        return 0;
    }
    if (source->width() < 1 || source->height() < 1)
        broken("an opened source has pixels");
    const convert::SourceMetadata &metadata = source->metadata();
    for (const cv::Mat *image : {&metadata.label, &metadata.macro, &metadata.thumbnail})
        if (!image->empty() && image->type() != CV_8UC3)
            broken("an associated image is blue-green-red");
    if (static_cast<double>(source->width()) * static_cast<double>(source->height()) > kMaxSourcePixels) {
        tqf::fuzz::flushDiagnostics();
        return 0;
    }
    const int width = 1 + request.width % ConvertRequest::kMaxSide;
    const int height = 1 + request.height % ConvertRequest::kMaxSide;
    // Top to bottom, as the conversion asks.
    readPart(*source, 0, 0, width, height, path);
    readPart(*source, request.x % source->width(), request.y % source->height(), width, height, path);
    if (request.flags & ConvertRequest::kReadLevel) {
        cv::Mat out(height, width, CV_8UC3);
        source->readLevel(source->width(), source->height(), 0, 0, out);
    }
    if ((request.flags & ConvertRequest::kPlanCopies) && metadata.copiesTiffLevels) {
        const int32_t magnification = request.magnification % 80 > 0 ? request.magnification % 80 : 40;
        std::vector<convert::LevelGeometry> levels;
        for (const tqf::format::Level &level :
             tqf::format::pyramidLevels(source->width(), source->height(), magnification))
            levels.push_back({level.width, level.height, level.magnification});
        const convert::CopyPlan plan = convert::planCopies(
            path, levels,
            [&](int64_t levelWidth, int64_t levelHeight, int64_t x, int64_t y, cv::Mat &out) {
                return source->readLevel(levelWidth, levelHeight, x, y, out);
            },
            request.flags & ConvertRequest::kDrawnMissing ? convert::MissingTiles::drawnFromFinerLevel
                                                          : convert::MissingTiles::transparent);
        if (!plan.error.empty() && plan.error.find(path) == std::string::npos)
            broken("a damaged tile in the plan names the source");
        for (size_t k = 0; k < levels.size(); ++k) {
            if (!plan.copies(k))
                continue;
            if (!plan.error.empty())
                broken("a plan with a damaged tile copies nothing");
            const convert::CopiedLevel &level = *plan.levels[k];
            if (level.width() != levels[k].width || level.height() != levels[k].height)
                broken("a copied level has the size of its slide level");
            readCopiedTile(level, request, path);
        }
    }
    tqf::fuzz::flushDiagnostics();
    return 0;
}
