#include "jpeg_level_copy.h"

#include "positioned_io.h"
#include "pyramid.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <jerror.h>
#include <jpeglib.h>
#include "codec/jpeg_errors.h"
#include <tiffio.h>

namespace tqf::convert {

namespace codec = tqf::codec;

namespace {

constexpr int kTile = 256;

int64_t tilesAcross(int64_t pixels) { return (pixels + kTile - 1) / kTile; }

// Marker codes after their 0xFF.
constexpr uint8_t kSoi = 0xD8, kEoi = 0xD9, kDqt = 0xDB, kDht = 0xC4, kDri = 0xDD, kCom = 0xFE;

int quietTiff(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// The segments of a JPEG stream from after its SOI up to (not including)
// the first marker `stop` accepts; calls `take` for each segment (marker
// and length included). False with `error` set when the bytes are not
// such segments.
template <typename Stop, typename Take>
bool walkSegments(const uint8_t *data, size_t size, Stop stop, Take take, size_t &end, std::string &error) {
    if (size < 2 || data[0] != 0xFF || data[1] != kSoi) {
        error = "it does not start as a JPEG stream";
        return false;
    }
    size_t at = 2;
    for (;;) {
        while (at + 1 < size && data[at] == 0xFF && data[at + 1] == 0xFF)
            ++at;  // fill bytes
        if (at + 2 > size || data[at] != 0xFF) {
            error = "its segments end at byte " + std::to_string(at) + " without a marker";
            return false;
        }
        const uint8_t marker = data[at + 1];
        if (stop(marker)) {
            end = at;
            return true;
        }
        if (at + 4 > size) {
            error = "it ends inside a segment header";
            return false;
        }
        const size_t length = static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || at + 2 + length > size) {
            error = "a segment of " + std::to_string(length) + " bytes runs past its end";
            return false;
        }
        if (!take(marker, data + at, 2 + length)) {
            char text[64];
            std::snprintf(text, sizeof text, "it holds a 0x%02X segment", marker);
            error = text;
            return false;
        }
        at += 2 + length;
    }
}

// Decodes a stream to be stored as it is, as the slide's readers will
// (libjpeg's defaults, the colour space the stream's markers give), into
// `out` (a whole tile, BGR), or with `out` null only to its coefficients.
enum class Reading { stored, notAsIs, broken };

// Why a stream whose header is read cannot be stored as it is; empty when it can.
std::string unfit(const jpeg_decompress_struct &info) {
    if (info.num_components != 3)
        return "it has " + std::to_string(info.num_components) + " components";
    if (info.jpeg_color_space != JCS_YCbCr)
        return "its markers make a reader take it for RGB, not YCbCr";
    if (static_cast<int>(info.image_width) != kTile || static_cast<int>(info.image_height) != kTile)
        return "it is " + std::to_string(info.image_width) + " x " + std::to_string(info.image_height) +
               " pixels, not a whole tile";
    if (info.data_precision != 8)
        return "its samples have " + std::to_string(info.data_precision) + " bits";
    if (info.arith_code)
        return "it is arithmetic coded";
    if (info.progressive_mode)
        return "it is progressive";
    if (info.comps_in_scan != info.num_components)
        return "its components lie in separate scans";
    // A scan names its tables by four bits each, and libjpeg reads the
    // numbers as they are: only 0..3 can name a table.
    const auto defined = [](JHUFF_TBL *const(&tables)[NUM_HUFF_TBLS], int number) {
        return number >= 0 && number < NUM_HUFF_TBLS && tables[number] != nullptr;
    };
    for (int i = 0; i < info.comps_in_scan; ++i) {
        const jpeg_component_info &component = *info.cur_comp_info[i];
        if (!defined(info.dc_huff_tbl_ptrs, component.dc_tbl_no) ||
            !defined(info.ac_huff_tbl_ptrs, component.ac_tbl_no))
            return "it uses a Huffman table that neither it nor the page's tables define";
    }
    for (int i = 0; i < info.num_components; ++i)
        if (info.comp_info[i].quant_tbl_no < 0 || info.comp_info[i].quant_tbl_no >= NUM_QUANT_TBLS ||
            info.quant_tbl_ptrs[info.comp_info[i].quant_tbl_no] == nullptr)
            return "it uses a quantisation table that neither it nor the page's tables define";
    if (info.marker_list != nullptr)
        return "it carries an APP1 (Exif) segment, which some readers turn the image by";
    return {};
}

// `scale` 1 decodes the whole tile into `out`, 2 at half size (libjpeg's
// scaled IDCT), 8 at an eighth: cheapest, for a tile only checked.
Reading decodeStored(const std::vector<uint8_t> &stream, int scale, cv::Mat &out, std::string &why) {
    jpeg_decompress_struct info;
    codec::JpegErrors errors;
    info.err = codec::strict_jpeg_errors(errors);
    jpeg_create_decompress(&info);
    volatile bool headerRead = false;
    if (setjmp(errors.jump)) {
        why = errors.message;
        jpeg_destroy_decompress(&info);
        return headerRead ? Reading::broken : Reading::notAsIs;
    }
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0);
    jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&info, TRUE);
    why = unfit(info);
    if (!why.empty()) {
        jpeg_destroy_decompress(&info);
        return Reading::notAsIs;
    }
    headerRead = true;
    info.scale_num = 1;
    info.scale_denom = static_cast<unsigned>(scale);
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    out.create(static_cast<int>(info.output_height), static_cast<int>(info.output_width), CV_8UC3);
    JSAMPROW rows[kTile];
    for (int i = 0; i < out.rows; ++i)
        rows[i] = out.ptr<uint8_t>(i);
    while (info.output_scanline < info.output_height)
        jpeg_read_scanlines(&info, rows + info.output_scanline, info.output_height - info.output_scanline);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return Reading::stored;
}

// OpenSlide's reading of a tile (through libtiff): the page's tables read
// first, then the tile, YCbCr as the page's photometric tag says.
bool decodeAsOpenSlide(const std::vector<uint8_t> &tables, const std::vector<uint8_t> &tile, cv::Mat &out,
                       std::string &why) {
    jpeg_decompress_struct info;
    codec::JpegErrors errors;
    info.err = codec::strict_jpeg_errors(errors);
    jpeg_create_decompress(&info);
    if (setjmp(errors.jump)) {
        why = errors.message;
        jpeg_destroy_decompress(&info);
        return false;
    }
    if (!tables.empty()) {
        jpeg_mem_src(&info, tables.data(), static_cast<unsigned long>(tables.size()));
        jpeg_read_header(&info, FALSE);
    }
    jpeg_mem_src(&info, tile.data(), static_cast<unsigned long>(tile.size()));
    jpeg_read_header(&info, TRUE);
    info.jpeg_color_space = JCS_YCbCr;
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    if (static_cast<int>(info.output_width) != kTile || static_cast<int>(info.output_height) != kTile ||
        info.output_components != 3) {
        why = "the tile decodes to " + std::to_string(info.output_width) + " x " + std::to_string(info.output_height) +
              " pixels, not " + std::to_string(kTile) + " x " + std::to_string(kTile);
        jpeg_destroy_decompress(&info);
        return false;
    }
    out.create(kTile, kTile, CV_8UC3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.ptr<uint8_t>(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

std::string compressionName(uint16_t compression) {
    switch (compression) {
    case COMPRESSION_NONE:
        return "no compression";
    case COMPRESSION_LZW:
        return "LZW";
    case COMPRESSION_OJPEG:
        return "old-style JPEG";
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return "Deflate";
    case 33003:
    case 33005:
        return "JPEG 2000";
    default:
        return "compression " + std::to_string(compression);
    }
}

}  // namespace

bool jpegTableSegments(const uint8_t *tables, size_t size, std::vector<uint8_t> &segments, std::string &error) {
    segments.clear();
    size_t end = 0;
    const bool ok = walkSegments(
        tables, size, [](uint8_t marker) { return marker == kEoi; },
        [&](uint8_t marker, const uint8_t *segment, size_t length) {
            if (marker == kDqt || marker == kDht)
                segments.insert(segments.end(), segment, segment + length);
            return marker == kDqt || marker == kDht || marker == kDri || marker == kCom ||
                   (marker >= 0xE0 && marker <= 0xEF);
        },
        end, error);
    if (!ok)
        segments.clear();
    return ok;
}

bool mergeJpegTables(const std::vector<uint8_t> &segments, const uint8_t *tile, size_t size,
                     std::vector<uint8_t> &merged, std::string &error) {
    if (size < 2 || tile[0] != 0xFF || tile[1] != kSoi) {
        error = "it does not start as a JPEG stream";
        return false;
    }
    merged.resize(2 + segments.size() + size - 2);
    merged[0] = 0xFF;
    merged[1] = kSoi;
    std::copy(segments.begin(), segments.end(), merged.begin() + 2);
    std::copy(tile + 2, tile + size, merged.begin() + 2 + static_cast<ptrdiff_t>(segments.size()));
    return true;
}

CopiedLevel::~CopiedLevel() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string CopiedLevel::place(int64_t column, int64_t row) const {
    const int64_t left = column * kTile, top = row * kTile;
    std::string text = "cannot read '" + m_path + "' at the tile of rows " + std::to_string(top) + ".." +
                       std::to_string(std::min(m_height, top + kTile) - 1) + ", columns " + std::to_string(left) +
                       ".." + std::to_string(std::min(m_width, left + kTile) - 1);
    if (m_directory != 0)
        text += " of its " + std::to_string(m_width) + " x " + std::to_string(m_height) + " level (page " +
                std::to_string(m_directory) + ")";
    return text;
}

bool CopiedLevel::readTile(int64_t column, int64_t row, TilePixels want, CopiedTile &tile, cv::Mat &scratch,
                           std::string &error) const {
    tile.stream.clear();
    tile.reencode = false;
    tile.pixels = cv::Mat();
    tile.output = cv::Mat();
    const cv::Rect inside(0, 0, static_cast<int>(std::min<int64_t>(kTile, m_width - column * kTile)),
                          static_cast<int>(std::min<int64_t>(kTile, m_height - row * kTile)));
    // The tile's part inside the level (whole, or halved as the next level takes it).
    const auto give = [&](const cv::Mat &whole) {
        if (want == TilePixels::whole)
            tile.output = whole(inside);
        else if (want == TilePixels::half)
            tile.output = writer::halveLevel(whole(inside));
    };
    const size_t index = static_cast<size_t>(row * m_columns + column);
    if (m_lengths[index] == 0 || m_offsets[index] == 0) {  // not stored: white, as the slide shows it
        if (want != TilePixels::none) {
            scratch.create(kTile, kTile, CV_8UC3);
            scratch.setTo(cv::Scalar::all(255));
            give(scratch);
        }
        return true;
    }
    std::vector<uint8_t> raw(static_cast<size_t>(m_lengths[index]));
    if (!io::readFullyAt(m_fd, raw.data(), raw.size(), m_offsets[index])) {
        error = place(column, row) + ": " +
                (errno == EIO ? std::string("the file ends inside it") : std::strerror(errno));
        return false;
    }
    // A tile wholly inside the level is halved by decoding it at half size:
    // most of the IDCT and colour conversion spared. One the level's edge
    // cuts is decoded whole and only its part inside is halved, so the
    // padding beyond the edge never reaches the next level.
    const bool scaled = want == TilePixels::half && inside.width == kTile && inside.height == kTile;
    const int scale = want == TilePixels::none ? 8 : scaled ? 2 : 1;
    std::string why;
    Reading reading = Reading::notAsIs;
    if (!mergeJpegTables(m_segments, raw.data(), raw.size(), tile.stream, why))
        why = "its stream " + why;
    else if (tile.stream.size() > kLargestTileStream)
        why = "with its tables it takes more bytes than a slide's tile may";
    else
        reading = decodeStored(tile.stream, scale, scratch, why);
    if (reading == Reading::broken) {
        error = place(column, row) + ": " + why;
        return false;
    }
    if (reading == Reading::notAsIs) {
        // Not to be stored as it is: read the way OpenSlide does and encoded again.
        const std::string mergedWhy = why;
        tile.stream.clear();
        if (!decodeAsOpenSlide(m_tables, raw, scratch, why)) {
            error = place(column, row) + ": " + why;
            return false;
        }
        tile.reencode = true;
        tile.reason = mergedWhy;
        tile.pixels = scratch(inside).clone();
        give(tile.pixels);
        return true;
    }
    if (scaled)
        tile.output = scratch;
    else if (want != TilePixels::none)
        give(scratch);
    return true;
}

// Builds a plan: the pages of the TIFF, matched to the slide's levels by size.
struct CopyPlanner {
    const std::string &path;
    const std::vector<LevelGeometry> &levels;
    const SourceLevelReader &reader;
    MissingTiles missing;
    CopyPlan plan;

    // Whether the current page leaves a tile unstored.
    static bool leavesTilesOut(TIFF *tiff) {
        const uint64_t *offsets = nullptr, *lengths = nullptr;
        if (!TIFFGetField(tiff, TIFFTAG_TILEOFFSETS, &offsets) ||
            !TIFFGetField(tiff, TIFFTAG_TILEBYTECOUNTS, &lengths) || offsets == nullptr || lengths == nullptr)
            return true;
        for (uint32_t i = 0, count = TIFFNumberOfTiles(tiff); i < count; ++i)
            if (offsets[i] == 0 || lengths[i] == 0)
                return true;
        return false;
    }

    std::string levelText(size_t k) const {
        char magnification[32];
        std::snprintf(magnification, sizeof magnification, "%g", levels[k].magnification);
        return "level " + std::to_string(k) + " (" + magnification + "x, " + std::to_string(levels[k].width) + " x " +
               std::to_string(levels[k].height) + ")";
    }

    // Why page `directory` (the current one of `tiff`) cannot give its
    // tiles to a level, or empty with `level` filled.
    std::string readPage(TIFF *tiff, int directory, int64_t width, int64_t height, CopiedLevel &level) {
        uint32_t tileWidth = 0, tileHeight = 0;
        uint16_t bits = 0, samples = 0, compression = 0, photometric = 0, planar = PLANARCONFIG_CONTIG;
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
        if (tileWidth != static_cast<uint32_t>(kTile) || tileHeight != static_cast<uint32_t>(kTile))
            return "its tiles are " + std::to_string(tileWidth) + " x " + std::to_string(tileHeight) +
                   " pixels, not 256 x 256";
        if (compression != COMPRESSION_JPEG)
            return "its tiles hold " + compressionName(compression) + ", not JPEG";
        if (bits != 8 || samples != 3 || planar != PLANARCONFIG_CONTIG)
            return "it has " + std::to_string(samples) + " samples of " + std::to_string(bits) + " bits per pixel" +
                   (planar != PLANARCONFIG_CONTIG ? " in separate planes" : "");
        if (photometric != PHOTOMETRIC_YCBCR)
            return "its JPEG tiles hold RGB, not YCbCr";
        level.m_width = width;
        level.m_height = height;
        level.m_columns = tilesAcross(width);
        level.m_rows = tilesAcross(height);
        const uint64_t count = static_cast<uint64_t>(level.m_columns) * static_cast<uint64_t>(level.m_rows);
        const uint64_t *offsets = nullptr, *lengths = nullptr;
        if (TIFFNumberOfTiles(tiff) != count || !TIFFGetField(tiff, TIFFTAG_TILEOFFSETS, &offsets) ||
            !TIFFGetField(tiff, TIFFTAG_TILEBYTECOUNTS, &lengths) || offsets == nullptr || lengths == nullptr)
            return "its tile offsets are missing or of the wrong count";
        level.m_offsets.assign(offsets, offsets + count);
        level.m_lengths.assign(lengths, lengths + count);
        uint32_t tablesLength = 0;
        void *tables = nullptr;
        if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &tablesLength, &tables) && tables != nullptr && tablesLength > 0) {
            level.m_tables.assign(static_cast<uint8_t *>(tables), static_cast<uint8_t *>(tables) + tablesLength);
            std::string why;
            if (!jpegTableSegments(level.m_tables.data(), level.m_tables.size(), level.m_segments, why))
                return "its JPEGTables are not plain tables: " + why;
        }
        for (uint64_t i = 0; i < count; ++i)
            if (level.m_lengths[i] + level.m_segments.size() > kLargestTileStream)
                return "tile " + std::to_string(i) + " takes " + std::to_string(level.m_lengths[i]) +
                       " bytes with its tables, more than a slide's tile may";
        level.m_directory = directory;
        return {};
    }

    // Whether tile `index` decodes, stored as it is, to the pixels OpenSlide
    // gives: empty when it does, the reason when not; `compared` false when
    // OpenSlide cannot show that tile alone.
    std::string matchesOpenSlide(const CopiedLevel &level, size_t index, bool &compared) {
        compared = false;
        const int64_t column = static_cast<int64_t>(index) % level.m_columns;
        const int64_t row = static_cast<int64_t>(index) / level.m_columns;
        const std::string tileText = "its tile at column " + std::to_string(column) + ", row " + std::to_string(row);
        CopiedTile tile;
        cv::Mat scratch, expected;
        if (!level.readTile(column, row, TilePixels::whole, tile, scratch, plan.error))
            return "it does not decode";  // the source is damaged: the conversion stops
        if (tile.reencode)
            return tileText + " cannot be stored as it is: " + tile.reason;
        expected.create(tile.output.rows, tile.output.cols, CV_8UC3);
        if (!reader(level.m_width, level.m_height, column * kTile, row * kTile, expected))
            return {};
        compared = true;
        if (cv::norm(tile.output, expected, cv::NORM_INF) != 0)
            return "its tiles decode unlike OpenSlide's reading of them";
        return {};
    }

    // Two stored tiles, the first and one in the middle, must decode as
    // OpenSlide reads them; at least one must be compared.
    std::string check(const CopiedLevel &level) {
        const size_t count = level.m_lengths.size();
        const auto stored = [&](size_t i) { return level.m_lengths[i] != 0 && level.m_offsets[i] != 0; };
        size_t first = 0;
        while (first < count && !stored(first))
            ++first;
        if (first == count)
            return {};  // nothing stored: nothing to copy wrong
        size_t middle = static_cast<size_t>(level.m_rows / 2 * level.m_columns + level.m_columns / 2);
        while (middle < count && !stored(middle))
            ++middle;
        std::vector<size_t> tiles{first};
        if (middle < count && middle != first)
            tiles.push_back(middle);
        int compared = 0;
        for (size_t index : tiles) {
            bool done = false;
            const std::string problem = matchesOpenSlide(level, index, done);
            if (!problem.empty() || !plan.error.empty())
                return problem;
            compared += done ? 1 : 0;
        }
        return compared > 0 ? std::string() : "OpenSlide shows none of its tiles alone to compare them with";
    }

    void run() {
        plan.levels.resize(levels.size());
        TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, quietTiff, nullptr);
        TIFFOpenOptionsSetWarningHandlerExtR(options, quietTiff, nullptr);
        TIFF *tiff = TIFFOpenExt(path.c_str(), "r", options);
        TIFFOpenOptionsFree(options);
        if (tiff == nullptr)
            return;
        int directory = 0;
        bool finerLeavesOut = false;  // a finer tiled page leaves tiles out
        do {
            uint32_t width = 0, height = 0;
            if (!TIFFIsTiled(tiff) || !TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) ||
                !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height))
                continue;
            // OpenSlide draws what such a page leaves out, and what coarser
            // pages store over it, from the finer level: not as stored.
            const bool drawn = missing == MissingTiles::drawnFromFinerLevel && directory > 0 &&
                               (finerLeavesOut || leavesTilesOut(tiff));
            finerLeavesOut = finerLeavesOut || leavesTilesOut(tiff);
            size_t k = 0;
            while (k < levels.size() && (levels[k].width != width || levels[k].height != height))
                ++k;
            const std::string page = "the source's " + std::to_string(width) + " x " + std::to_string(height) +
                                     " level";
            if (k == levels.size()) {
                plan.notes.push_back(page + " matches no level of the slide in size: made from the level above");
                continue;
            }
            if (plan.levels[k])
                continue;  // a later page of the same size
            std::unique_ptr<CopiedLevel> level(new CopiedLevel);
            std::string problem =
                drawn ? "OpenSlide draws tiles of it from the level above, where the source leaves tiles out"
                      : readPage(tiff, directory, width, height, *level);
            if (problem.empty()) {
                level->m_path = path;
                level->m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                if (level->m_fd < 0)
                    problem = std::string("cannot open it again: ") + std::strerror(errno);
            }
            if (problem.empty())
                problem = check(*level);
            if (!plan.error.empty())
                break;
            if (problem.empty())
                plan.levels[k] = std::move(level);
            else
                plan.notes.push_back(levelText(k) + " encoded again, not copied: " + problem);
        } while (++directory, TIFFReadDirectory(tiff));
        TIFFClose(tiff);
        if (!plan.error.empty()) {
            plan.levels.clear();
            plan.levels.resize(levels.size());
        }
    }
};

CopyPlan planCopies(const std::string &path, const std::vector<LevelGeometry> &levels, const SourceLevelReader &reader,
                    MissingTiles missing) {
    CopyPlanner planner{path, levels, reader, missing, {}};
    planner.run();
    return std::move(planner.plan);
}

}  // namespace tqf::convert
