#include "tiff_export.h"

#include "codec/jpeg_encoder.h"
#include "codec/jpeg_tile_padding.h"
#include "core/slide_file.h"
#include "private_directory.h"
#include "sibling_temp_file.h"
#include "yelk.h"
#include "yelk_results.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <tiffio.h>

namespace tqf::convert {

namespace {

using tqfio::core::SlideLevel;

constexpr int kTileEdge = 256;
// Past this many bytes of tiles a classic TIFF's 32-bit offsets may not reach.
constexpr uint64_t kLargestClassicTiff = uint64_t{3} << 30;

const char *resultText(int result) {
    switch (result) {
    case YELK_BAD_ARGUMENT:
        return "refused as a bad argument";
    case YELK_NOT_STORED:
        return "not stored";
    case YELK_STREAM_TOO_LONG:
        return "its stream is longer than a tile can be";
    case YELK_READ_FAILED:
        return "the slide file could not be read (truncated or changed?)";
    case YELK_WRITE_FAILED:
        return "the scratch file could not be written";
    case YELK_INTERNAL_ERROR:
        return "the slide library failed (out of memory?)";
    default:
        return "unknown failure";
    }
}

bool readWholeFile(const std::string &path, std::vector<uint8_t> &bytes) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    return !stream.bad();
}

struct Messages {
    std::string last;
};

int keepMessage(TIFF *, void *user, const char *module, const char *format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    auto *messages = static_cast<Messages *>(user);
    messages->last = module != nullptr && *module != '\0' ? std::string(module) + ": " + text : text;
    return 1;
}

int ignoreMessage(TIFF *, void *, const char *, const char *, va_list) { return 1; }

class Export {
public:
    Export(const std::string &slidePath, const std::string &outputPath, const ExportProgress &progress)
        : m_slidePath(slidePath), m_outputPath(outputPath), m_progress(progress) {}

    ~Export() {
        if (m_tiff != nullptr)
            TIFFClose(m_tiff);
        m_file.discard();
    }

    TiffExportResult run() {
        m_result.error = write();
        if (!m_result.ok()) {
            if (m_tiff != nullptr) {
                TIFFClose(m_tiff);
                m_tiff = nullptr;
            }
            m_file.discard();
        }
        return m_result;
    }

private:
    const std::vector<SlideLevel> &levels() const { return m_slide->levels(); }

    std::string slideError(const std::string &what) const { return "cannot export '" + m_slidePath + "': " + what; }
    std::string outputError(const std::string &what) const { return "cannot write '" + m_outputPath + "': " + what; }

    std::string tiffFailure() const {
        std::string why = m_messages.last.empty() ? "libtiff failed" : m_messages.last;
        if (m_errno != 0)
            why += std::string(" (") + std::strerror(m_errno) + ")";
        return why;
    }

    std::string write() {
        try {
            m_slide = std::make_unique<tqfio::core::SlideFile>(m_slidePath, false);
        } catch (const tqfio::core::SlideOpenError &e) {
            return slideError(e.cause());
        }
        std::string problem;
        std::vector<uint8_t> label, preview;
        if (!(problem = fetchImages(label, preview)).empty())
            return problem;

        uint64_t tileCount = 0;
        for (const SlideLevel &level : levels())
            tileCount += static_cast<uint64_t>((level.width + kTileEdge - 1) / kTileEdge) *
                         static_cast<uint64_t>((level.height + kTileEdge - 1) / kTileEdge);
        if (!m_file.create(m_outputPath))
            return outputError(m_file.error());
        if (!(problem = openTiff(estimatedSize(label.size() + preview.size()))).empty())
            return problem;
        for (size_t k = 0; k < levels().size(); ++k)
            if (!(problem = writeLevel(k, tileCount)).empty())
                return problem;
        if (!(problem = writeImagePage(label, "label")).empty() ||
            !(problem = writeImagePage(preview, "macro")).empty())
            return problem;
        errno = 0;
        if (TIFFFlush(m_tiff) != 1) {
            m_errno = errno;
            return outputError(tiffFailure());
        }
        TIFFClose(m_tiff);
        m_tiff = nullptr;
        struct stat written;
        if (fstat(m_file.descriptor(), &written) == 0)
            m_result.fileSize = static_cast<uint64_t>(written.st_size);
        if (!m_file.commit(io::SiblingTempFile::Durability::kSyncedToDisk))
            return outputError(m_file.error());
        m_result.levels = static_cast<int>(levels().size());
        return {};
    }

    // The label and preview through the library, which writes them to files.
    std::string fetchImages(std::vector<uint8_t> &label, std::vector<uint8_t> &preview) {
        std::unique_ptr<io::PrivateDirectory> scratch;
        try {
            scratch = std::make_unique<io::PrivateDirectory>("tqf-export-");
        } catch (const std::runtime_error &e) {
            return slideError(e.what());
        }
        const struct {
            int (*fetch)(TQF *, const char *);
            const char *name;
            std::vector<uint8_t> *bytes;
        } images[] = {{yelk_get_label_image, "label", &label}, {yelk_get_preview_image, "preview", &preview}};
        for (const auto &image : images) {
            const std::string path = scratch->file(std::string(image.name) + ".jpg");
            const int result = image.fetch(m_slide->handle(), path.c_str());
            if (result == YELK_NOT_STORED)
                continue;
            if (result != YELK_OK)
                return slideError(std::string("cannot get its ") + image.name + " image: " + resultText(result));
            if (!readWholeFile(path, *image.bytes))
                return slideError(std::string("cannot read back its ") + image.name + " image from '" + path + "'");
        }
        return {};
    }

    uint64_t estimatedSize(uint64_t imageBytes) const {
        uint64_t bytes = imageBytes;
        const TQF &record = *m_slide->handle();
        for (INT32 i = 0; i < record.header->dataBlockCount; ++i)
            bytes += record.dataBlockHeader[i].length + 512;  // padded edge tiles grow a little
        return bytes;
    }

    std::string openTiff(uint64_t expectedBytes) {
        // libtiff closes the descriptor it is given; the temporary file keeps its own.
        const int fd = dup(m_file.descriptor());
        if (fd < 0)
            return outputError(std::strerror(errno));
        TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, keepMessage, &m_messages);
        TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreMessage, nullptr);
        m_tiff = TIFFFdOpenExt(fd, m_file.temporaryPath().c_str(), expectedBytes > kLargestClassicTiff ? "w8" : "w",
                               options);
        TIFFOpenOptionsFree(options);
        if (m_tiff == nullptr) {
            close(fd);
            return outputError(tiffFailure());
        }
        return {};
    }

    void setCommonFields(int width, int height, const codec::StreamLayout &layout) {
        TIFFSetField(m_tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
        TIFFSetField(m_tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
        TIFFSetField(m_tiff, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(m_tiff, TIFFTAG_SAMPLESPERPIXEL, layout.components);
        TIFFSetField(m_tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(m_tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        if (layout.components == 3) {
            TIFFSetField(m_tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
            TIFFSetField(m_tiff, TIFFTAG_YCBCRSUBSAMPLING, layout.horizontalSubsampling, layout.verticalSubsampling);
            float reference[6] = {0, 255, 128, 255, 128, 255};
            TIFFSetField(m_tiff, TIFFTAG_REFERENCEBLACKWHITE, reference);
        } else {
            TIFFSetField(m_tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        }
        TIFFSetField(m_tiff, TIFFTAG_SOFTWARE, "tqf-convert");
    }

    // Resolution of a level `downsample` times coarser than the scan.
    void setResolution(double downsample) {
        const double microns = m_slide->header().imageCapRes;
        if (!(microns > 0) || !std::isfinite(microns))
            return;
        const float pixelsPerCentimetre = static_cast<float>(1e4 / (microns * downsample));
        TIFFSetField(m_tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
        TIFFSetField(m_tiff, TIFFTAG_XRESOLUTION, pixelsPerCentimetre);
        TIFFSetField(m_tiff, TIFFTAG_YRESOLUTION, pixelsPerCentimetre);
    }

    std::string tilePlace(size_t k, int64_t x, int64_t y) const {
        char magnification[32];
        std::snprintf(magnification, sizeof magnification, "%g", levels()[k].magnification);
        return "the tile at (" + std::to_string(x) + ", " + std::to_string(y) + ") of level " + std::to_string(k) +
               " (" + magnification + "x)";
    }

    // A tile's stream through the library, or a white tile of the level's
    // layout where none is stored (what the slide's readers show there).
    std::string fetchTile(size_t k, int64_t x, int64_t y, std::vector<uint8_t> &stream, bool &stored) {
        stream.resize(YELK_TILE_STREAM_CAPACITY);
        UINT32 length = 0;
        const int result = yelk_get_datablock_stream_single(m_slide->handle(), levels()[k].address,
                                                            static_cast<INT32>(x), static_cast<INT32>(y),
                                                            reinterpret_cast<char *>(stream.data()), &length);
        stored = result == YELK_OK;
        if (result == YELK_NOT_STORED)
            return {};
        if (result != YELK_OK)
            return slideError("cannot read " + tilePlace(k, x, y) + ": " + resultText(result));
        if (length == 0 || length > YELK_TILE_STREAM_CAPACITY)
            return slideError("cannot read " + tilePlace(k, x, y) + ": the library gave a stream of " +
                              std::to_string(length) + " bytes");
        stream.resize(length);
        return {};
    }

    std::string whiteTile(const codec::StreamLayout &layout, std::vector<uint8_t> &stream) {
        using codec::ChromaSubsampling;
        const std::vector<uint8_t> white(static_cast<size_t>(kTileEdge) * kTileEdge * 3, 255);
        const ChromaSubsampling subsampling = layout.components == 1 ? ChromaSubsampling::gray
                                              : layout.horizontalSubsampling == 2 && layout.verticalSubsampling == 2
                                                  ? ChromaSubsampling::s420
                                              : layout.horizontalSubsampling == 2 ? ChromaSubsampling::s422
                                              : layout.verticalSubsampling == 2   ? ChromaSubsampling::s440
                                                                                  : ChromaSubsampling::s444;
        codec::JpegEncoder encoder;
        const codec::PixelView view{white.data(), kTileEdge, kTileEdge, static_cast<size_t>(kTileEdge) * 3,
                                    codec::PixelOrder::rgb};
        const size_t size = encoder.encode(view, 90, subsampling, stream);
        if (size == 0)
            return "cannot encode a white tile: " + encoder.error();
        stream.resize(size);
        return {};
    }

    std::string writeLevel(size_t k, uint64_t tileCount) {
        const SlideLevel &level = levels()[k];
        const int64_t columns = (level.width + kTileEdge - 1) / kTileEdge;
        const int64_t rows = (level.height + kTileEdge - 1) / kTileEdge;
        std::vector<uint8_t> stream, padded, white;
        codec::StreamLayout levelLayout;
        std::string problem;
        for (int64_t row = 0; row < rows; ++row) {
            for (int64_t column = 0; column < columns; ++column) {
                const int64_t x = column * kTileEdge, y = row * kTileEdge;
                bool stored = false;
                if (!(problem = fetchTile(k, x, y, stream, stored)).empty())
                    return problem;
                codec::StreamLayout layout;
                if (stored && !codec::readLayout(stream.data(), stream.size(), layout, problem))
                    return slideError(tilePlace(k, x, y) + " is no JPEG stream the export can copy: " + problem);
                if (row == 0 && column == 0) {
                    if (!stored)
                        layout = codec::StreamLayout{kTileEdge, kTileEdge, 3, 2, 2};
                    levelLayout = layout;
                    if (!(problem = startLevel(k, levelLayout)).empty())
                        return problem;
                }
                if (!stored) {
                    if (white.empty() && !(problem = whiteTile(levelLayout, white)).empty())
                        return slideError(problem);
                    stream = white;
                    layout = levelLayout;
                    layout.width = layout.height = kTileEdge;
                }
                const int width = static_cast<int>(std::min<int64_t>(kTileEdge, level.width - x));
                const int height = static_cast<int>(std::min<int64_t>(kTileEdge, level.height - y));
                // An edge tile copied from a source is stored whole, padded as the source had it.
                const bool whole = layout.width == kTileEdge && layout.height == kTileEdge;
                if (stored && !whole && (layout.width != width || layout.height != height))
                    return slideError(tilePlace(k, x, y) + " decodes to " + std::to_string(layout.width) + " x " +
                                      std::to_string(layout.height) + " pixels, not the " + std::to_string(width) +
                                      " x " + std::to_string(height) + " its record gives");
                if (layout.components != levelLayout.components ||
                    layout.horizontalSubsampling != levelLayout.horizontalSubsampling ||
                    layout.verticalSubsampling != levelLayout.verticalSubsampling)
                    return slideError(tilePlace(k, x, y) + " samples its colour unlike the level's first tile; a "
                                                           "TIFF level takes one sampling");
                const std::vector<uint8_t> *data = &stream;
                if (layout.width < kTileEdge || layout.height < kTileEdge) {
                    if (!codec::padStream(stream.data(), stream.size(), kTileEdge, kTileEdge, padded, problem))
                        return slideError("cannot pad " + tilePlace(k, x, y) + " to a whole tile: " + problem);
                    ++m_result.paddedTiles;
                    bool same = true;
                    if (codec::paddingMayChangePixels(layout.width, layout.height, kTileEdge) &&
                        !codec::keepsPixels(stream.data(), stream.size(), padded, same, problem))
                        return slideError("cannot decode " + tilePlace(k, x, y) + ": " + problem);
                    if (!same)
                        ++m_result.reinterpolatedTiles;
                    data = &padded;
                }
                errno = 0;
                const uint32_t index = static_cast<uint32_t>(row * columns + column);
                if (TIFFWriteRawTile(m_tiff, index, const_cast<uint8_t *>(data->data()),
                                     static_cast<tmsize_t>(data->size())) < 0) {
                    m_errno = errno;
                    return outputError(tiffFailure());
                }
                ++m_result.tiles;
                if (m_progress)
                    m_progress(m_result.tiles, tileCount);
            }
        }
        errno = 0;
        if (!TIFFWriteDirectory(m_tiff)) {
            m_errno = errno;
            return outputError(tiffFailure());
        }
        return {};
    }

    std::string startLevel(size_t k, const codec::StreamLayout &layout) {
        const SlideLevel &level = levels()[k];
        TIFFSetField(m_tiff, TIFFTAG_SUBFILETYPE, k == 0 ? 0 : FILETYPE_REDUCEDIMAGE);
        setCommonFields(static_cast<int>(level.width), static_cast<int>(level.height), layout);
        TIFFSetField(m_tiff, TIFFTAG_TILEWIDTH, kTileEdge);
        TIFFSetField(m_tiff, TIFFTAG_TILELENGTH, kTileEdge);
        setResolution(static_cast<double>(levels()[0].magnification) / level.magnification);
        return {};
    }

    // The label or preview as a page of its own, one JPEG strip copied as
    // stored. Marked as generic-TIFF readers expect of associated images: not
    // tiled (so no pyramid takes it), a reduced-image subfile, and its name
    // as the description.
    std::string writeImagePage(const std::vector<uint8_t> &image, const char *name) {
        if (image.empty())
            return {};
        codec::StreamLayout layout;
        std::string problem;
        if (!codec::readLayout(image.data(), image.size(), layout, problem))
            return slideError(std::string("its ") + name + " image is no JPEG stream the export can copy: " + problem);
        TIFFSetField(m_tiff, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
        setCommonFields(layout.width, layout.height, layout);
        TIFFSetField(m_tiff, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(layout.height));
        TIFFSetField(m_tiff, TIFFTAG_IMAGEDESCRIPTION, name);
        errno = 0;
        if (TIFFWriteRawStrip(m_tiff, 0, const_cast<uint8_t *>(image.data()), static_cast<tmsize_t>(image.size())) <
                0 ||
            !TIFFWriteDirectory(m_tiff)) {
            m_errno = errno;
            return outputError(tiffFailure());
        }
        return {};
    }

    const std::string m_slidePath;
    const std::string m_outputPath;
    const ExportProgress &m_progress;
    std::unique_ptr<tqfio::core::SlideFile> m_slide;
    io::SiblingTempFile m_file;
    TIFF *m_tiff = nullptr;
    Messages m_messages;
    int m_errno = 0;
    TiffExportResult m_result;
};

}  // namespace

TiffExportResult exportTiff(const std::string &slidePath, const std::string &outputPath,
                            const ExportProgress &progress) {
    TiffExportResult result;
    try {
        result = Export(slidePath, outputPath, progress).run();
    } catch (const std::bad_alloc &) {
        result.error = "not enough memory to export '" + slidePath + "'";
    }
    return result;
}

}  // namespace tqf::convert
