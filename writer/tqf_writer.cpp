#include "tqf_writer.h"

#include "jpeg_encoder.h"
#include "pyramid.h"
#include "slide_file.h"
#include "slide_images.h"
#include "tile_encoding.h"
#include "tqf_format.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace tqf {

namespace {

using writer::ChromaSubsampling;

// Stored images larger than this on a side are scaled down to it.
constexpr int kMaxStoredImageSide = 4096;
constexpr unsigned kMaxThreads = 256;

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

std::string checkArguments(const cv::Mat &image, const std::string &outputPath, const SlideWriteOptions &options)
{
    std::string problem = checkImageArgument(image, "image");
    if (!problem.empty())
        return problem;
    if (outputPath.empty())
        return "no output path was given";
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
    if (!options.label.empty() && !(problem = checkImageArgument(options.label, "label image")).empty())
        return problem;
    if (!options.preview.empty() && !(problem = checkImageArgument(options.preview, "preview image")).empty())
        return problem;
    return {};
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

class SlideAssembly {
public:
    SlideAssembly(const std::string &outputPath, const SlideWriteOptions &options)
        : m_outputPath(outputPath), m_options(options)
    {
    }

    SlideWriteResult write(cv::Mat image)
    {
        SlideWriteResult result;
        result.error = assemble(std::move(image));
        if (!result.ok()) {
            m_file.discard();
            return result;
        }
        result.fileSize = m_file.size();
        result.tileCount = static_cast<uint32_t>(m_blocks.size());
        result.levelCount = static_cast<int>(m_levels.size());
        return result;
    }

private:
    std::string assemble(cv::Mat image)
    {
        m_levels = format::pyramidLevels(image.cols, image.rows, m_options.scanMagnification);
        const uint64_t tileCount = format::totalBlockCount(m_levels);
        if (tileCount > static_cast<uint64_t>(INT32_MAX))
            return "the image of " + std::to_string(image.cols) + " x " + std::to_string(image.rows) +
                   " pixels needs more tiles than a slide can index";
        m_blocks.reserve(static_cast<size_t>(tileCount));
        if (!m_file.create(m_outputPath))
            return m_file.error();

        unsigned threads = m_options.threads;
        if (threads == 0)
            threads = std::max(1u, std::thread::hardware_concurrency());
        writer::TileEncodingSettings settings;
        settings.quality = m_options.jpegQuality;
        settings.streamCapacity = YELK_TILE_STREAM_CAPACITY;
        settings.threads = threads;

        const int width = image.cols;
        const int height = image.rows;
        cv::Mat level = std::move(image);
        cv::Mat overview;  // the level the preview is made from
        cv::Mat thumbnail;
        for (size_t k = 0; k < m_levels.size(); ++k) {
            std::string problem = writeLevelTiles(level, m_levels[k], settings);
            if (!problem.empty())
                return problem;
            const bool last = k + 1 == m_levels.size();
            if (overview.empty() &&
                (last || std::max(m_levels[k + 1].width, m_levels[k + 1].height) < m_options.previewMaxSide))
                overview = level;
            if (last) {
                thumbnail = level;
                break;
            }
            level = writer::halveLevel(level);  // the finer level is released here unless kept above
        }
        level.release();

        const cv::Mat preview = m_options.preview.empty() ? writer::fitWithin(overview, m_options.previewMaxSide)
                                                          : writer::fitWithin(m_options.preview, kMaxStoredImageSide);
        overview.release();
        const cv::Mat label = m_options.label.empty()
                                  ? writer::makeLabelCard(m_options.labelText.empty() ? fileNameOf(m_outputPath)
                                                                                      : m_options.labelText,
                                                          m_options.scanMagnification)
                                  : writer::fitWithin(m_options.label, kMaxStoredImageSide);

        TQF_PREVIEW_HEADER previewHeader;
        TQF_LABEL_HEADER labelHeader;
        TQF_THUMBNAIL_HEADER thumbnailHeader;
        std::string problem = storeImage(preview, ChromaSubsampling::k420, previewHeader);
        if (problem.empty())
            problem = storeImage(label, ChromaSubsampling::k444, labelHeader);  // keeps thin text sharp
        if (problem.empty())
            problem = storeImage(thumbnail, ChromaSubsampling::k420, thumbnailHeader);
        if (!problem.empty())
            return problem;

        uint64_t indexPosition = 0;
        if (!m_file.append(m_blocks.data(), m_blocks.size() * sizeof(TQF_DATABLOCK_HEADER), indexPosition))
            return m_file.error();
        const TQF_HEADER header = slideHeader(width, height, indexPosition, m_file.size());
        if (!m_file.finish(header, previewHeader, labelHeader, thumbnailHeader))
            return m_file.error();
        return {};
    }

    std::string writeLevelTiles(const cv::Mat &level, const format::Level &geometry,
                                const writer::TileEncodingSettings &settings)
    {
        const auto sink = [&](size_t index, const std::vector<uint8_t> &stream) {
            uint64_t position = 0;
            if (!m_file.append(stream.data(), stream.size(), position))
                return false;
            const int64_t column = static_cast<int64_t>(index) % geometry.columns;
            const int64_t row = static_cast<int64_t>(index) / geometry.columns;
            TQF_DATABLOCK_HEADER block = format::expectedBlockHeader(geometry, column, row);
            block.length = static_cast<uint32_t>(stream.size());
            block.position = static_cast<int64_t>(position);
            m_blocks.push_back(block);
            return true;
        };
        std::string error;
        if (!writer::encodeLevelTiles(level, settings, sink, error))
            return m_file.error().empty() ? "cannot encode level " + std::to_string(geometry.index) + ": " + error
                                          : m_file.error();
        return {};
    }

    template <typename ImageHeader>
    std::string storeImage(const cv::Mat &image, ChromaSubsampling subsampling, ImageHeader &header)
    {
        std::vector<uint8_t> stream;
        if (!m_encoder.encode(image, m_options.jpegQuality, subsampling, stream))
            return m_encoder.error();
        uint64_t position = 0;
        if (!m_file.append(stream.data(), stream.size(), position))
            return m_file.error();
        header = imageHeader<ImageHeader>(image, position, stream.size());
        return {};
    }

    TQF_HEADER slideHeader(int width, int height, uint64_t indexPosition, uint64_t fileSize) const
    {
        TQF_HEADER header;
        std::memset(&header, 0, sizeof header);
        header.startFlag = format::kHeaderStartFlag;
        std::memcpy(header.fileFormat, format::kFileFormat, sizeof header.fileFormat);
        header.version = format::kVersion;
        header.dataBlockCount = static_cast<int32_t>(m_blocks.size());
        header.imageHeight = height;
        header.imageWidth = width;
        header.scanScale = m_options.scanMagnification;
        std::memcpy(header.compressType, format::kCompressType, sizeof header.compressType);
        header.scanDuration = 0;  // converted, not scanned
        header.scanTime = m_options.scanTime ? *m_options.scanTime : static_cast<int64_t>(std::time(nullptr));
        header.previewPos = static_cast<int32_t>(format::kPreviewHeaderPosition);
        header.labelPos = static_cast<int32_t>(format::kLabelHeaderPosition);
        header.thumbnailPos = format::kThumbnailHeaderPosition;
        header.dataBlockPos = static_cast<int64_t>(indexPosition);
        header.imageCapRes = format::kMicronsPerPixelAtOneX / static_cast<float>(m_options.scanMagnification);
        header.freeInfo = static_cast<int64_t>(fileSize);
        header.imageBlockLen = format::kTileSize;
        header.endFlag = format::kHeaderEndFlag;
        return header;
    }

    const std::string m_outputPath;
    const SlideWriteOptions &m_options;
    std::vector<format::Level> m_levels;
    std::vector<TQF_DATABLOCK_HEADER> m_blocks;
    writer::SlideFile m_file;
    writer::JpegEncoder m_encoder;
};

}  // namespace

SlideWriteResult writeSlide(cv::Mat image, const std::string &outputPath, const SlideWriteOptions &options)
{
    SlideWriteResult result;
    result.error = checkArguments(image, outputPath, options);
    if (!result.ok())
        return result;
    try {
        return SlideAssembly(outputPath, options).write(std::move(image));
    } catch (const std::bad_alloc &) {
        result.error = "not enough memory to write '" + outputPath + "'";
    } catch (const cv::Exception &e) {
        result.error = "image processing failed while writing '" + outputPath + "': " + e.what();
    }
    return result;
}

}  // namespace tqf
