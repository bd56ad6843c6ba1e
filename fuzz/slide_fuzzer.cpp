// Fuzz target of tqfio::slide: arbitrary slide bytes opened (from memory,
// by a path in the workspace) with arbitrary options, then reads at any
// level or downsample, in any pixel format, at any place (any int64, NaN
// and infinite downsamples), stored tile streams of any level, column and
// row, the properties, associated images, thumbnails and batches. Promises
// besides memory safety: opening either succeeds with a sane geometry or
// throws slide_error; a read either throws slide_error or fills exactly its
// buffer (guard bytes around it stay as they were); a tile stream fits its
// buffer; no read writes a file.
//
// Each input is kept to about a millisecond: a region of more than
// kMaxPixels is folded to at most kMaxSide a side, and one at a downsample
// that would take more than kMaxLevelPixels of the level it is read from is
// cut to fit; thumbnails of slides whose level to read is larger are left
// out. Negative sizes and the other refusals go to the slide as they are.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_memory.h"
#include "fuzz_workspace.h"
#include "image_pool.h"
#include "slide_request.h"
#include "tqf_slide.h"

namespace {

using tqf::fuzz::FuzzInput;
using tqf::fuzz::SlideRead;
using tqf::fuzz::SlideRequest;

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;
// Buffers stay below the sanitizer's large-allocation size (128 KiB), which
// maps fresh memory for each: page faults would cost more than the read.
constexpr int kMaxSide = 160;
constexpr double kMaxPixels = double(kMaxSide) * kMaxSide;
constexpr double kMaxLevelPixels = 170.0 * 170;

[[noreturn]] void broken(const char *promise) {
    tqf::fuzz::flushDiagnostics();
    std::fprintf(stderr, "slide broke a promise: %s\n", promise);
    std::abort();
}

const tqfio::pixel_format kFormats[] = {tqfio::pixel_format::rgb, tqfio::pixel_format::bgr, tqfio::pixel_format::rgba,
                                        tqfio::pixel_format::bgra};

// Cuts a read at a downsample to what the level it is read from allows.
void boundScaledRead(const tqfio::slide &slide, double downsample, int &width, int &height) {
    if (!(downsample > 0) || !std::isfinite(downsample) || width <= 0 || height <= 0)
        return;
    const tqfio::level_info &level = slide.levels()[static_cast<size_t>(slide.best_level_for_downsample(downsample))];
    const double ratio = downsample / level.downsample;
    const auto levelPixels = [&](int w, int h) {
        return std::min(w * ratio + 2, static_cast<double>(level.width)) *
               std::min(h * ratio + 2, static_cast<double>(level.height));
    };
    if (levelPixels(width, height) <= kMaxLevelPixels)
        return;
    const double side = std::sqrt(kMaxLevelPixels) / ratio;
    width = static_cast<int>(std::min<double>(width, side));
    height = static_cast<int>(std::min<double>(height, side));
    if (levelPixels(width, height) > kMaxLevelPixels)
        width = height = 0;
}

void readTileStream(const tqfio::slide &slide, const SlideRead &read, int64_t column, int64_t row) {
    static std::vector<unsigned char> buffer(tqfio::slide::tile_stream_capacity + 2 * kGuard);
    std::memset(buffer.data(), kGuardByte, kGuard);
    std::memset(buffer.data() + kGuard + tqfio::slide::tile_stream_capacity, kGuardByte, kGuard);
    size_t length = 0;
    try {
        length = slide.read_tile_stream(read.level, column, row, buffer.data() + kGuard);
    } catch (const tqfio::slide_error &e) {
        if (e.which() != tqfio::slide_error::kind::invalid_argument)
            broken("a tile stream read refuses only its arguments");
        return;
    }
    if (length > tqfio::slide::tile_stream_capacity)
        broken("a tile stream fits its buffer");
    for (size_t i = 0; i < kGuard; ++i)
        if (buffer[i] != kGuardByte || buffer[kGuard + tqfio::slide::tile_stream_capacity + i] != kGuardByte)
            broken("a tile stream read writes inside its buffer only");
}

void readOnce(const tqfio::slide &slide, const SlideRead &read) {
    const tqfio::pixel_format format = kFormats[(read.mode >> 1) & 3];
    const int64_t x = (read.mode & 8) ? static_cast<int16_t>(read.x) : read.x;
    const int64_t y = (read.mode & 8) ? static_cast<int16_t>(read.y) : read.y;
    if (read.mode & 32) {
        readTileStream(slide, read, x, y);
        return;
    }
    int width = read.width, height = read.height;
    if (width > 0 && height > 0 && static_cast<double>(width) * height > kMaxPixels) {
        width %= kMaxSide + 1;
        height %= kMaxSide + 1;
    }
    if (read.mode & 1)
        boundScaledRead(slide, read.downsample, width, height);
    const size_t row = width > 0 ? static_cast<size_t>(width) * tqfio::bytes_per_pixel(format) : 0;
    const size_t stride = row + (read.mode & 16 ? 5 : 0);
    const size_t body = height > 0 ? stride * static_cast<size_t>(height) : 0;
    std::vector<unsigned char> buffer(body + 2 * kGuard, kGuardByte);
    try {
        if (read.mode & 1)
            slide.read_region_at(x, y, read.downsample, width, height, buffer.data() + kGuard, stride, format);
        else
            slide.read_region(x, y, read.level, width, height, buffer.data() + kGuard, stride, format);
    } catch (const tqfio::slide_error &e) {
        if (e.which() != tqfio::slide_error::kind::invalid_argument)
            broken("a read refuses only its arguments");
    }
    for (size_t i = 0; i < kGuard; ++i)
        if (buffer[i] != kGuardByte || buffer[kGuard + body + i] != kGuardByte)
            broken("a read writes inside its buffer only");
    tqf::fuzz::readEvery(buffer.data() + kGuard, body);
}

// The pixels of the level a thumbnail of max_width x max_height is made
// from: the whole level is read.
double thumbnailCost(const tqfio::slide &slide, int maxWidth, int maxHeight) {
    const double downsample = std::max(static_cast<double>(slide.width()) / maxWidth,
                                       static_cast<double>(slide.height()) / maxHeight);
    const tqfio::level_info &level = slide.levels()[static_cast<size_t>(slide.best_level_for_downsample(downsample))];
    return static_cast<double>(level.width) * static_cast<double>(level.height);
}

void checkProperties(const tqfio::slide &slide, double downsample) {
    const tqfio::slide_properties &properties = slide.properties();
    for (const auto &[name, value] : properties.raw)
        tqf::fuzz::readEvery(value.c_str(), value.size() + 1);
    for (const auto &[name, value] : properties.source)
        tqf::fuzz::readEvery(value.data(), value.size());
    const int best = slide.best_level_for_downsample(downsample);
    if (best < 0 || static_cast<size_t>(best) >= slide.levels().size())
        broken("the best level for a downsample is a level");
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
    SlideRequest request;
    request.parse(input);
    const std::string &path = tqf::fuzz::memoryFile("slide.tqf", input.data(), input.size());

    tqfio::slide_options options;
    options.read_all = request.flags & SlideRequest::kReadAll;
    options.cache_bytes = request.flags & SlideRequest::kNoCache ? 0 : 4u << 20;
    options.threads = request.flags & SlideRequest::kOneThread ? 1 : 2;
    try {
        tqfio::slide slide(path, options);
        if (slide.levels().empty() || slide.width() < 1 || slide.height() < 1)
            broken("an opened slide has a level and a size");
        for (const tqfio::level_info &level : slide.levels())
            if (!(level.downsample >= 1) || level.width < 1 || level.height < 1)
                broken("every level has a size and a downsample of 1 or more");
        checkProperties(slide, request.reads[3].downsample);
        for (const SlideRead &read : request.reads)
            readOnce(slide, read);
        if (request.flags & SlideRequest::kAssociated) {
            for (const std::string &name : slide.associated_image_names()) {
                try {
                    const tqfio::image image = slide.associated_image(name, kFormats[request.reads[2].mode & 3]);
                    if (image.pixels.size() !=
                        static_cast<size_t>(image.width) * image.height * tqfio::bytes_per_pixel(image.format))
                        broken("an associated image is width x height x bytes per pixel");
                } catch (const tqfio::slide_error &) {
                }
            }
        }
        const int thumbnailWidth = 1 + (request.reads[0].width & 127);
        const int thumbnailHeight = 1 + (request.reads[0].height & 127);
        if ((request.flags & SlideRequest::kThumbnail) &&
            thumbnailCost(slide, thumbnailWidth, thumbnailHeight) <= 4 * kMaxLevelPixels) {
            const tqfio::image thumbnail = slide.thumbnail(thumbnailWidth, thumbnailHeight,
                                                           kFormats[request.reads[0].mode & 3]);
            if (thumbnail.width < 1 || thumbnail.height < 1 || thumbnail.width > thumbnailWidth ||
                thumbnail.height > thumbnailHeight)
                broken("a thumbnail has pixels and fits its bounds");
        }
        if (request.flags & SlideRequest::kBatch) {
            std::vector<std::pair<int64_t, int64_t>> locations;
            for (const SlideRead &read : request.reads)
                locations.emplace_back(read.x % 100000, read.y % 100000);
            try {
                tqfio::region_batch batch(slide, locations, request.reads[1].level, 1 + (request.reads[1].width & 127),
                                          1 + (request.reads[1].height & 127), kFormats[request.reads[1].mode & 3], 2,
                                          2);
                size_t count = 0, total = 0;
                while (auto regions = batch.next(&count)) {
                    tqf::fuzz::readEvery(regions.get(), count * batch.region_bytes());
                    total += count;
                }
                if (total != locations.size())
                    broken("a batch hands out every region");
            } catch (const tqfio::slide_error &e) {
                if (e.which() != tqfio::slide_error::kind::invalid_argument)
                    broken("a batch refuses only its arguments");
            }
        }
    } catch (const tqfio::slide_error &) {
    }
    if (tqf::fuzz::temporaryFileWritten())
        broken("reading a slide writes no file");
    tqf::fuzz::flushDiagnostics();
    return 0;
}
