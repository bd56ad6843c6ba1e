// Writes the seed corpora of the fuzz targets into a directory:
//
//   make-fuzz-seeds DIRECTORY
//
// DIRECTORY/slide_library: small slides made by the writer (one to three
// levels, scan magnifications 1, 20 and 40), truncated and damaged copies,
// and files that are no slide. DIRECTORY/reader: control blocks that open,
// read inside, across and beyond those slides at several scales, followed by
// a slide. DIRECTORY/writer: raw and encoded images with ordinary and
// out-of-range options. DIRECTORY/slide and DIRECTORY/openslide: requests of
// the slide API and of OpenSlide's C interface, each followed by one of the
// slide_library files. DIRECTORY/convert_source: small TIFF sources
// (Aperio-like and generic tiled JPEG pyramids, striped and LZW-tiled
// TIFFs, a damaged copy) behind requests. Everything is deterministic and small (tens of
// kilobytes), so that fuzzing starts from valid files quickly.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include "convert_request.h"
#include "openslide_request.h"
#include "reader_request.h"
#include "slide_request.h"
#include "tqf_format.h"
#include "tqf_writer.h"
#include "writer_request.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Smooth colours with a few edges: small JPEG tiles that still decode to
// something worth comparing.
cv::Mat syntheticImage(int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 255 / width),
                                                  static_cast<uint8_t>(y * 255 / height),
                                                  static_cast<uint8_t>((x + y) % 256 < 128 ? 200 : 60));
    cv::circle(image, cv::Point(width / 2, height / 2), std::min(width, height) / 3, cv::Scalar(30, 90, 160), -1);
    return image;
}

Bytes readFile(const std::string &path) {
    std::ifstream stream(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string &path, const Bytes &bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(stream);
}

struct SeedSlide {
    const char *name;
    int width, height, magnification;
    bool givenImages;               // small label and preview images instead of generated ones
    bool sourceProperties = false;  // an extension record of a converted slide's source properties
};

// Slides written by the writer, at low quality and with small stored images.
bool makeSlides(const std::string &scratch, std::vector<std::pair<std::string, Bytes>> &slides) {
    const SeedSlide seeds[] = {
        {"one_pixel", 1, 1, 40, true},
        {"two_levels", 300, 200, 20, true},
        {"three_levels", 520, 300, 40, true},
        {"scan_1x_generated_images", 257, 256, 1, false},
        {"source_properties", 300, 200, 20, true, true},
    };
    for (const SeedSlide &seed : seeds) {
        tqf::SlideWriteOptions options;
        options.scanMagnification = seed.magnification;
        options.jpegQuality = 30;
        options.threads = 1;
        options.scanTime = 0;
        options.previewMaxSide = 48;
        if (seed.givenImages) {
            options.label = syntheticImage(40, 20);
            options.preview = syntheticImage(24, 16);
        }
        if (seed.sourceProperties)
            options.sourceProperties = {{"aperio.AppMag", "20"}, {"tiff.Make", "scanner"}, {"empty", ""}};
        const std::string path = scratch + "/" + seed.name + ".tqf";
        const tqf::SlideWriteResult result = tqf::writeSlide(syntheticImage(seed.width, seed.height), path, options);
        if (!result.ok()) {
            std::fprintf(stderr, "make-fuzz-seeds: %s\n", result.error.c_str());
            return false;
        }
        slides.emplace_back(seed.name, readFile(path));
        std::remove(path.c_str());
    }
    return true;
}

template <typename T>
void poke(Bytes &bytes, size_t offset, T value) {
    if (offset + sizeof(T) <= bytes.size())
        std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// Copies of one slide cut short or with one record field changed, each on
// the edge of what the library accepts.
std::vector<std::pair<std::string, Bytes>> damagedCopies(const Bytes &slide) {
    std::vector<std::pair<std::string, Bytes>> copies;
    for (const size_t length : {size_t(0), size_t(95), size_t(251), size_t(252), slide.size() / 2, slide.size() - 1})
        copies.emplace_back("truncated_" + std::to_string(length), Bytes(slide.begin(), slide.begin() + length));

    TQF_HEADER header;
    std::memcpy(&header, slide.data(), sizeof header);
    const size_t firstBlock = static_cast<size_t>(header.dataBlockPos);
    const auto field = [](auto member) { return static_cast<size_t>(member); };
    struct Damage {
        const char *name;
        size_t offset;
        int64_t value;
        size_t width;
    };
    const Damage damages[] = {
        {"size_recorded_wrong", offsetof(TQF_HEADER, freeInfo), static_cast<int64_t>(slide.size()) + 1, 8},
        {"tile_count_plus_one", offsetof(TQF_HEADER, dataBlockCount), header.dataBlockCount + 1, 4},
        {"width_doubled", offsetof(TQF_HEADER, imageWidth), header.imageWidth * 2, 4},
        {"magnification_zero", offsetof(TQF_HEADER, scanScale), 0, 4},
        {"preview_header_at_end", offsetof(TQF_HEADER, previewPos), static_cast<int64_t>(slide.size()) - 10, 4},
        {"index_past_end", offsetof(TQF_HEADER, dataBlockPos), static_cast<int64_t>(slide.size()), 8},
        {"tile_stream_too_long", firstBlock + offsetof(TQF_DATABLOCK_HEADER, length), YELK_TILE_STREAM_CAPACITY + 1, 4},
        {"tile_stream_past_end", firstBlock + offsetof(TQF_DATABLOCK_HEADER, position),
         static_cast<int64_t>(slide.size()) - 4, 8},
        {"tile_absent", firstBlock + offsetof(TQF_DATABLOCK_HEADER, length), 0, 4},
        {"label_absent", field(tqf::format::kLabelHeaderPosition) + 4, 0, 4},
    };
    for (const Damage &damage : damages) {
        Bytes copy = slide;
        if (damage.width == 8)
            poke<int64_t>(copy, damage.offset, damage.value);
        else
            poke<int32_t>(copy, damage.offset, static_cast<int32_t>(damage.value));
        if (std::strcmp(damage.name, "tile_absent") == 0)
            poke<int64_t>(copy, firstBlock + offsetof(TQF_DATABLOCK_HEADER, position), 0);
        copies.emplace_back(damage.name, copy);
    }
    // The first tile's stream with its bytes scrambled: stored, but no JPEG.
    Bytes scrambled = slide;
    TQF_DATABLOCK_HEADER block;
    std::memcpy(&block, slide.data() + firstBlock, sizeof block);
    for (uint32_t i = 0; i < block.length; i += 7)
        scrambled[static_cast<size_t>(block.position) + i] ^= 0x5A;
    copies.emplace_back("tile_stream_scrambled", scrambled);
    return copies;
}

tqf::fuzz::RegionRequest region(int32_t x, int32_t y, int32_t w, int32_t h, double scale, uint8_t mode = 0) {
    tqf::fuzz::RegionRequest request;
    request.mode = mode;
    request.x = x;
    request.y = y;
    request.w = w;
    request.h = h;
    request.scale = scale;
    return request;
}

std::vector<std::pair<std::string, tqf::fuzz::ReaderRequest>> readerRequests() {
    using tqf::fuzz::ReaderRequest;
    std::vector<std::pair<std::string, ReaderRequest>> requests;
    ReaderRequest inside;
    inside.flags = ReaderRequest::kPreview | ReaderRequest::kLabel;
    inside.regions[0] = region(0, 0, 64, 64, 0, 0x20);        // at the read scale
    inside.regions[1] = region(200, 100, 300, 150, 0, 0x20);  // across tiles
    inside.regions[2] = region(-20, -10, 80, 40, 0, 0x20);    // over the top left corner
    inside.regions[3] = region(480, 280, 100, 60, 0, 0x20);   // over the bottom right corner
    inside.regions[4] = region(5000, 10, 16, 16, 0, 0x20);    // beyond the slide
    inside.regions[5] = region(0, 0, 0, 7, 0, 0x20);          // empty
    requests.emplace_back("inside_and_around", inside);

    ReaderRequest scaled;
    scaled.flags = ReaderRequest::kReadAll | ReaderRequest::kReopenAfterwards;
    scaled.openingScale = 10;
    scaled.regions[0] = region(0, 0, 100, 60, 10);
    scaled.regions[1] = region(10, 5, 33, 21, 13.3);
    scaled.regions[2] = region(-3, -3, 40, 40, 0, 0x40);  // at a quarter of the read scale
    scaled.regions[3] = region(1, 0, 10, 4, 30);
    scaled.regions[4] = region(0, 0, 50, 50, 80);          // above the read scale
    scaled.regions[5] = region(100, 70, 30, 30, 0, 0x10);  // at the opening scale
    requests.emplace_back("opened_at_10_read_all", scaled);

    ReaderRequest level;
    level.flags = ReaderRequest::kSetReadScale | ReaderRequest::kReadBeforeOpening;
    level.openingScale = 20;
    level.readScale = 20;
    level.regions[0] = region(0, 0, 128, 128, 20);
    level.regions[1] = region(100, 50, 150, 100, 20);
    level.regions[2] = region(0, 0, 64, 64, 10);
    level.regions[3] = region(0, 0, 1, 1, 20);
    level.regions[4] = region(255, 255, 2, 2, 20);
    level.regions[5] = region(0, 0, 260, 150, 20);
    requests.emplace_back("read_scale_set_to_a_level", level);

    ReaderRequest extremes;
    extremes.flags = ReaderRequest::kSetReadScale | ReaderRequest::kPreview;
    extremes.openingScale = -1;
    extremes.readScale = 1e30f;
    extremes.regions[0] = region(INT32_MIN, INT32_MIN, 10, 10, 40);
    extremes.regions[1] = region(INT32_MAX, INT32_MAX, 10, 10, 40);
    extremes.regions[2] = region(0, 0, -5, 10, 40);
    extremes.regions[3] = region(0, 0, 10, 10, 1e-300);
    extremes.regions[4] = region(0, 0, 10, 10, 1e300);
    extremes.regions[5] = region(0, 0, 46341, 46341, 40);  // more bytes than an int counts
    requests.emplace_back("extremes", extremes);
    return requests;
}

tqf::fuzz::SlideRead slideRead(uint8_t mode, int64_t x, int64_t y, int8_t level, int16_t w, int16_t h,
                               double downsample = 1) {
    return tqf::fuzz::SlideRead{mode, x, y, level, w, h, downsample};
}

std::vector<std::pair<std::string, tqf::fuzz::SlideRequest>> slideRequests() {
    using tqf::fuzz::SlideRequest;
    std::vector<std::pair<std::string, SlideRequest>> requests;
    SlideRequest levels;
    levels.flags = SlideRequest::kAssociated | SlideRequest::kBatch;
    levels.reads[0] = slideRead(0, 0, 0, 0, 64, 64);
    levels.reads[1] = slideRead(2, 200, 100, 1, 300, 150);     // bgr, across tiles
    levels.reads[2] = slideRead(4 | 16, -20, -10, 0, 80, 40);  // rgba, wide rows, over the corner
    levels.reads[3] = slideRead(0, 480, 280, 2, 100, 60);
    requests.emplace_back("levels", levels);

    SlideRequest scaled;
    scaled.flags = SlideRequest::kReadAll | SlideRequest::kNoCache | SlideRequest::kThumbnail;
    scaled.reads[0] = slideRead(1, 0, 0, 0, 100, 60, 3.0);
    scaled.reads[1] = slideRead(1, 10, 5, 0, 33, 21, 0.5);
    scaled.reads[2] = slideRead(1 | 4, -300, -3, 0, 40, 40, 50.0);
    scaled.reads[3] = slideRead(1, 0, 0, 0, 10, 4, 1.0);
    requests.emplace_back("downsamples", scaled);

    SlideRequest extremes;
    extremes.flags = SlideRequest::kOneThread;
    extremes.reads[0] = slideRead(0, INT64_MIN, INT64_MAX, 0, 10, 10);
    extremes.reads[1] = slideRead(0, 0, 0, 99, 10, 10);
    extremes.reads[2] = slideRead(1, 0, 0, 0, -5, 10, std::nan(""));
    extremes.reads[3] = slideRead(1, 0, 0, 0, 10, 10, 1e300);
    requests.emplace_back("extremes", extremes);

    // Stored tile streams (x, y are the column and row), with a thumbnail and
    // the associated images in four bytes a pixel.
    SlideRequest streams;
    streams.flags = SlideRequest::kThumbnail | SlideRequest::kAssociated;
    streams.reads[0] = slideRead(32 | 2, 0, 0, 0, 100, 60);
    streams.reads[1] = slideRead(32, 1, 0, 1, 0, 0);
    streams.reads[2] = slideRead(32 | 8 | 3, -1, 70000, 0, 0, 0);  // outside the grid
    streams.reads[3] = slideRead(32, 0, 0, 9, 0, 0, 2.0);          // a level the slide lacks
    requests.emplace_back("tile_streams", streams);
    return requests;
}

tqf::fuzz::OpenSlideRead openSlideRead(int64_t x, int64_t y, int32_t level, int16_t w, int16_t h) {
    return tqf::fuzz::OpenSlideRead{x, y, level, w, h};
}

std::vector<std::pair<std::string, tqf::fuzz::OpenSlideRequest>> openSlideRequests() {
    using tqf::fuzz::OpenSlideRequest;
    std::vector<std::pair<std::string, OpenSlideRequest>> requests;
    OpenSlideRequest levels;
    levels.flags = OpenSlideRequest::kAssociated | OpenSlideRequest::kProperties;
    levels.downsample = 2.5;
    levels.reads[0] = openSlideRead(0, 0, 0, 64, 64);
    levels.reads[1] = openSlideRead(200, 100, 1, 300, 150);  // across tiles
    levels.reads[2] = openSlideRead(-20, -10, 0, 80, 40);    // over the corner
    levels.reads[3] = openSlideRead(480, 280, 2, 100, 60);
    requests.emplace_back("levels", levels);

    OpenSlideRequest cached;
    cached.flags = OpenSlideRequest::kCache | OpenSlideRequest::kNullArguments;
    cached.downsample = std::nan("");
    cached.cacheBytes = 1 << 20;
    cached.reads[0] = openSlideRead(0, 0, 7, 10, 10);  // a level the slide lacks
    cached.reads[1] = openSlideRead(INT64_MIN, INT64_MAX, 0, 10, 10);
    cached.reads[2] = openSlideRead(100, 100, 0, 0, 5);
    cached.reads[3] = openSlideRead(50, 60, 1, 120, 90);
    requests.emplace_back("cache_and_nulls", cached);

    OpenSlideRequest errors;
    errors.flags = OpenSlideRequest::kAssociated;
    errors.downsample = 1e300;
    errors.reads[0] = openSlideRead(0, 0, 0, 32, 32);
    errors.reads[1] = openSlideRead(0, 0, 0, -5, 10);  // the error state from here on
    errors.reads[2] = openSlideRead(0, 0, 0, 32, 32);
    errors.reads[3] = openSlideRead(0, 0, -1, 8, 8);
    requests.emplace_back("negative_size", errors);
    return requests;
}

Bytes encoded(const cv::Mat &image, const char *extension, std::vector<int> parameters = {}) {
    Bytes bytes;
    cv::imencode(extension, image, bytes, parameters);
    return bytes;
}

std::vector<std::pair<std::string, Bytes>> writerInputs() {
    using tqf::fuzz::WriterRequest;
    std::vector<std::pair<std::string, Bytes>> inputs;
    const cv::Mat small = syntheticImage(40, 30);
    const Bytes pixels(small.data, small.data + small.total() * small.elemSize());
    const auto add = [&](const std::string &name, const WriterRequest &request, const Bytes &payload) {
        Bytes input;
        request.serialize(input);
        input.insert(input.end(), payload.begin(), payload.end());
        inputs.emplace_back(name, input);
    };

    WriterRequest plain;
    plain.threads = 1;
    plain.quality = 50;
    plain.previewMaxSide = 64;
    plain.rows = 299;  // 300 x 280 pixels: two levels
    plain.cols = 279;
    add("raw_two_levels", plain, pixels);

    WriterRequest three = plain;
    three.rows = 519;
    three.cols = 299;
    three.magnification = 20;
    three.label = {1, 20, 40};
    three.preview = {1, 16, 24};
    three.flags = WriterRequest::kTargetExists | WriterRequest::kScanTime;
    three.scanTime = 1700000000;
    add("raw_three_levels_given_images", three, pixels);

    WriterRequest view = plain;
    view.source = WriterRequest::kView;
    view.rows = 255;
    view.cols = 256;
    view.flags = WriterRequest::kLabelText;
    view.labelText = "a label with \xc3\xa9 and a \t tab";
    add("non_contiguous_rows_label_text", view, pixels);

    WriterRequest grey = plain;
    grey.source = WriterRequest::kRawOtherType;
    grey.otherType = 0;
    add("grey_image_refused", grey, pixels);

    WriterRequest bad = plain;
    bad.magnification = 0;
    bad.quality = 101;
    bad.previewMaxSide = -1;
    bad.threads = 0xF0;
    bad.label = {2, 8, 8};
    add("options_out_of_range", bad, pixels);

    WriterRequest decoded = plain;
    decoded.source = WriterRequest::kDecoded;
    add("png", decoded, encoded(syntheticImage(270, 90), ".png"));
    add("jpeg_progressive", decoded,
        encoded(syntheticImage(90, 300), ".jpg", {cv::IMWRITE_JPEG_QUALITY, 40, cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
    add("bmp", decoded, encoded(syntheticImage(33, 17), ".bmp"));
    add("pnm", decoded, encoded(syntheticImage(17, 33), ".ppm"));
    cv::Mat grey8;
    cv::cvtColor(syntheticImage(60, 40), grey8, cv::COLOR_BGR2GRAY);
    add("png_grey", decoded, encoded(grey8, ".png"));
    return inputs;
}

// One page of a TIFF: tiled JPEG (YCbCr, shared tables, as scanners write
// them), tiled LZW, or striped and uncompressed.
enum class Page { jpegTiles, lzwTiles, strips };

bool writeTiffPage(TIFF *tiff, const cv::Mat &bgr, Page page, const char *description) {
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(rgb.cols));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(rgb.rows));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (description != nullptr)
        TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description);
    if (page == Page::strips) {
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
        for (int row = 0; row < rgb.rows; ++row)
            if (TIFFWriteScanline(tiff, rgb.ptr(row), static_cast<uint32_t>(row), 0) < 0)
                return false;
        return TIFFWriteDirectory(tiff) != 0;
    }
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 256);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, 256);
    if (page == Page::jpegTiles) {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 40);
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    } else {
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    }
    cv::Mat tile(256, 256, CV_8UC3);
    for (int y = 0; y < rgb.rows; y += 256) {
        for (int x = 0; x < rgb.cols; x += 256) {
            tile.setTo(cv::Scalar::all(255));
            const cv::Rect part(x, y, std::min(256, rgb.cols - x), std::min(256, rgb.rows - y));
            rgb(part).copyTo(tile(cv::Rect(0, 0, part.width, part.height)));
            if (TIFFWriteTile(tiff, tile.data, static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0, 0) < 0)
                return false;
        }
    }
    return TIFFWriteDirectory(tiff) != 0;
}

// A TIFF of one page per level, each half the one above.
bool makeTiff(const std::string &path, int width, int height, int levels, Page page, const char *description) {
    TIFF *tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr)
        return false;
    bool ok = true;
    for (int level = 0; ok && level < levels; ++level) {
        ok = writeTiffPage(tiff, syntheticImage(width, height), page, level == 0 ? description : nullptr);
        width = (width + 1) / 2;
        height = (height + 1) / 2;
    }
    TIFFClose(tiff);
    return ok;
}

std::vector<std::pair<std::string, Bytes>> convertInputs(const std::string &scratch) {
    using tqf::fuzz::ConvertRequest;
    struct Source {
        const char *name;
        int width, height, levels;
        Page page;
        const char *description;
    };
    const Source sources[] = {
        {"aperio_two_levels", 520, 300, 2, Page::jpegTiles, "Aperio Image Library v12 |AppMag = 20|MPP = 0.5"},
        {"generic_tiled_jpeg", 300, 200, 2, Page::jpegTiles, nullptr},
        {"lzw_tiles", 200, 120, 1, Page::lzwTiles, nullptr},
        {"strips", 90, 70, 1, Page::strips, "plain"},
    };
    ConvertRequest plan;
    plan.flags = ConvertRequest::kPlanCopies | ConvertRequest::kReadLevel;
    plan.tilePixels = 1;
    plan.x = 300;
    plan.y = 100;
    plan.width = 100;
    plan.height = 60;
    plan.column = 1;
    ConvertRequest drawn = plan;
    drawn.flags |= ConvertRequest::kDrawnMissing;
    drawn.tilePixels = 2;
    drawn.magnification = 20;
    std::vector<std::pair<std::string, Bytes>> inputs;
    for (const Source &source : sources) {
        const std::string path = scratch + "/" + source.name + ".tif";
        if (!makeTiff(path, source.width, source.height, source.levels, source.page, source.description))
            return {};
        const Bytes tiff = readFile(path);
        std::remove(path.c_str());
        for (const auto &[requestName, request] : {std::make_pair("plan", plan), std::make_pair("drawn", drawn)}) {
            Bytes input;
            request.serialize(input);
            input.insert(input.end(), tiff.begin(), tiff.end());
            inputs.emplace_back(std::string(requestName) + "_" + source.name, input);
        }
        Bytes cut;
        plan.serialize(cut);
        cut.insert(cut.end(), tiff.begin(), tiff.begin() + static_cast<ptrdiff_t>(tiff.size() * 2 / 3));
        inputs.emplace_back(std::string("truncated_") + source.name, cut);
    }
    return inputs;
}

bool writeCorpus(const std::string &directory, const std::vector<std::pair<std::string, Bytes>> &entries) {
    mkdir(directory.c_str(), 0755);
    for (const auto &[name, bytes] : entries) {
        if (!writeFile(directory + "/" + name, bytes)) {
            std::fprintf(stderr, "make-fuzz-seeds: cannot write %s/%s\n", directory.c_str(), name.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);

    std::vector<std::pair<std::string, Bytes>> slides;
    if (!makeSlides(root, slides))
        return 1;

    std::vector<std::pair<std::string, Bytes>> library = slides;
    for (auto &[name, bytes] : damagedCopies(slides[2].second))
        library.emplace_back("three_levels_" + name, bytes);
    library.emplace_back("zeros_252", Bytes(252, 0));
    library.emplace_back("text", Bytes{'n', 'o', 't', ' ', 'a', ' ', 's', 'l', 'i', 'd', 'e', '\n'});

    std::vector<std::pair<std::string, Bytes>> reader;
    for (const auto &[requestName, request] : readerRequests()) {
        for (const size_t slide : {size_t(1), size_t(2)}) {
            Bytes input;
            request.serialize(input);
            input.insert(input.end(), slides[slide].second.begin(), slides[slide].second.end());
            reader.emplace_back(requestName + "_" + slides[slide].first, input);
        }
    }
    Bytes noSlide;
    readerRequests()[0].second.serialize(noSlide);
    reader.emplace_back("no_slide", noSlide);

    // The slide API over the same slides and their damaged copies.
    std::vector<std::pair<std::string, Bytes>> slideInputs;
    const auto requests = slideRequests();
    for (size_t i = 0; i < library.size(); ++i) {
        const auto &[requestName, request] = requests[i % requests.size()];
        Bytes input;
        request.serialize(input);
        input.insert(input.end(), library[i].second.begin(), library[i].second.end());
        slideInputs.emplace_back(requestName + "_" + library[i].first, input);
    }

    // OpenSlide's C interface over them alike.
    std::vector<std::pair<std::string, Bytes>> openSlideInputs;
    const auto openSlide = openSlideRequests();
    for (size_t i = 0; i < library.size(); ++i) {
        const auto &[requestName, request] = openSlide[i % openSlide.size()];
        Bytes input;
        request.serialize(input);
        input.insert(input.end(), library[i].second.begin(), library[i].second.end());
        openSlideInputs.emplace_back(requestName + "_" + library[i].first, input);
    }

    // Requests to the viewer's server, which serves one slide named "s".
    std::vector<std::pair<std::string, Bytes>> httpRequests;
    for (const char *head : {
             "GET /slides/s_files/10/1_1.jpeg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
             "GET /slides/s_files/3/0_0.jpeg?v=0123456789abcdef HTTP/1.1\r\n\r\n",
             "HEAD /slides/s.dzi HTTP/1.1\r\nIf-None-Match: W/\"x\", *\r\n\r\n",
             "GET http://localhost/slides/s%2e.dzi HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
             "GET /view/s?compare=t HTTP/1.1\r\nHost: evil.example\r\n\r\n",
             "POST /slides/s/properties.json HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}",
             "GET /slides/s/associated/label.png HTTP/1.1\r\n\r\n",
         })
        httpRequests.emplace_back("request_" + std::to_string(httpRequests.size()),
                                  Bytes(head, head + std::strlen(head)));

    const bool written = writeCorpus(root + "/slide_library", library) && writeCorpus(root + "/reader", reader) &&
                         writeCorpus(root + "/writer", writerInputs()) && writeCorpus(root + "/slide", slideInputs) &&
                         writeCorpus(root + "/openslide", openSlideInputs) && writeCorpus(root + "/http", httpRequests);
    const std::vector<std::pair<std::string, Bytes>> convertSources = convertInputs(root);
    if (convertSources.empty()) {
        std::fprintf(stderr, "make-fuzz-seeds: cannot write the TIFF sources\n");
        return 1;
    }
    if (!writeCorpus(root + "/convert_source", convertSources))
        return 1;
    return written ? 0 : 1;
}
