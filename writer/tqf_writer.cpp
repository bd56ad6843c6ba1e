#include "tqf_writer.h"

#include "codec/jpeg_encoder.h"
#include "pyramid.h"
#include "slide_file.h"
#include "slide_images.h"
#include "tile_pool.h"
#include "tqf_format.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tqf {

namespace {

using codec::ChromaSubsampling;

// Stored images larger than this on a side are scaled down to it.
constexpr int kMaxStoredImageSide = 4096;
constexpr unsigned kMaxThreads = 256;
// Coarser than a millimetre per pixel is no microscope's.
constexpr double kLargestMicronsPerPixel = 1000;
// Rows handed to the writer at a time by writeSlide().
constexpr int kBandRows = format::kTileSize;

std::string describeType(const cv::Mat &image) {
    return cv::typeToString(image.type()) + " with " + std::to_string(image.dims) + " dimensions";
}

std::string checkImageArgument(const cv::Mat &image, const char *what) {
    if (image.empty())
        return std::string("the ") + what + " is empty";
    if (image.dims != 2 || image.type() != CV_8UC3)
        return std::string("the ") + what + " must be an 8-bit, 3-channel BGR image (CV_8UC3), not " +
               describeType(image);
    return {};
}

std::string checkSourceProperties(const std::vector<std::pair<std::string, std::string>> &properties);

std::string checkOptions(const SlideWriteOptions &options) {
    std::string problem;
    if (options.scanMagnification < 1 || options.scanMagnification > format::kMaxScanMagnification)
        return "the scan magnification " + std::to_string(options.scanMagnification) + " is outside 1.." +
               std::to_string(format::kMaxScanMagnification);
    if (options.jpegQuality < 1 || options.jpegQuality > 100)
        return "the JPEG quality " + std::to_string(options.jpegQuality) + " is outside 1..100";
    if (options.previewMaxSide < 1 || options.previewMaxSide > kMaxStoredImageSide)
        return "the preview size " + std::to_string(options.previewMaxSide) + " is outside 1.." +
               std::to_string(kMaxStoredImageSide);
    if (options.threads > kMaxThreads)
        return "the thread count " + std::to_string(options.threads) + " is above " + std::to_string(kMaxThreads);
    if (options.micronsPerPixel &&
        !(*options.micronsPerPixel > 0 && *options.micronsPerPixel <= kLargestMicronsPerPixel))
        return "the resolution " + std::to_string(*options.micronsPerPixel) + " micrometres per pixel is outside (0, " +
               std::to_string(static_cast<int>(kLargestMicronsPerPixel)) + "]";
    if (!options.label.empty() && !(problem = checkImageArgument(options.label, "label image")).empty())
        return problem;
    if (!options.preview.empty() && !(problem = checkImageArgument(options.preview, "preview image")).empty())
        return problem;
    if (!options.thumbnail.empty() && !(problem = checkImageArgument(options.thumbnail, "thumbnail image")).empty())
        return problem;
    return checkSourceProperties(options.sourceProperties);
}

std::string checkSourceProperties(const std::vector<std::pair<std::string, std::string>> &properties) {
    std::set<std::string> names;
    uint64_t bytes = 0;
    for (const auto &[name, value] : properties) {
        if (name.empty())
            return "a source property has no name";
        if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
            return "the source property '" + name.substr(0, name.find('\0')) + "' holds a NUL byte";
        if (!names.insert(name).second)
            return "the source property '" + name + "' is given twice";
        bytes += name.size() + value.size() + 2;
    }
    if (bytes > format::kMaxExtensionRecordBytes)
        return "the source properties take " + std::to_string(bytes) + " bytes, more than " +
               std::to_string(format::kMaxExtensionRecordBytes);
    return {};
}

std::string checkArguments(const cv::Mat &image, const std::string &outputPath, const SlideWriteOptions &options) {
    std::string problem = checkImageArgument(image, "image");
    if (!problem.empty())
        return problem;
    if (outputPath.empty())
        return "no output path was given";
    if (!options.copiedLevels.empty() || !options.givenLevels.empty())
        return "copied or given levels are handed over through SlideStreamWriter";
    return checkOptions(options);
}

std::string fileNameOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

template <typename ImageHeader>
ImageHeader imageHeader(const cv::Mat &image, uint64_t position, size_t length) {
    ImageHeader header;
    std::memset(&header, 0, sizeof header);
    header.startFlag = format::kImageStartFlag;
    header.exist = 1;
    header.height = static_cast<uint32_t>(image.rows);
    header.width = static_cast<uint32_t>(image.cols);
    header.channel = 3;
    header.length = static_cast<uint32_t>(length);
    header.position = static_cast<int64_t>(position);
    header.stopFlag = format::kImageStopFlag;
    return header;
}

}  // namespace

// One slide being written: the levels' tile rows as they fill, the tiles
// being encoded or copied, and the file.
class SlideStreamWriter::Assembly {
public:
    Assembly(const std::string &outputPath, const SlideWriteOptions &options, SlideProgress progress)
        : m_outputPath(outputPath), m_options(options), m_progress(std::move(progress)) {}

    ~Assembly() {
        m_pool.reset();  // the workers stop before the file goes
        if (!m_finished)
            m_file.discard();
    }

    std::string start(int64_t width, int64_t height) {
        m_width = width;
        m_height = height;
        m_levels = format::pyramidLevels(width, height, m_options.scanMagnification);
        m_tileCount = format::totalBlockCount(m_levels);
        if (m_tileCount > static_cast<uint64_t>(INT32_MAX))
            return "the image of " + std::to_string(width) + " x " + std::to_string(height) +
                   " pixels needs more tiles than a slide can index";
        std::string problem = planLevels();
        if (!problem.empty())
            return problem;
        m_blocks.assign(static_cast<size_t>(m_tileCount), TQF_DATABLOCK_HEADER{});
        m_handed.assign(static_cast<size_t>(m_tileCount), false);
        if (!m_file.create(m_outputPath))
            return m_file.error();

        writer::TilePoolSettings settings;
        settings.quality = m_options.jpegQuality;
        settings.streamCapacity = YELK_TILE_STREAM_CAPACITY;
        settings.threads = m_options.threads != 0 ? m_options.threads
                                                  : std::max(1u, std::thread::hardware_concurrency());
        // Room for two tile rows of the scan level: one being encoded while
        // the next fills, and the coarser levels' tiles between them.
        settings.window = static_cast<size_t>(2 * m_levels[0].columns) + 4 * settings.threads + 16;
        m_pool = std::make_unique<writer::TilePool>(
            settings,
            [this](const writer::TileJob &job, const std::vector<uint8_t> &stream) { return store(job, stream); });
        return {};
    }

    bool rowsWanted(size_t k) const { return k < m_plan.size() && m_plan[k].given && m_plan[k].needed; }

    std::string addRows(size_t k, const cv::Mat &rows) {
        if (rows.empty())
            return {};
        if (k >= m_levels.size())
            return "there is no level " + std::to_string(k) + " (the slide has " + std::to_string(m_levels.size()) +
                   ")";
        if (!rowsWanted(k))
            return "the rows of level " + std::to_string(k) + " are not wanted";
        const format::Level &level = m_levels[k];
        if (rows.dims != 2 || rows.type() != CV_8UC3)
            return "the rows must be an 8-bit, 3-channel BGR image (CV_8UC3), not " + describeType(rows);
        const std::string of = k == 0 ? std::string("the image") : levelName(k);
        if (rows.cols != level.width)
            return "rows of " + std::to_string(rows.cols) + " pixels given for " + (k == 0 ? "an image" : of) + " " +
                   std::to_string(level.width) + " pixels wide";
        if (m_plan[k].rowsIn + rows.rows > level.height)
            return "more rows given than " + of + "'s " + std::to_string(level.height);
        m_plan[k].rowsIn += rows.rows;
        return guarded([&] { return feed(k, rows); });
    }

    std::string addTile(int level, int64_t column, int64_t row, std::vector<uint8_t> stream, const cv::Mat *pixels) {
        return guarded([&] { return takeTile(level, column, row, std::move(stream), pixels); });
    }

    std::string takeTile(int level, int64_t column, int64_t row, std::vector<uint8_t> stream, const cv::Mat *pixels) {
        uint64_t block = 0;
        std::string problem = checkTilePlace(level, column, row, block);
        if (!problem.empty())
            return problem;
        writer::TileJob job;
        job.level = level;
        job.block = block;
        if (pixels != nullptr) {
            const TQF_DATABLOCK_HEADER expected = format::expectedBlockHeader(m_levels[static_cast<size_t>(level)],
                                                                              column, row);
            if (pixels->dims != 2 || pixels->type() != CV_8UC3 || pixels->cols != static_cast<int>(expected.width) ||
                pixels->rows != static_cast<int>(expected.height))
                return "the pixels of " + tileName(level, column, row) + " must be " + std::to_string(expected.width) +
                       " x " + std::to_string(expected.height) + " CV_8UC3, not " + std::to_string(pixels->cols) +
                       " x " + std::to_string(pixels->rows) + " " + describeType(*pixels);
            job.strip = std::make_shared<const cv::Mat>(pixels->clone());
            job.area = cv::Rect(0, 0, pixels->cols, pixels->rows);
        } else {
            if (stream.size() > YELK_TILE_STREAM_CAPACITY)
                return "the stream of " + tileName(level, column, row) + " is " + std::to_string(stream.size()) +
                       " bytes, more than a tile's " + std::to_string(YELK_TILE_STREAM_CAPACITY);
            if (!stream.empty() && (stream.size() < 4 || stream[0] != 0xFF || stream[1] != 0xD8))
                return "the stream of " + tileName(level, column, row) + " is no JPEG stream";
            job.encoded = true;
            job.stream = std::move(stream);
        }
        m_handed[static_cast<size_t>(block)] = true;
        if (!m_pool->submit(std::move(job)))
            return poolFailure();
        return {};
    }

    SlideWriteResult finish() {
        SlideWriteResult result;
        for (size_t k = 0; k < m_levels.size(); ++k) {
            if (rowsWanted(k) && m_plan[k].rowsIn != m_levels[k].height) {
                result.error = (k == 0 ? std::string("the slide") : levelName(k)) + " ends after " +
                               std::to_string(m_plan[k].rowsIn) + " of its " + std::to_string(m_levels[k].height) +
                               " rows";
                return result;
            }
            if (m_plan[k].copied) {
                const uint64_t handed = static_cast<uint64_t>(std::count(
                    m_handed.begin() + static_cast<int64_t>(m_levels[k].firstBlock),
                    m_handed.begin() + static_cast<int64_t>(m_levels[k].firstBlock + m_levels[k].blockCount()), true));
                if (handed != m_levels[k].blockCount()) {
                    result.error = levelName(k) + " was given " + std::to_string(handed) + " of its " +
                                   std::to_string(m_levels[k].blockCount()) + " tiles";
                    return result;
                }
            }
        }
        result.error = guarded([&] { return complete(); });
        if (!result.ok())
            return result;
        m_finished = true;
        result.fileSize = m_file.size();
        result.tileCount = static_cast<uint32_t>(m_blocks.size());
        result.levelCount = format::reachableLevelCount(m_levels);
        result.storedLevelCount = static_cast<int>(m_levels.size());
        result.copiedTileCount = m_copiedTiles;
        return result;
    }

private:
    // Where a level's pixels and tiles come from.
    struct LevelPlan {
        bool copied = false;  // tiles handed over (addTile)
        bool given = false;   // rows handed over (addRows, addLevelRows)
        bool needed = false;  // its pixels make its own tiles, the next level or an image
        int64_t rowsIn = 0;
    };

    // Rows of one level gathered into its current tile row.
    struct LevelRows {
        cv::Mat strip;
        int filled = 0;
        int64_t tileRow = 0;
    };

    std::string levelName(size_t k) const { return "level " + std::to_string(k); }

    // Tile-row strips are used again rather than allocated (and their pages
    // faulted in) afresh for every tile row.
    cv::Mat takeStrip(int rows, int columns) {
        std::lock_guard<std::mutex> lock(m_stripMutex);
        for (size_t i = 0; i < m_spareStrips.size(); ++i) {
            if (m_spareStrips[i].rows == rows && m_spareStrips[i].cols == columns) {
                cv::Mat strip = std::move(m_spareStrips[i]);
                m_spareStrips.erase(m_spareStrips.begin() + static_cast<ptrdiff_t>(i));
                return strip;
            }
        }
        return cv::Mat(rows, columns, CV_8UC3);
    }

    // Only a strip no other image shares (the thumbnail may) is kept; a few
    // per level at most.
    void giveBackStrip(const cv::Mat &strip) {
        if (strip.u == nullptr || strip.u->refcount != 1)
            return;
        std::lock_guard<std::mutex> lock(m_stripMutex);
        if (m_spareStrips.size() < 2 * m_levels.size())
            m_spareStrips.push_back(strip);
    }

    std::string tileName(int level, int64_t column, int64_t row) const {
        return "the tile at column " + std::to_string(column) + ", row " + std::to_string(row) + " of " +
               levelName(static_cast<size_t>(level));
    }

    std::string planLevels() {
        const size_t n = m_levels.size();
        m_plan.assign(n, LevelPlan{});
        const auto mark = [&](const std::vector<int> &levels, const char *what, bool LevelPlan::*flag) -> std::string {
            for (int k : levels) {
                if (k < 0 || static_cast<size_t>(k) >= n)
                    return std::string("the ") + what + " level " + std::to_string(k) + " is not one of the slide's " +
                           std::to_string(n) + " levels";
                m_plan[static_cast<size_t>(k)].*flag = true;
            }
            return {};
        };
        std::string problem = mark(m_options.copiedLevels, "copied", &LevelPlan::copied);
        if (problem.empty())
            problem = mark(m_options.givenLevels, "given", &LevelPlan::given);
        if (!problem.empty())
            return problem;
        m_plan[0].given = true;  // level 0 is never made

        // The preview is made from the first level whose next is smaller than
        // the preview, or from the last.
        for (size_t k = 0; k < n; ++k) {
            if (k + 1 == n || std::max(m_levels[k + 1].width, m_levels[k + 1].height) < m_options.previewMaxSide) {
                m_overviewLevel = k;
                break;
            }
        }
        // Coarsest first: a level's pixels are needed for its own tiles
        // (unless copied), for an image made from it, or to make the next
        // level from. A copied level that is needed and has no level above
        // to be made from is asked of the caller.
        for (size_t k = n; k-- > 0;) {
            LevelPlan &level = m_plan[k];
            level.needed = !level.copied || (k == m_overviewLevel && m_options.preview.empty()) ||
                           (k + 1 == n && m_options.thumbnail.empty()) ||
                           (k + 1 < n && m_plan[k + 1].needed && !m_plan[k + 1].given);
            if (level.needed && level.copied)
                level.given = true;
        }
        m_builders.resize(n);
        return {};
    }

    std::string checkTilePlace(int level, int64_t column, int64_t row, uint64_t &block) const {
        if (level < 0 || static_cast<size_t>(level) >= m_levels.size() || !m_plan[static_cast<size_t>(level)].copied)
            return "level " + std::to_string(level) + " is not a copied level";
        const format::Level &l = m_levels[static_cast<size_t>(level)];
        if (column < 0 || row < 0 || column >= l.columns || row >= l.rows)
            return "there is no tile at column " + std::to_string(column) + ", row " + std::to_string(row) + " of " +
                   levelName(static_cast<size_t>(level)) + " (" + std::to_string(l.columns) + " x " +
                   std::to_string(l.rows) + " tiles)";
        block = l.firstBlock + static_cast<uint64_t>(row * l.columns + column);
        if (m_handed[static_cast<size_t>(block)])
            return tileName(level, column, row) + " was given twice";
        return {};
    }

    template <typename Step>
    std::string guarded(Step step) {
        try {
            return step();
        } catch (const std::bad_alloc &) {
            return "not enough memory to write '" + m_outputPath + "'";
        } catch (const cv::Exception &e) {
            return "image processing failed while writing '" + m_outputPath + "': " + e.what();
        }
    }

    std::string poolFailure() const {
        const std::string error = m_pool->error();
        return error.empty() ? m_file.error() : error;
    }

    std::string feed(size_t k, const cv::Mat &rows) {
        const format::Level &level = m_levels[k];
        LevelRows &into = m_builders[k];
        for (int offset = 0; offset < rows.rows;) {
            if (into.strip.empty()) {
                const int64_t top = into.tileRow * format::kTileSize;
                into.strip = takeStrip(static_cast<int>(std::min<int64_t>(format::kTileSize, level.height - top)),
                                       static_cast<int>(level.width));
                into.filled = 0;
            }
            const int count = std::min(into.strip.rows - into.filled, rows.rows - offset);
            rows.rowRange(offset, offset + count).copyTo(into.strip.rowRange(into.filled, into.filled + count));
            into.filled += count;
            offset += count;
            if (into.filled == into.strip.rows) {
                std::string problem = completeTileRow(k);
                if (!problem.empty())
                    return problem;
            }
        }
        return {};
    }

    // Hands a full tile row to the encoders (unless the level's tiles are
    // copied) and its halving to the next level (unless that one's rows are
    // given or not needed).
    std::string completeTileRow(size_t k) {
        const format::Level &level = m_levels[k];
        LevelRows &into = m_builders[k];
        // The strip comes back for a later tile row once its tiles are encoded.
        std::shared_ptr<const cv::Mat> strip(new cv::Mat(std::move(into.strip)), [this](const cv::Mat *done) {
            giveBackStrip(*done);
            delete done;
        });
        into.strip = cv::Mat();
        const int64_t row = into.tileRow++;
        for (int64_t column = 0; !m_plan[k].copied && column < level.columns; ++column) {
            writer::TileJob job;
            job.strip = strip;
            const int x = static_cast<int>(column * format::kTileSize);
            job.area = cv::Rect(x, 0, std::min(format::kTileSize, static_cast<int>(level.width) - x), strip->rows);
            job.level = level.index;
            job.block = level.firstBlock + static_cast<uint64_t>(row * level.columns + column);
            m_handed[static_cast<size_t>(job.block)] = true;
            if (!m_pool->submit(std::move(job)))
                return poolFailure();
        }
        if (k == m_overviewLevel && m_options.preview.empty()) {
            if (m_overview.empty())
                m_overview.create(static_cast<int>(level.height), static_cast<int>(level.width), CV_8UC3);
            strip->copyTo(m_overview.rowRange(static_cast<int>(row * format::kTileSize),
                                              static_cast<int>(row * format::kTileSize) + strip->rows));
        }
        if (k + 1 == m_levels.size()) {
            if (m_options.thumbnail.empty())
                m_thumbnail = *strip;  // the last level is one tile
            return {};
        }
        if (!m_plan[k + 1].needed || m_plan[k + 1].given)
            return {};
        return feed(k + 1, writer::halveLevel(*strip));
    }

    bool store(const writer::TileJob &job, const std::vector<uint8_t> &stream) {
        const format::Level &level = m_levels[static_cast<size_t>(job.level)];
        const uint64_t index = job.block - level.firstBlock;
        const int64_t column = static_cast<int64_t>(index % static_cast<uint64_t>(level.columns));
        const int64_t row = static_cast<int64_t>(index / static_cast<uint64_t>(level.columns));
        TQF_DATABLOCK_HEADER block = format::expectedBlockHeader(level, column, row);
        if (!stream.empty()) {  // an empty copied stream: a tile not stored
            uint64_t position = 0;
            if (!m_file.append(stream.data(), stream.size(), position))
                return false;
            block.length = static_cast<uint32_t>(stream.size());
            block.position = static_cast<int64_t>(position);
        }
        m_blocks[static_cast<size_t>(job.block)] = block;
        if (job.encoded && !stream.empty())
            ++m_copiedTiles;
        ++m_tilesStored;
        if (m_progress)
            m_progress(m_tilesStored, m_tileCount);
        return true;
    }

    std::string complete() {
        if (!m_pool->drain())
            return poolFailure();
        m_pool.reset();

        const cv::Mat preview = m_options.preview.empty() ? writer::fitWithin(m_overview, m_options.previewMaxSide)
                                                          : writer::fitWithin(m_options.preview, kMaxStoredImageSide);
        m_overview.release();
        const cv::Mat label = m_options.label.empty()
                                  ? writer::makeLabelCard(m_options.labelText.empty() ? fileNameOf(m_outputPath)
                                                                                      : m_options.labelText,
                                                          m_options.scanMagnification)
                                  : writer::fitWithin(m_options.label, kMaxStoredImageSide);
        const cv::Mat thumbnail = m_options.thumbnail.empty()
                                      ? m_thumbnail
                                      : writer::fitWithin(m_options.thumbnail, kMaxStoredImageSide);

        TQF_PREVIEW_HEADER previewHeader;
        TQF_LABEL_HEADER labelHeader;
        TQF_THUMBNAIL_HEADER thumbnailHeader;
        std::string problem = storeImage(preview, ChromaSubsampling::s420, previewHeader);
        if (problem.empty())
            problem = storeImage(label, ChromaSubsampling::s444, labelHeader);  // keeps thin text sharp
        if (problem.empty())
            problem = storeImage(thumbnail, ChromaSubsampling::s420, thumbnailHeader);
        if (problem.empty())
            problem = storeExtensions(previewHeader);
        if (!problem.empty())
            return problem;

        uint64_t indexPosition = 0;
        if (!m_file.append(m_blocks.data(), m_blocks.size() * sizeof(TQF_DATABLOCK_HEADER), indexPosition))
            return m_file.error();
        const TQF_HEADER header = slideHeader(indexPosition, m_file.size());
        if (!m_file.finish(header, previewHeader, labelHeader, thumbnailHeader))
            return m_file.error();
        return {};
    }

    // The extension records and their table, found through the preview
    // header's reserved bytes; nothing for a slide without any.
    std::string storeExtensions(TQF_PREVIEW_HEADER &previewHeader) {
        if (m_options.sourceProperties.empty())
            return {};
        const std::vector<uint8_t> properties = format::encodeProperties(m_options.sourceProperties);
        format::ExtensionEntry entry{format::kSourcePropertiesRecord, static_cast<uint32_t>(properties.size()), 0};
        uint64_t position = 0;
        if (!m_file.append(properties.data(), properties.size(), position))
            return m_file.error();
        entry.position = static_cast<int64_t>(position);
        if (!m_file.append(&entry, sizeof entry, position))
            return m_file.error();
        const format::ExtensionDirectory directory{format::kExtensionMarker, 1, static_cast<int64_t>(position)};
        std::memcpy(previewHeader.reserved, &directory, sizeof directory);
        return {};
    }

    template <typename ImageHeader>
    std::string storeImage(const cv::Mat &image, ChromaSubsampling subsampling, ImageHeader &header) {
        const size_t size = m_encoder.encode(codec::pixels_of(image, codec::PixelOrder::bgr), m_options.jpegQuality,
                                             subsampling, m_encoded);
        if (size == 0)
            return m_encoder.error();
        uint64_t position = 0;
        if (!m_file.append(m_encoded.data(), size, position))
            return m_file.error();
        header = imageHeader<ImageHeader>(image, position, size);
        return {};
    }

    TQF_HEADER slideHeader(uint64_t indexPosition, uint64_t fileSize) const {
        TQF_HEADER header;
        std::memset(&header, 0, sizeof header);
        header.startFlag = format::kHeaderStartFlag;
        std::memcpy(header.fileFormat, format::kFileFormat, sizeof header.fileFormat);
        header.version = format::kVersion;
        header.dataBlockCount = static_cast<int32_t>(m_blocks.size());
        header.imageHeight = static_cast<int32_t>(m_height);
        header.imageWidth = static_cast<int32_t>(m_width);
        header.scanScale = m_options.scanMagnification;
        std::memcpy(header.compressType, format::kCompressType, sizeof header.compressType);
        header.scanDuration = 0;  // converted, not scanned
        header.scanTime = m_options.scanTime ? *m_options.scanTime : static_cast<int64_t>(std::time(nullptr));
        header.previewPos = static_cast<int32_t>(format::kPreviewHeaderPosition);
        header.labelPos = static_cast<int32_t>(format::kLabelHeaderPosition);
        header.thumbnailPos = format::kThumbnailHeaderPosition;
        header.dataBlockPos = static_cast<int64_t>(indexPosition);
        header.imageCapRes = m_options.micronsPerPixel
                                 ? static_cast<float>(*m_options.micronsPerPixel)
                                 : format::kMicronsPerPixelAtOneX / static_cast<float>(m_options.scanMagnification);
        header.freeInfo = static_cast<int64_t>(fileSize);
        header.imageBlockLen = format::kTileSize;
        header.endFlag = format::kHeaderEndFlag;
        return header;
    }

    const std::string m_outputPath;
    const SlideWriteOptions m_options;
    const SlideProgress m_progress;
    int64_t m_width = 0;
    int64_t m_height = 0;
    std::vector<format::Level> m_levels;
    std::vector<LevelPlan> m_plan;
    std::mutex m_stripMutex;
    std::vector<cv::Mat> m_spareStrips;
    std::vector<LevelRows> m_builders;
    size_t m_overviewLevel = 0;
    cv::Mat m_overview;
    cv::Mat m_thumbnail;
    uint64_t m_tileCount = 0;
    uint64_t m_tilesStored = 0;
    uint32_t m_copiedTiles = 0;
    std::vector<TQF_DATABLOCK_HEADER> m_blocks;
    std::vector<bool> m_handed;  // tiles handed to the pool, by index entry
    writer::SlideFile m_file;
    codec::JpegEncoder m_encoder;
    std::vector<uint8_t> m_encoded;  // the encoder's buffer
    std::unique_ptr<writer::TilePool> m_pool;
    bool m_finished = false;
};

SlideWriteResult writeSlide(cv::Mat image, const std::string &outputPath, const SlideWriteOptions &options) {
    SlideWriteResult result;
    result.error = checkArguments(image, outputPath, options);
    if (!result.ok())
        return result;
    SlideStreamWriter writer;
    result.error = writer.begin(outputPath, image.cols, image.rows, options);
    for (int y = 0; result.ok() && y < image.rows; y += kBandRows)
        result.error = writer.addRows(image.rowRange(y, std::min(image.rows, y + kBandRows)));
    if (!result.ok())
        return result;
    image.release();  // the writer holds copies of the rows it still needs
    return writer.finish();
}

SlideStreamWriter::SlideStreamWriter() = default;
SlideStreamWriter::~SlideStreamWriter() = default;

std::string SlideStreamWriter::begin(const std::string &outputPath, int64_t width, int64_t height,
                                     const SlideWriteOptions &options, SlideProgress progress) {
    m_assembly.reset();
    if (width < 1 || height < 1)
        return "the image is empty";
    if (width > INT32_MAX || height > INT32_MAX)
        return "the image of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels is larger than a slide can record";
    if (outputPath.empty())
        return "no output path was given";
    std::string problem = checkOptions(options);
    if (!problem.empty())
        return problem;
    auto assembly = std::make_unique<Assembly>(outputPath, options, std::move(progress));
    problem = assembly->start(width, height);
    if (problem.empty())
        m_assembly = std::move(assembly);
    return problem;
}

std::string SlideStreamWriter::addRows(const cv::Mat &rows) { return addLevelRows(0, rows); }

bool SlideStreamWriter::rowsWanted(int level) const {
    return m_assembly && level >= 0 && m_assembly->rowsWanted(static_cast<size_t>(level));
}

std::string SlideStreamWriter::addLevelRows(int level, const cv::Mat &rows) {
    if (!m_assembly)
        return "no slide is being written";
    std::string problem = level < 0 ? "there is no level " + std::to_string(level)
                                    : m_assembly->addRows(static_cast<size_t>(level), rows);
    if (!problem.empty())
        m_assembly.reset();
    return problem;
}

std::string SlideStreamWriter::addTile(int level, int64_t column, int64_t row, std::vector<uint8_t> stream) {
    if (!m_assembly)
        return "no slide is being written";
    std::string problem = m_assembly->addTile(level, column, row, std::move(stream), nullptr);
    if (!problem.empty())
        m_assembly.reset();
    return problem;
}

std::string SlideStreamWriter::addTilePixels(int level, int64_t column, int64_t row, const cv::Mat &tile) {
    if (!m_assembly)
        return "no slide is being written";
    std::string problem = m_assembly->addTile(level, column, row, {}, &tile);
    if (!problem.empty())
        m_assembly.reset();
    return problem;
}

SlideWriteResult SlideStreamWriter::finish() {
    SlideWriteResult result;
    if (!m_assembly) {
        result.error = "no slide is being written";
        return result;
    }
    result = m_assembly->finish();
    m_assembly.reset();
    return result;
}

void SlideStreamWriter::discard() { m_assembly.reset(); }

}  // namespace tqf
