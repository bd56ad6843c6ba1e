#include "jpeg_tiff_tiles.h"

#include "positioned_io.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <jerror.h>
#include <jpeglib.h>
#include <tiffio.h>

#include "codec/jpeg_errors.h"

namespace tqf::convert {

namespace {

constexpr uint32_t kLargestTileBytes = 64u << 20;

int quietTiff(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// Decodes one JPEG tile (with the page's tables, if any) into `tile`, which
// the caller sized to the tile. False with `message` set.
bool decodeJpeg(const std::vector<uint8_t> &tables, const std::vector<uint8_t> &stream, bool ycbcr, cv::Mat &tile,
                std::string &message) {
    jpeg_decompress_struct info;
    // As OpenSlide: a warning (corrupt data libjpeg would paper over) fails the tile.
    codec::JpegErrors errors;
    info.err = codec::strict_jpeg_errors(errors);
    jpeg_create_decompress(&info);
    if (setjmp(errors.jump)) {
        message = errors.message;
        jpeg_destroy_decompress(&info);
        return false;
    }
    if (!tables.empty()) {
        jpeg_mem_src(&info, tables.data(), static_cast<unsigned long>(tables.size()));
        jpeg_read_header(&info, FALSE);
    }
    jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&info, TRUE);
    // The colour space comes from the TIFF's photometric tag, as in OpenSlide.
    info.jpeg_color_space = ycbcr ? JCS_YCbCr : JCS_RGB;
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    if (static_cast<int>(info.output_width) != tile.cols || static_cast<int>(info.output_height) != tile.rows ||
        info.output_components != 3) {
        message = "the tile decodes to " + std::to_string(info.output_width) + " x " +
                  std::to_string(info.output_height) + " pixels, not " + std::to_string(tile.cols) + " x " +
                  std::to_string(tile.rows);
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = tile.ptr<uint8_t>(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

std::unique_ptr<JpegTiffTiles> JpegTiffTiles::open(const std::string &path, int64_t width, int64_t height) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quietTiff, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quietTiff, nullptr);
    TIFF *tiff = TIFFOpenExt(path.c_str(), "r", options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr)
        return nullptr;
    std::unique_ptr<JpegTiffTiles> tiles(new JpegTiffTiles);
    uint32_t pageWidth = 0, pageHeight = 0, tileWidth = 0, tileHeight = 0;
    uint16_t bits = 0, samples = 0, compression = 0, photometric = 0, planar = PLANARCONFIG_CONTIG;
    uint32_t tablesLength = 0;
    void *tables = nullptr;
    const bool eligible = TIFFIsTiled(tiff) && TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &pageWidth) &&
                          TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &pageHeight) && pageWidth == width &&
                          pageHeight == height && TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth) &&
                          TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight) && tileWidth >= 16 && tileHeight >= 16 &&
                          tileWidth <= 4096 && tileHeight <= 4096 &&
                          TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits) && bits == 8 &&
                          TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples) && samples == 3 &&
                          TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar) && planar == PLANARCONFIG_CONTIG &&
                          TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression) && compression == COMPRESSION_JPEG &&
                          TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) &&
                          (photometric == PHOTOMETRIC_YCBCR || photometric == PHOTOMETRIC_RGB);
    if (eligible) {
        tiles->m_tileWidth = static_cast<int>(tileWidth);
        tiles->m_tileHeight = static_cast<int>(tileHeight);
        tiles->m_ycbcr = photometric == PHOTOMETRIC_YCBCR;
        if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &tablesLength, &tables) && tables != nullptr && tablesLength > 0)
            tiles->m_tables.assign(static_cast<uint8_t *>(tables), static_cast<uint8_t *>(tables) + tablesLength);
        const uint32_t count = TIFFNumberOfTiles(tiff);
        const uint64_t *offsets = nullptr, *lengths = nullptr;
        if (TIFFGetField(tiff, TIFFTAG_TILEOFFSETS, &offsets) && TIFFGetField(tiff, TIFFTAG_TILEBYTECOUNTS, &lengths) &&
            offsets != nullptr && lengths != nullptr) {
            tiles->m_offsets.assign(offsets, offsets + count);
            tiles->m_lengths.assign(lengths, lengths + count);
        }
    }
    TIFFClose(tiff);
    if (!eligible || tiles->m_offsets.empty())
        return nullptr;
    tiles->m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (tiles->m_fd < 0)
        return nullptr;
    tiles->m_path = path;
    tiles->m_width = width;
    tiles->m_height = height;
    tiles->m_tilesAcross = (width + tiles->m_tileWidth - 1) / tiles->m_tileWidth;
    return tiles;
}

JpegTiffTiles::~JpegTiffTiles() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool JpegTiffTiles::decodeTile(uint32_t index, cv::Mat &tile, std::string &error) const {
    thread_local std::vector<uint8_t> stream;
    tile.create(m_tileHeight, m_tileWidth, CV_8UC3);
    if (index >= m_lengths.size() || m_lengths[index] == 0) {
        tile.setTo(cv::Scalar::all(255));  // not stored: transparent in OpenSlide, white here
        return true;
    }
    if (m_lengths[index] > kLargestTileBytes) {
        error = "its stream of " + std::to_string(m_lengths[index]) + " bytes is too long for a tile";
        return false;
    }
    stream.resize(static_cast<size_t>(m_lengths[index]));
    if (!io::readFullyAt(m_fd, stream.data(), stream.size(), m_offsets[index])) {
        error = errno == EIO ? std::string("the file ends inside it") : std::strerror(errno);
        return false;
    }
    return decodeJpeg(m_tables, stream, m_ycbcr, tile, error);
}

bool JpegTiffTiles::read(int64_t x, int64_t y, cv::Mat &out, std::string &error) const {
    thread_local cv::Mat tile;
    const int64_t right = x + out.cols, bottom = y + out.rows;
    for (int64_t row = y / m_tileHeight; row * m_tileHeight < bottom; ++row) {
        for (int64_t column = x / m_tileWidth; column * m_tileWidth < right; ++column) {
            const int64_t left = column * m_tileWidth, top = row * m_tileHeight;
            std::string why;
            if (!decodeTile(static_cast<uint32_t>(row * m_tilesAcross + column), tile, why)) {
                error = "cannot read '" + m_path + "' at the tile of rows " + std::to_string(top) + ".." +
                        std::to_string(std::min(m_height, top + m_tileHeight) - 1) + ", columns " +
                        std::to_string(left) + ".." + std::to_string(std::min(m_width, left + m_tileWidth) - 1) + ": " +
                        why;
                return false;
            }
            const int64_t x0 = std::max(x, left), x1 = std::min(right, left + m_tileWidth);
            const int64_t y0 = std::max(y, top), y1 = std::min(bottom, top + m_tileHeight);
            tile(cv::Rect(static_cast<int>(x0 - left), static_cast<int>(y0 - top), static_cast<int>(x1 - x0),
                          static_cast<int>(y1 - y0)))
                .copyTo(out(cv::Rect(static_cast<int>(x0 - x), static_cast<int>(y0 - y), static_cast<int>(x1 - x0),
                                     static_cast<int>(y1 - y0))));
        }
    }
    return true;
}

}  // namespace tqf::convert
