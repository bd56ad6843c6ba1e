// Fuzz target of the reader end to end: the input is a control block (how
// to open the slide, the read scale, up to six region requests, which other
// calls to make) followed by the bytes of the slide file. Region
// coordinates, sizes and scales come raw from the input (any int, NaN,
// infinities, negative and zero scales) or, by a mode bit, from narrow
// ranges near the slide. Every completed read must return w x h x 3 bytes,
// all of which are read back, and no read may write a file.
//
// Requests whose work would be out of all proportion (more than kMaxPixels
// in the result or at the tile level) are skipped: the reader serves them
// by design, and the fuzzer would only measure the machine's memory.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "fuzz_workspace.h"
#include "reader_request.h"
#include "tqf_reader.h"

namespace {

using tqf::fuzz::FuzzInput;
using tqf::fuzz::ReaderRequest;
using Region = tqf::fuzz::RegionRequest;

constexpr double kMaxPixels = 4.0 * 1024 * 1024;

[[noreturn]] void broken(const char *promise)
{
    std::fprintf(stderr, "reader broke a promise: %s\n", promise);
    std::abort();
}

int narrowed(int32_t raw, bool narrow) { return narrow ? static_cast<int16_t>(raw) : raw; }

double chosenScale(const Region &region, tqfio::reader &reader, double openingScale)
{
    const double read = reader.getReadScale();
    switch ((region.mode >> 4) & 7) {
    case 0: return region.scale;
    case 1: return openingScale > 0 ? openingScale : read;
    case 2: return read;
    case 3: return read / 2;
    case 4: return read / 4;
    case 5: return 13.3;
    case 6: return 1.0;
    default: return read * 3;
    }
}

int64_t clamped(int64_t value, int upper) { return value < 0 ? 0 : value > upper ? upper : value; }

// Whether the request is refused up front or cheap enough to serve.
bool affordable(const tqfio::reader &reader, int readScale, int x, int y, int w, int h, double scale)
{
    if (w < 0 || h < 0 || !(scale > 0) || !std::isfinite(scale) || readScale <= 0)
        return true;
    if (static_cast<double>(w) * h * 3 > INT_MAX)
        return true;
    if (static_cast<double>(w) * h > kMaxPixels)
        return false;
    const double ratio = readScale / scale;
    const double tileWidth =
        static_cast<double>(clamped(int64_t(x) + w, reader.getWidth()) - clamped(x, reader.getWidth())) * ratio;
    const double tileHeight =
        static_cast<double>(clamped(int64_t(y) + h, reader.getHeight()) - clamped(y, reader.getHeight())) * ratio;
    return (tileWidth + 1) * (tileHeight + 1) <= kMaxPixels;
}

// Sums every byte so that a buffer shorter than promised is read past its end.
unsigned checksum(const unsigned char *bytes, int length)
{
    unsigned sum = 0;
    for (int i = 0; i < length; ++i)
        sum += bytes[i];
    return sum;
}

void readRegion(tqfio::reader &reader, const Region &region, double openingScale)
{
    const int x = narrowed(region.x, region.mode & 1);
    const int y = narrowed(region.y, region.mode & 2);
    const int w = narrowed(region.w, region.mode & 4);
    const int h = narrowed(region.h, region.mode & 8);
    const double scale = chosenScale(region, reader, openingScale);
    if (!affordable(reader, reader.getReadScale(), x, y, w, h, scale))
        return;
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
    [[maybe_unused]] static volatile unsigned sink;
    sink = checksum(pixels, length);
}

void readImages(tqfio::reader &reader, uint8_t flags)
{
    for (const bool preview : {true, false}) {
        if (!(flags & (preview ? ReaderRequest::kPreview : ReaderRequest::kLabel)))
            continue;
        unsigned char *pixels = nullptr;
        int length = 0;
        const int width = preview ? reader.ReadPreview(&pixels, &length) : reader.readLabelImage(&pixels, &length);
        if (width < 0 || length < 0 || (width == 0) != (length == 0) || (width > 0 && length % (3 * width) != 0))
            broken("an image is width x height x 3 bytes, and empty exactly when its width is 0");
        [[maybe_unused]] static volatile unsigned sink;
        sink = checksum(pixels, length);
        delete[] pixels;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tqf::fuzz::enterWorkspace();
    tqf::fuzz::watchTemporaryFiles();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    ReaderRequest request;
    request.parse(input);
    const uint8_t flags = request.flags;
    const double openingScale = request.openingScale;
    const auto &regions = request.regions;
    tqf::fuzz::writeWorkspaceFile("slide.tqf", input.data(), input.size());

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
    return 0;
}
