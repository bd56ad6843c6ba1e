// Fuzz target of tqfio::slide: arbitrary slide bytes opened with arbitrary
// options, then reads at any level or downsample, in any pixel format, at
// any place (any int64, NaN and infinite downsamples), associated images,
// thumbnails and batches. Promises besides memory safety: opening either
// succeeds with a sane geometry or throws slide_error; a read either
// throws slide_error or fills exactly its buffer (guard bytes around it
// stay as they were); no read writes a file.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_workspace.h"
#include "slide_request.h"
#include "tqf_slide.h"

namespace {

using tqf::fuzz::FuzzInput;
using tqf::fuzz::SlideRead;
using tqf::fuzz::SlideRequest;

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

[[noreturn]] void broken(const char *promise)
{
    std::fprintf(stderr, "slide broke a promise: %s\n", promise);
    std::abort();
}

const tqfio::pixel_format kFormats[] = {tqfio::pixel_format::rgb, tqfio::pixel_format::bgr,
                                        tqfio::pixel_format::rgba, tqfio::pixel_format::bgra};

void readOnce(const tqfio::slide &slide, const SlideRead &read)
{
    const tqfio::pixel_format format = kFormats[(read.mode >> 1) & 3];
    const int width = read.width, height = read.height;
    const int64_t x = (read.mode & 8) ? static_cast<int16_t>(read.x) : read.x;
    const int64_t y = (read.mode & 8) ? static_cast<int16_t>(read.y) : read.y;
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
    [[maybe_unused]] static volatile unsigned sink;
    for (size_t i = kGuard; i < kGuard + body; ++i)
        sink = sink + buffer[i];
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
    SlideRequest request;
    request.parse(input);
    const std::string path = tqf::fuzz::writeWorkspaceFile("slide.tqf", input.data(), input.size());

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
        for (const SlideRead &read : request.reads)
            readOnce(slide, read);
        if (request.flags & SlideRequest::kAssociated) {
            for (const std::string &name : slide.associated_image_names()) {
                try {
                    const tqfio::image image = slide.associated_image(name);
                    if (image.pixels.size() != static_cast<size_t>(image.width) * image.height * 3)
                        broken("an associated image is width x height x 3 bytes");
                } catch (const tqfio::slide_error &) {
                }
            }
        }
        if (request.flags & SlideRequest::kThumbnail) {
            const tqfio::image thumbnail = slide.thumbnail(1 + (request.reads[0].width & 127),
                                                           1 + (request.reads[0].height & 127));
            if (thumbnail.width < 1 || thumbnail.height < 1)
                broken("a thumbnail has pixels");
        }
        if (request.flags & SlideRequest::kBatch) {
            std::vector<std::pair<int64_t, int64_t>> locations;
            for (const SlideRead &read : request.reads)
                locations.emplace_back(read.x % 100000, read.y % 100000);
            try {
                tqfio::region_batch batch(slide, locations, request.reads[1].level, 1 + (request.reads[1].width & 255),
                                          1 + (request.reads[1].height & 255), tqfio::pixel_format::rgb, 2, 2);
                size_t count = 0, total = 0;
                while (batch.next(&count))
                    total += count;
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
    return 0;
}
