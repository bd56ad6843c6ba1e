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

std::string describeType(const cv::Mat &image)
{
    return cv::typeToString(image.type()) + " with " + std::to_string(image.dims) + " dimensions";
}

std::string checkImageArgument(const cv::Mat &image, const char *what)
{
    if (image.empty())
        return std::string("the ") + what + " is empty";
    if (image.dims != 2 || image.type() != CV_8UC3)
        return std::string("the ") + what + " must be an 8-bit, 3-channel BGR image (CV_8UC3), not " +
               describeType(image);
    return {};
}

std::string checkOptions(const SlideWriteOptions &options)
{
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
        return "the resolution " + std::to_string(*options.micronsPerPixel) +
               " micrometres per pixel is outside (0, " + std::to_string(static_cast<int>(kLargestMicronsPerPixel)) +
               "]";
    if (!options.label.empty() && !(problem = checkImageArgument(options.label, "label image")).empty())
        return problem;
    if (!options.preview.empty() && !(problem = checkImageArgument(options.preview, "preview image")).empty())
        return problem;
    return {};
}

std::string checkArguments(const cv::Mat &image, const std::string &outputPath, const SlideWriteOptions &options)
{
    std::string problem = checkImageArgument(image, "image");
    if (!problem.empty())
        return problem;
    if (outputPath.empty())
        return "no output path was given";
    return checkOptions(options);
}

std::string fileNameOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

template <typename ImageHeader>
ImageHeader imageHeader(const cv::Mat &image, uint64_t position, size_t length)
{
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
// being encoded, and the file.
class SlideStreamWriter::Assembly {
public:
    Assembly(const std::string &outputPath, const SlideWriteOptions &options, SlideProgress progress)
        : m_outputPath(outputPath), m_options(options), m_progress(std::move(progress))
    {
    }

    ~Assembly()
    {
        m_pool.reset();  // the workers stop before the file goes
        if (!m_finished)
            m_file.discard();
    }

    std::string start(int64_t width, int64_t height)
    {
        m_width = width;
        m_height = height;
        m_levels = format::pyramidLevels(width, height, m_options.scanMagnification);
        m_tileCount = format::totalBlockCount(m_levels);
        if (m_tileCount > static_cast<uint64_t>(INT32_MAX))
            return "the image of " + std::to_string(width) + " x " + std::to_string(height) +
                   " pixels needs more tiles than a slide can index";
        m_blocks.assign(static_cast<size_t>(m_tileCount), TQF_DATABLOCK_HEADER{});
        m_builders.resize(m_levels.size());
        // The preview is made from the first level whose next is smaller than
        // the preview, or from the last.
        for (size_t k = 0; k < m_levels.size(); ++k) {
            const bool last = k + 1 == m_levels.size();
            if (last || std::max(m_levels[k + 1].width, m_levels[k + 1].height) < m_options.previewMaxSide) {
                m_overviewLevel = k;
                break;
            }
        }
        if (!m_file.create(m_outputPath))
            return m_file.error();

        writer::TilePoolSettings settings;
        settings.quality = m_options.jpegQuality;
        settings.streamCapacity = YELK_TILE_STREAM_CAPACITY;
        settings.threads = m_options.threads != 0 ? m_options.threads : std::max(1u, std::thread::hardware_concurrency());
        // Room for two tile rows of the scan level: one being encoded while
        // the next fills, and the coarser levels' tiles between them.
        settings.window = static_cast<size_t>(2 * m_levels[0].columns) + 4 * settings.threads + 16;
        m_pool = std::make_unique<writer::TilePool>(
            settings, [this](const writer::TileJob &job, const std::vector<uint8_t> &stream) { return store(job, stream); });
        return {};
    }

    std::string addRows(const cv::Mat &rows)
    {
        if (rows.empty())
            return {};
        if (rows.dims != 2 || rows.type() != CV_8UC3)
            return "the rows must be an 8-bit, 3-channel BGR image (CV_8UC3), not " + describeType(rows);
        if (rows.cols != m_width)
            return "rows of " + std::to_string(rows.cols) + " pixels given for an image " + std::to_string(m_width) +
                   " pixels wide";
        if (m_rowsIn + rows.rows > m_height)
            return "more rows given than the image's " + std::to_string(m_height);
        m_rowsIn += rows.rows;
        return guarded([&] { return feed(0, rows); });
    }

    SlideWriteResult finish()
    {
        SlideWriteResult result;
        if (m_rowsIn != m_height) {
            result.error = "the slide ends after " + std::to_string(m_rowsIn) + " of its " +
                           std::to_string(m_height) + " rows";
            return result;
        }
        result.error = guarded([&] { return complete(); });
        if (!result.ok())
            return result;
        m_finished = true;
        result.fileSize = m_file.size();
        result.tileCount = static_cast<uint32_t>(m_blocks.size());
        result.levelCount = static_cast<int>(m_levels.size());
        return result;
    }

private:
    // Rows of one level gathered into its current tile row.
    struct LevelRows {
        cv::Mat strip;
        int filled = 0;
        int64_t tileRow = 0;
    };

    template <typename Step>
    std::string guarded(Step step)
    {
        try {
            return step();
        } catch (const std::bad_alloc &) {
            return "not enough memory to write '" + m_outputPath + "'";
        } catch (const cv::Exception &e) {
            return "image processing failed while writing '" + m_outputPath + "': " + e.what();
        }
    }

    std::string poolFailure() const
    {
        const std::string error = m_pool->error();
        return error.empty() ? m_file.error() : error;
    }

    std::string feed(size_t k, const cv::Mat &rows)
    {
        const format::Level &level = m_levels[k];
        LevelRows &into = m_builders[k];
        for (int offset = 0; offset < rows.rows;) {
            if (into.strip.empty()) {
                const int64_t top = into.tileRow * format::kTileSize;
                into.strip.create(static_cast<int>(std::min<int64_t>(format::kTileSize, level.height - top)),
                                  static_cast<int>(level.width), CV_8UC3);
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

    // Hands a full tile row to the encoders and its halving to the next level.
    std::string completeTileRow(size_t k)
    {
        const format::Level &level = m_levels[k];
        LevelRows &into = m_builders[k];
        auto strip = std::make_shared<const cv::Mat>(std::move(into.strip));
        into.strip = cv::Mat();
        const int64_t row = into.tileRow++;
        for (int64_t column = 0; column < level.columns; ++column) {
            writer::TileJob job;
            job.strip = strip;
            const int x = static_cast<int>(column * format::kTileSize);
            job.area = cv::Rect(x, 0, std::min(format::kTileSize, static_cast<int>(level.width) - x), strip->rows);
            job.level = level.index;
            job.block = level.firstBlock + static_cast<uint64_t>(row * level.columns + column);
            if (!m_pool->submit(std::move(job)))
                return poolFailure();
        }
        if (k == m_overviewLevel) {
            if (m_overview.empty())
                m_overview.create(static_cast<int>(level.height), static_cast<int>(level.width), CV_8UC3);
            strip->copyTo(m_overview.rowRange(static_cast<int>(row * format::kTileSize),
                                              static_cast<int>(row * format::kTileSize) + strip->rows));
        }
        if (k + 1 == m_levels.size()) {
            m_thumbnail = *strip;  // the last level is one tile
            return {};
        }
        return feed(k + 1, writer::halveLevel(*strip));
    }

    bool store(const writer::TileJob &job, const std::vector<uint8_t> &stream)
    {
        uint64_t position = 0;
        if (!m_file.append(stream.data(), stream.size(), position))
            return false;
        const format::Level &level = m_levels[static_cast<size_t>(job.level)];
        const uint64_t index = job.block - level.firstBlock;
        const int64_t column = static_cast<int64_t>(index % static_cast<uint64_t>(level.columns));
        const int64_t row = static_cast<int64_t>(index / static_cast<uint64_t>(level.columns));
        TQF_DATABLOCK_HEADER block = format::expectedBlockHeader(level, column, row);
        block.length = static_cast<uint32_t>(stream.size());
        block.position = static_cast<int64_t>(position);
        m_blocks[static_cast<size_t>(job.block)] = block;
        ++m_tilesStored;
        if (m_progress)
            m_progress(m_tilesStored, m_tileCount);
        return true;
    }

    std::string complete()
    {
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

        TQF_PREVIEW_HEADER previewHeader;
        TQF_LABEL_HEADER labelHeader;
        TQF_THUMBNAIL_HEADER thumbnailHeader;
        std::string problem = storeImage(preview, ChromaSubsampling::s420, previewHeader);
        if (problem.empty())
            problem = storeImage(label, ChromaSubsampling::s444, labelHeader);  // keeps thin text sharp
        if (problem.empty())
            problem = storeImage(m_thumbnail, ChromaSubsampling::s420, thumbnailHeader);
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

    template <typename ImageHeader>
    std::string storeImage(const cv::Mat &image, ChromaSubsampling subsampling, ImageHeader &header)
    {
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

    TQF_HEADER slideHeader(uint64_t indexPosition, uint64_t fileSize) const
    {
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
    int64_t m_rowsIn = 0;
    std::vector<format::Level> m_levels;
    std::vector<LevelRows> m_builders;
    size_t m_overviewLevel = 0;
    cv::Mat m_overview;
    cv::Mat m_thumbnail;
    uint64_t m_tileCount = 0;
    uint64_t m_tilesStored = 0;
    std::vector<TQF_DATABLOCK_HEADER> m_blocks;
    writer::SlideFile m_file;
    codec::JpegEncoder m_encoder;
    std::vector<uint8_t> m_encoded;  // the encoder's buffer
    std::unique_ptr<writer::TilePool> m_pool;
    bool m_finished = false;
};

SlideWriteResult writeSlide(cv::Mat image, const std::string &outputPath, const SlideWriteOptions &options)
{
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
                                     const SlideWriteOptions &options, SlideProgress progress)
{
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

std::string SlideStreamWriter::addRows(const cv::Mat &rows)
{
    if (!m_assembly)
        return "no slide is being written";
    std::string problem = m_assembly->addRows(rows);
    if (!problem.empty())
        m_assembly.reset();
    return problem;
}

SlideWriteResult SlideStreamWriter::finish()
{
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
