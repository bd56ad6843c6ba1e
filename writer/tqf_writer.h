/*
 * Writing a .tqf slide from an image in memory, or from rows streamed in.
 *
 *     cv::Mat image = cv::imread("scan.png", cv::IMREAD_COLOR);
 *     tqf::SlideWriteOptions options;
 *     options.scanMagnification = 20;
 *     tqf::SlideWriteResult result = tqf::writeSlide(std::move(image), "scan.tqf", options);
 *     if (!result.ok()) std::cerr << result.error << '\n';
 *
 * An image too large to hold goes through SlideStreamWriter in bands of
 * rows; memory then stays near a few tile rows of the scan level:
 *
 *     tqf::SlideStreamWriter writer;
 *     std::string error = writer.begin("scan.tqf", width, height, options);
 *     while (error.empty() && more) error = writer.addRows(nextBand());  // CV_8UC3, `width` wide
 *     tqf::SlideWriteResult result = error.empty() ? writer.finish() : tqf::SlideWriteResult{error};
 *
 * The slide holds the image as 256-pixel JPEG tiles at its scan
 * magnification and at every halved level down to one that fits in a tile,
 * plus a preview, a label and a thumbnail image (yelk/FORMAT.md).
 *
 * A converter that has some levels as JPEG tiles already hands them over as
 * they are: it names those levels in `copiedLevels` and gives their tiles
 * with addTile(); levels it makes itself (the next one, halved from a copied
 * level's decoded tiles, say) it names in `givenLevels` and gives their rows
 * with addLevelRows(). The writer makes every other level by halving the one
 * above, and asks (rowsWanted) only for the rows it needs.
 */
#ifndef TQF_WRITER_H
#define TQF_WRITER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace tqf {

struct SlideWriteOptions {
    // Magnification of the image as given, 1 to 1000.
    int scanMagnification = 40;
    // JPEG quality of the tiles and stored images, 1 to 100.
    int jpegQuality = 90;
    // Label image, 8-bit BGR; empty for a generated card showing `labelText`
    // and the magnification. Images larger than 4096 pixels are scaled down.
    cv::Mat label;
    // Preview image, 8-bit BGR; empty for an overview of the slide whose
    // longer side is `previewMaxSide` (or the image's, when smaller).
    cv::Mat preview;
    // Text on the generated label; empty for the output's file name.
    std::string labelText;
    // Longer side of the generated preview, 1 to 4096.
    int previewMaxSide = 1024;
    // Encoder threads, up to 256; 0 for one per processor core.
    unsigned threads = 0;
    // Seconds since 1970 recorded as the scan time; unset for now.
    std::optional<int64_t> scanTime;
    // Micrometres per pixel of the image as given (the scanner's or the
    // source's); unset for the nominal 10 / scanMagnification.
    std::optional<double> micronsPerPixel;
    // Thumbnail image, 8-bit BGR (a converted slide's own); empty for the
    // last pyramid level. Images larger than 4096 pixels are scaled down.
    cv::Mat thumbnail;
    // The properties of the source the image was converted from, stored in
    // an extension record: readers show them as source.<name>. Names must be
    // unique, not empty and without NUL bytes; values without NUL bytes;
    // together at most 16 MiB.
    std::vector<std::pair<std::string, std::string>> sourceProperties;
    // Levels (indices into the pyramid, 0 the scan level) whose tiles the
    // caller hands over through SlideStreamWriter::addTile.
    std::vector<int> copiedLevels;
    // Levels other than 0 whose rows the caller hands over through
    // SlideStreamWriter::addLevelRows instead of the writer halving the level
    // above into them.
    std::vector<int> givenLevels;
};

struct SlideWriteResult {
    std::string error;  // empty on success; otherwise what was wrong, with which input
    uint64_t fileSize = 0;
    uint32_t tileCount = 0;
    int levelCount = 0;            // the levels a reader can fetch
    int storedLevelCount = 0;      // every level the slide stores (see tqf_format.h)
    uint32_t copiedTileCount = 0;  // tiles handed over encoded and stored as they are

    bool ok() const { return error.empty(); }
};

// Writes `image` (CV_8UC3, blue-green-red) as a slide to `outputPath`,
// replacing any file there only when the slide is complete and on disk; on
// failure nothing is left behind. Pass the image with std::move to let the
// writer release the scan level once its tiles are written.
SlideWriteResult writeSlide(cv::Mat image, const std::string &outputPath, const SlideWriteOptions &options = {});

// Tiles handed to the file so far and the slide's tile count. Called on a
// thread of the writer's, as tiles are stored.
using SlideProgress = std::function<void(uint64_t tilesWritten, uint64_t tileCount)>;

// A slide written from the scan level's rows, top to bottom, in bands of
// any height. Tiles are encoded on `threads` workers as their tile rows
// complete, and every halved level is built from the rows as they come, so
// memory stays at a few tile rows of the scan level whatever its height.
// The file is the one writeSlide() writes from the same pixels.
class SlideStreamWriter {
public:
    SlideStreamWriter();
    ~SlideStreamWriter();  // an unfinished slide is discarded
    SlideStreamWriter(const SlideStreamWriter &) = delete;
    SlideStreamWriter &operator=(const SlideStreamWriter &) = delete;

    // Starts a slide of `width` x `height` pixels; an error when an argument
    // or the output's folder is refused.
    std::string begin(const std::string &outputPath, int64_t width, int64_t height,
                      const SlideWriteOptions &options = {}, SlideProgress progress = {});

    // Takes the next rows (CV_8UC3, blue-green-red, `width` columns). They
    // are copied: the caller may reuse them at once. An error stops the
    // slide; it is then discarded.
    std::string addRows(const cv::Mat &rows);

    // Whether the writer needs the rows of `level`: of level 0 (addRows)
    // unless its tiles are copied and no other level is made from it; of a
    // given level when it is not copied, or a level or image is made from it.
    // A copied level that must show in a made level or image, with no level
    // above to make it from, is wanted even when not among givenLevels.
    bool rowsWanted(int level) const;

    // The next rows of a level whose rows are wanted (addRows for level 0),
    // top to bottom, the level's width wide.
    std::string addLevelRows(int level, const cv::Mat &rows);

    // A tile of a copied level, as a complete JPEG stream of at most 196,608
    // bytes that decodes on its own to at least the tile's size (an edge tile
    // may be a whole tile, padded), stored as it is; an empty stream marks a
    // tile the slide does not store (readers show white). Any order, once
    // per tile.
    std::string addTile(int level, int64_t column, int64_t row, std::vector<uint8_t> stream);

    // The same tile as pixels (CV_8UC3, the tile's size), encoded like the
    // tiles of made levels: for a tile that cannot be stored as it is.
    std::string addTilePixels(int level, int64_t column, int64_t row, const cv::Mat &tile);

    // After the last row: stores the preview, label and thumbnail, the tile
    // index and the header, and puts the slide in place.
    SlideWriteResult finish();

    // Drops the slide being written; nothing is left behind.
    void discard();

private:
    class Assembly;
    std::unique_ptr<Assembly> m_assembly;
};

}  // namespace tqf

#endif  // TQF_WRITER_H
