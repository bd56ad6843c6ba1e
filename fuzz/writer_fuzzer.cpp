// Fuzz target of the slide writer: an image built from the input (raw
// pixels of a bounded size and a chosen type, a view into a larger image, or
// a PNG, JPEG, BMP or PNM file decoded by OpenCV) and options drawn from it,
// out-of-range values included. A slide the writer reports as written must
// load in the slide library with the image's size and serve its first tile;
// a refusal or failure must leave no file behind and any earlier file at the
// target untouched.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "fuzz_input.h"
#include "fuzz_workspace.h"
#include "image_pool.h"
#include "tqf_writer.h"
#include "writer_request.h"
#include "yelk.h"
#include "yelk_results.h"

namespace {

using tqf::fuzz::FuzzInput;
using tqf::fuzz::workspace;
using tqf::fuzz::WriterRequest;

// Sides of the images built from the input; a few levels, a few tiles.
constexpr int kMaxSide = 700;
constexpr int kMaxImageSide = 96;  // label and preview images
const char kEarlierContent[] = "an earlier file at the target";

[[noreturn]] void broken(const char *promise) {
    std::fprintf(stderr, "writer broke a promise: %s\n", promise);
    std::abort();
}

// An image of the size and type whose pixels repeat `bytes`.
cv::Mat rawImage(int rows, int cols, int type, const uint8_t *bytes, size_t size) {
    cv::Mat image(rows, cols, type);
    if (image.empty())
        return image;
    unsigned char *pixels = image.ptr<unsigned char>(0);
    const size_t total = image.total() * image.elemSize();
    for (size_t i = 0; i < total; ++i)
        pixels[i] = size > 0 ? bytes[i % size] : 0;
    return image;
}

int side(uint16_t raw, int limit) { return 1 + raw % limit; }

// Only the decoders a converted scan would come through; the others are
// OpenCV's own matter.
bool decodable(const uint8_t *bytes, size_t size) {
    if (size < 4)
        return false;
    const bool png = std::memcmp(bytes, "\x89PNG", 4) == 0;
    const bool jpeg = bytes[0] == 0xFF && bytes[1] == 0xD8;
    const bool bmp = bytes[0] == 'B' && bytes[1] == 'M';
    const bool pnm = bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6';
    return png || jpeg || bmp || pnm;
}

cv::Mat optionImage(const tqf::fuzz::OptionImageRequest &request, const FuzzInput &payload) {
    const int rows = side(request.rows, kMaxImageSide);
    const int cols = side(request.cols, kMaxImageSide);
    switch (request.choice % 4) {
    case 1:
        return rawImage(rows, cols, CV_8UC3, payload.data(), payload.size());
    case 2:
        return rawImage(rows, cols, CV_8UC1, payload.data(), payload.size());  // refused
    case 3:
        return rawImage(rows, cols, CV_16UC3, payload.data(), payload.size());  // refused
    default:
        return cv::Mat();
    }
}

std::string fileContent(const std::string &path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

long long fileSize(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

size_t workspaceEntries() {
    size_t count = 0;
    if (DIR *dir = opendir(workspace().c_str())) {
        while (const dirent *entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ++count;
        closedir(dir);
    }
    return count;
}

void checkWrittenSlide(const std::string &path, const tqf::SlideWriteResult &result, int width, int height) {
    if (fileSize(path) != static_cast<long long>(result.fileSize))
        broken("the reported file size is the written file's");
    TQF *slide = yelk_load_image(path.c_str(), 0);
    if (slide == nullptr)
        broken("a written slide loads");
    if (slide->header->imageWidth != width || slide->header->imageHeight != height)
        broken("a written slide has the image's size");
    std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY);
    UINT32 length = 0;
    if (yelk_get_datablock_stream_single(slide, static_cast<UINT32>(slide->header->scanScale), 0, 0, buffer.data(),
                                         &length) != YELK_OK ||
        length == 0)
        broken("a written slide serves its first tile");
    yelk_unload_image(slide, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tqf::fuzz::poolLargeImages();
    // Decoded images larger than the writer's inputs here are refused by
    // OpenCV before it allocates them.
    setenv("OPENCV_IO_MAX_IMAGE_PIXELS", "490000", 1);
    tqf::fuzz::enterWorkspace();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tqf::fuzz::clearWorkspace();
    FuzzInput payload(data, size);
    WriterRequest request;
    request.parse(payload);
    const uint8_t flags = request.flags;

    tqf::SlideWriteOptions options;
    options.scanMagnification = request.magnification;
    options.jpegQuality = request.quality;
    options.previewMaxSide = request.previewMaxSide;
    // Above 256 is refused; otherwise at most two workers, as many as cores.
    options.threads = request.threads >= 0xF0 ? 257u + (request.threads & 0x0F) : request.threads % 3;
    if (flags & WriterRequest::kScanTime)
        options.scanTime = request.scanTime;
    options.labelText = request.labelText;
    options.label = optionImage(request.label, payload);
    options.preview = optionImage(request.preview, payload);

    const int rows = side(request.rows, kMaxSide);
    const int cols = side(request.cols, kMaxSide);
    cv::Mat image;
    switch (request.source % 4) {
    case WriterRequest::kRawColour:
        image = rawImage(rows, cols, CV_8UC3, payload.data(), payload.size());
        break;
    case WriterRequest::kRawOtherType: {
        static const int kTypes[] = {CV_8UC1, CV_8UC4, CV_16UC3, CV_32FC3, CV_8SC3};
        image = rawImage(rows, cols, kTypes[request.otherType % 5], payload.data(), payload.size());
        break;
    }
    case WriterRequest::kView: {
        // Rows that are not contiguous: a window into a wider image.
        const cv::Mat wider = rawImage(rows, cols + 7, CV_8UC3, payload.data(), payload.size());
        image = wider(cv::Rect(3, 0, cols, rows));
        break;
    }
    case WriterRequest::kDecoded:
        if (!decodable(payload.data(), payload.size()))
            return 0;
        try {
            image = cv::imdecode(
                cv::Mat(1, static_cast<int>(payload.size()), CV_8UC1, const_cast<uint8_t *>(payload.data())),
                cv::IMREAD_COLOR);
        } catch (const cv::Exception &) {
            return 0;  // the image library refuses the stream (a size beyond its limits): no image to write
        }
        if (image.cols > kMaxSide || image.rows > kMaxSide)
            return 0;
        break;
    }
    if (flags & WriterRequest::kEmptyImage)
        image.release();

    const std::string target = workspace() + "/written.tqf";
    if (flags & WriterRequest::kTargetExists)
        tqf::fuzz::writeWorkspaceFile("written.tqf", reinterpret_cast<const uint8_t *>(kEarlierContent),
                                      sizeof kEarlierContent - 1);
    const size_t entriesBefore = workspaceEntries();
    const int width = image.cols, height = image.rows;

    const tqf::SlideWriteResult result = tqf::writeSlide(image, target, options);
    if (result.ok()) {
        checkWrittenSlide(target, result, width, height);
    } else {
        if (result.error.empty())
            broken("a failure says why");
        if (workspaceEntries() != entriesBefore)
            broken("a failed write leaves no file behind");
        if ((flags & WriterRequest::kTargetExists) && fileContent(target) != kEarlierContent)
            broken("a failed write leaves the earlier file untouched");
    }
    return 0;
}
