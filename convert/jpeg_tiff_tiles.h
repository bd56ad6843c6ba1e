/*
 * Direct reading of the JPEG tiles of a TIFF's full-resolution page, for
 * slides whose pages OpenSlide itself reads that way (Aperio SVS, generic
 * tiled TIFF): the same libjpeg decoding OpenSlide does, without its
 * compositing of every tile through cairo, which takes more time than the
 * decoding itself.
 */
#ifndef TQF_CONVERT_JPEG_TIFF_TILES_H
#define TQF_CONVERT_JPEG_TIFF_TILES_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tqf::convert {

class JpegTiffTiles {
public:
    // The first page of `path` when it is tiled, 8-bit, 3-channel, JPEG
    // compressed (YCbCr or RGB), `width` x `height` pixels; null otherwise
    // (the caller then reads through OpenSlide).
    static std::unique_ptr<JpegTiffTiles> open(const std::string &path, int64_t width, int64_t height);
    ~JpegTiffTiles();

    int tileWidth() const { return m_tileWidth; }
    int tileHeight() const { return m_tileHeight; }

    // Reads the region (out.cols x out.rows at x, y) into `out` (BGR); any
    // thread. Tiles not stored are white, as OpenSlide shows them.
    bool read(int64_t x, int64_t y, cv::Mat &out, std::string &error) const;

private:
    JpegTiffTiles() = default;
    bool decodeTile(uint32_t index, cv::Mat &tile, std::string &error) const;

    std::string m_path;
    int m_fd = -1;
    int64_t m_width = 0, m_height = 0;
    int m_tileWidth = 0, m_tileHeight = 0;
    int64_t m_tilesAcross = 0;
    bool m_ycbcr = true;
    std::vector<uint64_t> m_offsets, m_lengths;
    std::vector<uint8_t> m_tables;  // JPEGTables, shared by the abbreviated tile streams
};

}  // namespace tqf::convert

#endif  // TQF_CONVERT_JPEG_TIFF_TILES_H
