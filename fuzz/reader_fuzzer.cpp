// Fuzz target of the reader end to end: the input is a control block (how
// to open the slide, the read scale, up to six region requests, which other
// calls to make) followed by the bytes of the slide file, which the reader
// opens from memory by a path in the workspace. Region coordinates, sizes
// and scales come raw from the input (any int, NaN, infinities, negative
// and zero scales) or, by a mode bit, from narrow ranges near the slide.
// Every completed read must return w x h x 3 bytes, all of which are read
// back, and no read may write a file.
//
// Each input is kept to about a millisecond: a request the reader would
// serve with more than kMaxPixels in the result, or more than
// kMaxTilePixels at the tile level, is shrunk to fit (its size folded to at
// most kMaxSide a side, then cut to what the tile level allows). Requests the
// reader refuses up front by their size go to it as they are.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>

#include "fuzz_input.h"
#include "fuzz_memory.h"
#include "fuzz_workspace.h"
#include "image_pool.h"
#include "reader_request.h"
#include "tqf_reader.h"

namespace {

using tqf::fuzz::FuzzInput;
using tqf::fuzz::ReaderRequest;
using Region = tqf::fuzz::RegionRequest;

// Both keep a read's images below the sanitizer's large-allocation size
// (128 KiB), which maps fresh memory for every image: on a virtual machine
// page faults cost far more than the read itself.
constexpr int kMaxSide = 160;
constexpr double kMaxPixels = double(kMaxSide) * kMaxSide;
constexpr double kMaxTilePixels = 200.0 * 200;

[[noreturn]] void broken(const char *promise) {
    tqf::fuzz::flushDiagnostics();
    std::fprintf(stderr, "reader broke a promise: %s\n", promise);
    std::abort();
}

int narrowed(int32_t raw, bool narrow) { return narrow ? static_cast<int16_t>(raw) : raw; }

double chosenScale(const Region &region, tqfio::reader &reader, double openingScale) {
    const double read = reader.getReadScale();
    switch ((region.mode >> 4) & 7) {
    case 0:
        return region.scale;
    case 1:
        return openingScale > 0 ? openingScale : read;
    case 2:
        return read;
    case 3:
        return read / 2;
    case 4:
        return read / 4;
    case 5:
        return 13.3;
    case 6:
        return 1.0;
    default:
        return read * 3;
    }
}

int64_t clamped(int64_t value, int upper) { return value < 0 ? 0 : value > upper ? upper : value; }

// Shrinks a request that the reader would serve at more cost than an input
// may take; leaves alone one it refuses up front or can serve cheaply.
void makeAffordable(const tqfio::reader &reader, int readScale, int x, int y, int &w, int &h, double scale) {
    if (w < 0 || h < 0 || !(scale > 0) || !std::isfinite(scale) || readScale <= 0)
        return;
    if (static_cast<double>(w) * h * 3 > INT_MAX)
        return;
    if (static_cast<double>(w) * h > kMaxPixels) {
        w %= kMaxSide + 1;
        h %= kMaxSide + 1;
    }
    // Pixels at the tile level: the part of the region on the slide, at the
    // read scale.
    const double ratio = readScale / scale;
    const auto tileSide = [&](int at, int length, int upper) {
        const int64_t extent = clamped(int64_t(at) + length, upper) - clamped(at, upper);
        return extent == 0 ? 1.0 : static_cast<double>(extent) * ratio + 1;
    };
    if (tileSide(x, w, reader.getWidth()) * tileSide(y, h, reader.getHeight()) <= kMaxTilePixels)
        return;
    const double side = std::sqrt(kMaxTilePixels) / ratio;
    w = static_cast<int>(std::min<double>(w, side));
    h = static_cast<int>(std::min<double>(h, side));
    if (tileSide(x, w, reader.getWidth()) * tileSide(y, h, reader.getHeight()) > kMaxTilePixels)
        w = h = 0;
}

void readRegion(tqfio::reader &reader, const Region &region, double openingScale) {
    const int x = narrowed(region.x, region.mode & 1);
    const int y = narrowed(region.y, region.mode & 2);
    int w = narrowed(region.w, region.mode & 4);
    int h = narrowed(region.h, region.mode & 8);
    const double scale = chosenScale(region, reader, openingScale);
    makeAffordable(reader, reader.getReadScale(), x, y, w, h, scale);
    unsigned char *pixels = nullptr;
    int length = -1;
    reader.ReadRoi(x, y, w, h, scale, &pixels, &length);
    if (length == -1)
        return;  // refused; the outputs stay as they were
    if (w < 0 || h < 0 || !(scale > 0) || !std::isfinite(scale))
        broken("a negative size or a scale that is no magnification is refused");
    if (static_cast<int64_t>(length) != static_cast<int64_t>(w) * h * 3)
        broken("a completed read returns w x h x 3 bytes");
    if (length > 0 && pixels == nullptr)
        broken("a read of some bytes returns a buffer");
    tqf::fuzz::readEvery(pixels, static_cast<size_t>(length));
}

void readImages(tqfio::reader &reader, uint8_t flags) {
    for (const bool preview : {true, false}) {
        if (!(flags & (preview ? ReaderRequest::kPreview : ReaderRequest::kLabel)))
            continue;
        unsigned char *pixels = nullptr;
        int length = 0;
        int width = 0;
        try {
            width = preview ? reader.ReadPreview(&pixels, &length) : reader.readLabelImage(&pixels, &length);
        } catch (const cv::Exception &) {
            // The image library's own exceptions (an image claiming more
            // pixels than it reads) pass to the caller, the outputs as they were.
            if (pixels != nullptr || length != 0)
                broken("an image read that raises leaves the outputs as they were");
            continue;
        }
        if (width < 0 || length < 0 || (width == 0) != (length == 0) || (width > 0 && length % (3 * width) != 0))
            broken("an image is width x height x 3 bytes, and empty exactly when its width is 0");
        tqf::fuzz::readEvery(pixels, static_cast<size_t>(length));
        delete[] pixels;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tqf::fuzz::poolLargeImages();
    tqf::fuzz::enterWorkspace();
    tqf::fuzz::watchTemporaryFiles();
    tqf::fuzz::bufferDiagnostics();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput input(data, size);
    ReaderRequest request;
    request.parse(input);
    const uint8_t flags = request.flags;
    const double openingScale = request.openingScale;
    const auto &regions = request.regions;
    tqf::fuzz::memoryFile("slide.tqf", input.data(), input.size());

    tqfio::reader reader;
    if (flags & ReaderRequest::kReadBeforeOpening)
        readRegion(reader, regions[0], openingScale);
    const bool opened = reader.ReadInfo("slide.tqf", openingScale, (flags & ReaderRequest::kReadAll) != 0);
    if (opened && (reader.getWidth() < 0 || reader.getHeight() < 0 || reader.getReadScale() <= 0))
        broken("an opened slide has a size and a positive read scale");
    if (flags & ReaderRequest::kSetReadScale)
        reader.setReadScale(request.readScale);
    for (const Region &region : regions)
        readRegion(reader, region, openingScale);
    readImages(reader, flags);
    if (flags & ReaderRequest::kReopenAfterwards) {
        // A refused path keeps the slide; a missing one closes it.
        reader.ReadInfo("slide.TQF", openingScale, false);
        readRegion(reader, regions[1], openingScale);
        reader.ReadInfo("missing.tqf", 0, (flags & ReaderRequest::kReadAll) == 0);
        readRegion(reader, regions[2], openingScale);
        readImages(reader, flags);
    }
    if (tqf::fuzz::temporaryFileWritten())
        broken("reading a slide writes no file but the preview and label scratch images");
    tqf::fuzz::flushDiagnostics();
    return 0;
}
