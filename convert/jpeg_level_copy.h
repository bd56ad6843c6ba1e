/*
 * Levels of a source slide whose JPEG tiles go into the slide as they are.
 *
 * A tiled TIFF page (an SVS level, a generic tiled TIFF's, an export's) of
 * 256-pixel YCbCr JPEG tiles and of the very size of a slide level is
 * copied: each tile's stream, with the page's shared JPEGTables put in
 * front of its own segments, so that it decodes on its own to exactly what
 * the pair decodes to (what OpenSlide shows). The slide's readers decode it
 * with libjpeg's defaults, so a tile is stored as it is only when those read
 * it as OpenSlide does: YCbCr by the stream's own markers, every table it
 * uses defined, baseline or extended sequential coding, 8-bit samples, the
 * tile's size. Every copied tile is decoded on the way (whole, where the
 * next level is made from it, else its coefficients), so a damaged tile is
 * found and named, never stored; a tile the readers would read otherwise
 * than OpenSlide is decoded OpenSlide's way and encoded again instead.
 */
#ifndef TQF_CONVERT_JPEG_LEVEL_COPY_H
#define TQF_CONVERT_JPEG_LEVEL_COPY_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tqf::convert {

// The DQT and DHT segments of a JPEGTables stream (SOI, tables, EOI). DRI,
// APPn and COM segments are dropped: a tile's own SOI resets what they set
// when the pair is decoded. False with `error` set for anything else.
bool jpegTableSegments(const uint8_t *tables, size_t size, std::vector<uint8_t> &segments, std::string &error);

// SOI, the table segments, then the tile's stream after its own SOI.
bool mergeJpegTables(const std::vector<uint8_t> &segments, const uint8_t *tile, size_t size,
                     std::vector<uint8_t> &merged, std::string &error);

// How one tile of a copied level goes into the slide.
struct CopiedTile {
    std::vector<uint8_t> stream;  // stored as it is; empty: not stored (and not re-encoded)
    bool reencode = false;        // stored as `pixels` encoded again instead
    std::string reason;           // why it is encoded again
    cv::Mat pixels;               // the tile's part inside the level, BGR, when re-encoded
    cv::Mat output;               // the pixels asked for (see TilePixels), BGR
};

// What a copied tile is decoded to besides being checked.
enum class TilePixels {
    none,   // nothing: only checked (decoded at an eighth of its size)
    whole,  // its part inside the level
    half,   // that part halved, as the next level takes it: decoded at half
            // size by libjpeg's scaled IDCT where the tile lies wholly inside
            // the level, else decoded whole and its part inside averaged 2 x 2
};

class CopiedLevel {
public:
    ~CopiedLevel();
    CopiedLevel(const CopiedLevel &) = delete;
    CopiedLevel &operator=(const CopiedLevel &) = delete;

    int64_t width() const { return m_width; }
    int64_t height() const { return m_height; }
    int64_t columns() const { return m_columns; }
    int64_t rows() const { return m_rows; }
    int directory() const { return m_directory; }

    // Reads and checks tile (column, row), and decodes it to tile.output as
    // `want` asks (white for a tile the source does not store); output
    // may view `scratch`. Any thread, each with its own scratch. False with
    // `error` set (naming the place) for a tile that does not decode.
    bool readTile(int64_t column, int64_t row, TilePixels want, CopiedTile &tile, cv::Mat &scratch,
                  std::string &error) const;

private:
    friend struct CopyPlanner;
    CopiedLevel() = default;
    std::string place(int64_t column, int64_t row) const;

    std::string m_path;
    int m_fd = -1;
    int m_directory = 0;
    int64_t m_width = 0, m_height = 0, m_columns = 0, m_rows = 0;
    std::vector<uint64_t> m_offsets, m_lengths;
    std::vector<uint8_t> m_tables;    // the page's JPEGTables as stored, for OpenSlide's decoding
    std::vector<uint8_t> m_segments;  // their DQT and DHT segments, put in front of each tile
};

// How the program reading the source shows the tiles a page does not
// store: transparent, or (OpenSlide's Aperio reader) drawn from the finer
// level, which makes every coarser level's tiles over them drawn too.
enum class MissingTiles { transparent, drawnFromFinerLevel };

// The source's pixels at one of its levels, through OpenSlide: the level
// of width x height, the region of out.cols x out.rows at (x, y) of it, BGR
// on white. False when the source has no such level or cannot read it.
using SourceLevelReader =
    std::function<bool(int64_t levelWidth, int64_t levelHeight, int64_t x, int64_t y, cv::Mat &out)>;

struct CopyPlan {
    std::vector<std::unique_ptr<CopiedLevel>> levels;  // by slide level; null where the level is made
    std::vector<std::string> notes;                    // why pages of the source were not copied
    std::string error;  // a tile checked does not decode: the source is damaged there (named)

    bool copies(size_t level) const { return level < levels.size() && levels[level] != nullptr; }
};

// A level of the slide being made.
struct LevelGeometry {
    int64_t width = 0;
    int64_t height = 0;
    double magnification = 0;
};

// Of the slide's `levels`, those whose tiles the TIFF at `path` holds as
// they can be stored: a tiled page per level, checked on its tags, its
// tables and two tiles, which must decode to the very pixels `reader` gives.
// A tile checked that does not decode at all sets `error` and copies nothing.
CopyPlan planCopies(const std::string &path, const std::vector<LevelGeometry> &levels, const SourceLevelReader &reader,
                    MissingTiles missing = MissingTiles::transparent);

// The most bytes a slide's tile stream may take.
constexpr size_t kLargestTileStream = 196608;

}  // namespace tqf::convert

#endif  // TQF_CONVERT_JPEG_LEVEL_COPY_H
