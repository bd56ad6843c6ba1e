// TIFF files that OpenSlide does not take (striped ones, above all), read
// through libtiff: 8-bit RGB and grey by scanline, anything else libtiff's
// RGBA interface reads by strip or tile.
#include "band_source.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <vector>

#include <tiffio.h>

namespace tqf::convert::detail {

namespace {

// A decoded strip or tile row as large as this is refused rather than held.
constexpr size_t kLargestBuffer = size_t{512} << 20;

// libtiff's messages for one file, kept instead of printed.
struct Messages {
    std::string last;
    std::string warning;
};

int keepError(TIFF *, void *user, const char *module, const char *format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    auto *messages = static_cast<Messages *>(user);
    messages->last = module != nullptr && *module != '\0' ? std::string(module) + ": " + text : text;
    return 1;
}

// Warnings are kept apart: a read that then fails may have said why only
// in one (a codec's "premature end of data").
int keepWarning(TIFF *, void *user, const char *module, const char *format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    auto *messages = static_cast<Messages *>(user);
    messages->warning = module != nullptr && *module != '\0' ? std::string(module) + ": " + text : text;
    return 1;
}

// "AppMag = 20|MPP = 0.5" in an Aperio-style description.
std::optional<double> describedNumber(const std::string &description, const std::string &key) {
    size_t at = 0;
    while ((at = description.find(key, at)) != std::string::npos) {
        const bool startsField = at == 0 || description[at - 1] == '|';
        size_t cursor = at + key.size();
        while (cursor < description.size() && description[cursor] == ' ')
            ++cursor;
        if (startsField && cursor < description.size() && description[cursor] == '=') {
            const double value = std::strtod(description.c_str() + cursor + 1, nullptr);
            if (std::isfinite(value) && value > 0)
                return value;
        }
        at = cursor;
    }
    return std::nullopt;
}

class TiffSource : public BandSource {
public:
    TiffSource(std::string path) : m_path(std::move(path)) {}
    ~TiffSource() override {
        if (m_tiff != nullptr)
            TIFFClose(m_tiff);
    }

    bool open(std::string &error) {
        TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, &m_messages);
        TIFFOpenOptionsSetWarningHandlerExtR(options, keepWarning, &m_messages);
        m_tiff = TIFFOpenExt(m_path.c_str(), "r", options);
        TIFFOpenOptionsFree(options);
        if (m_tiff == nullptr) {
            error = "cannot open the TIFF '" + m_path + "': " + reason();
            return false;
        }
        uint32_t width = 0, height = 0;
        TIFFGetField(m_tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(m_tiff, TIFFTAG_IMAGELENGTH, &height);
        m_width = width;
        m_height = height;
        if (m_width < 1 || m_height < 1) {
            error = "the TIFF '" + m_path + "' holds an empty image";
            return false;
        }
        uint16_t bits = 0, samples = 0, photometric = 0, planar = PLANARCONFIG_CONTIG, compression = 0;
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_COMPRESSION, &compression);
        TIFFGetField(m_tiff, TIFFTAG_PHOTOMETRIC, &photometric);
        m_tiled = TIFFIsTiled(m_tiff) != 0;
        m_samples = samples;
        m_scanlines = !m_tiled && bits == 8 && planar == PLANARCONFIG_CONTIG &&
                      ((photometric == PHOTOMETRIC_RGB && samples == 3) ||
                       (photometric == PHOTOMETRIC_MINISBLACK && samples == 1)) &&
                      compression != COMPRESSION_OJPEG;
        if (!m_scanlines) {
            char why[1024] = "";
            if (!TIFFRGBAImageOK(m_tiff, why)) {
                error = "cannot read the TIFF '" + m_path + "': " + why;
                return false;
            }
            uint32_t tileWidth = 0, tileHeight = 0, rowsPerStrip = 0;
            if (m_tiled) {
                TIFFGetField(m_tiff, TIFFTAG_TILEWIDTH, &tileWidth);
                TIFFGetField(m_tiff, TIFFTAG_TILELENGTH, &tileHeight);
                m_chunkRows = tileHeight;
                m_tileWidth = tileWidth;
            } else {
                TIFFGetFieldDefaulted(m_tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
                m_chunkRows = std::min<uint32_t>(rowsPerStrip, height);
            }
            if (m_chunkRows < 1 || static_cast<double>(m_chunkRows) * static_cast<double>(width) * 4 > kLargestBuffer) {
                error = "cannot read the TIFF '" + m_path + "' in bands: its " +
                        std::string(m_tiled ? "tiles" : "strips") + " of " + std::to_string(m_chunkRows) +
                        " rows are too large to decode one at a time";
                return false;
            }
        }
        m_metadata.kind = "TIFF";
        readResolution();
        readProperties();
        return true;
    }

    bool read(int64_t x, int64_t y, cv::Mat &out, std::string &error) override {
        for (int row = 0; row < out.rows; ++row) {
            const uint32_t line = static_cast<uint32_t>(y + row);
            if (!(m_scanlines ? readScanline(line, error) : readChunkRow(line, error)))
                return false;
            const uint8_t *from = m_row.data() + static_cast<size_t>(x) * 3;
            std::memcpy(out.ptr<uint8_t>(row), from, static_cast<size_t>(out.cols) * 3);
        }
        return true;
    }

private:
    std::string reason() const {
        return !m_messages.last.empty()      ? m_messages.last
               : !m_messages.warning.empty() ? m_messages.warning
                                             : "unreadable (truncated or damaged)";
    }

    std::string place(uint32_t line) const { return "row " + std::to_string(line); }

    // Row `line` into m_row (BGR) through TIFFReadScanline, which reads forwards.
    bool readScanline(uint32_t line, std::string &error) {
        if (m_rowNumber == static_cast<int64_t>(line))
            return true;
        m_scan.resize(static_cast<size_t>(TIFFScanlineSize(m_tiff)));
        m_row.resize(static_cast<size_t>(m_width) * 3);
        m_messages.last.clear();
        m_messages.warning.clear();
        if (TIFFReadScanline(m_tiff, m_scan.data(), line, 0) < 0) {
            error = "cannot read the TIFF '" + m_path + "' at " + place(line) + ": " + reason();
            return false;
        }
        uint8_t *to = m_row.data();
        for (int64_t i = 0; i < m_width; ++i, to += 3) {
            const uint8_t *p = m_scan.data() + i * m_samples;
            to[0] = m_samples == 3 ? p[2] : p[0];
            to[1] = m_samples == 3 ? p[1] : p[0];
            to[2] = p[0];
        }
        m_rowNumber = line;
        return true;
    }

    // Row `line` from the strip or row of tiles holding it, decoded whole
    // through libtiff's RGBA interface and kept while its rows are read.
    bool readChunkRow(uint32_t line, std::string &error) {
        const uint32_t chunk = line / m_chunkRows;
        if (m_chunkNumber != static_cast<int64_t>(chunk)) {
            const uint32_t top = chunk * m_chunkRows;
            const uint32_t rows = std::min<uint32_t>(m_chunkRows, static_cast<uint32_t>(m_height) - top);
            m_chunk.assign(static_cast<size_t>(m_width) * m_chunkRows, 0);
            m_messages.last.clear();
            m_messages.warning.clear();
            if (m_tiled) {
                std::vector<uint32_t> tile(static_cast<size_t>(m_tileWidth) * m_chunkRows);
                for (uint32_t left = 0; left < static_cast<uint32_t>(m_width); left += m_tileWidth) {
                    if (!TIFFReadRGBATile(m_tiff, left, top, tile.data())) {
                        error = "cannot read the TIFF '" + m_path + "' at the tile of rows " + std::to_string(top) +
                                ".., columns " + std::to_string(left) + "..: " + reason();
                        return false;
                    }
                    // Tiles come bottom row first, m_chunkRows high whatever is left.
                    const uint32_t columns = std::min<uint32_t>(m_tileWidth, static_cast<uint32_t>(m_width) - left);
                    for (uint32_t r = 0; r < rows; ++r)
                        std::memcpy(&m_chunk[static_cast<size_t>(r) * m_width + left],
                                    &tile[static_cast<size_t>(m_chunkRows - 1 - r) * m_tileWidth], columns * 4);
                }
            } else {
                std::vector<uint32_t> strip(static_cast<size_t>(m_width) * m_chunkRows);
                if (!TIFFReadRGBAStrip(m_tiff, top, strip.data())) {
                    error = "cannot read the TIFF '" + m_path + "' at the strip of rows " + std::to_string(top) + ".." +
                            std::to_string(top + rows - 1) + ": " + reason();
                    return false;
                }
                for (uint32_t r = 0; r < rows; ++r)  // bottom row first, as many rows as the strip has
                    std::memcpy(&m_chunk[static_cast<size_t>(r) * m_width],
                                &strip[static_cast<size_t>(rows - 1 - r) * m_width], static_cast<size_t>(m_width) * 4);
            }
            m_chunkNumber = chunk;
        }
        m_row.resize(static_cast<size_t>(m_width) * 3);
        compositeOnWhite(&m_chunk[static_cast<size_t>(line - chunk * m_chunkRows) * m_width], static_cast<int>(m_width),
                         m_row.data(), true);
        return true;
    }

    void readResolution() {
        float x = 0, y = 0;
        uint16_t unit = RESUNIT_NONE;
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
        const double micronsPerUnit = unit == RESUNIT_CENTIMETER ? 1e4 : unit == RESUNIT_INCH ? 25400 : 0;
        if (micronsPerUnit > 0 && TIFFGetField(m_tiff, TIFFTAG_XRESOLUTION, &x) && x > 0)
            m_metadata.micronsPerPixelX = micronsPerUnit / x;
        if (micronsPerUnit > 0 && TIFFGetField(m_tiff, TIFFTAG_YRESOLUTION, &y) && y > 0)
            m_metadata.micronsPerPixelY = micronsPerUnit / y;
        const char *description = nullptr;
        if (TIFFGetField(m_tiff, TIFFTAG_IMAGEDESCRIPTION, &description) && description != nullptr) {
            const std::string text = description;
            m_metadata.objectivePower = describedNumber(text, "AppMag");
            if (const std::optional<double> mpp = describedNumber(text, "MPP")) {
                m_metadata.micronsPerPixelX = mpp;
                m_metadata.micronsPerPixelY = mpp;
            }
        }
    }

    // The first page's descriptive tags, under the names OpenSlide gives
    // them for the TIFF files it reads.
    void readProperties() {
        const struct {
            const char *name;
            ttag_t tag;
        } texts[] = {{"tiff.ImageDescription", TIFFTAG_IMAGEDESCRIPTION},
                     {"tiff.Make", TIFFTAG_MAKE},
                     {"tiff.Model", TIFFTAG_MODEL},
                     {"tiff.Software", TIFFTAG_SOFTWARE},
                     {"tiff.DateTime", TIFFTAG_DATETIME},
                     {"tiff.Artist", TIFFTAG_ARTIST},
                     {"tiff.HostComputer", TIFFTAG_HOSTCOMPUTER},
                     {"tiff.Copyright", TIFFTAG_COPYRIGHT},
                     {"tiff.DocumentName", TIFFTAG_DOCUMENTNAME}},
          numbers[] = {{"tiff.XResolution", TIFFTAG_XRESOLUTION},
                       {"tiff.YResolution", TIFFTAG_YRESOLUTION},
                       {"tiff.XPosition", TIFFTAG_XPOSITION},
                       {"tiff.YPosition", TIFFTAG_YPOSITION}};
        auto &properties = m_metadata.properties;
        for (const auto &text : texts) {
            const char *value = nullptr;
            if (TIFFGetField(m_tiff, text.tag, &value) && value != nullptr)
                properties.emplace_back(text.name, value);
        }
        for (const auto &number : numbers) {
            float value = 0;
            if (TIFFGetField(m_tiff, number.tag, &value))
                properties.emplace_back(number.name, numberText(value));
        }
        uint16_t unit = RESUNIT_INCH;
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
        properties.emplace_back("tiff.ResolutionUnit", unit == RESUNIT_NONE         ? "none"
                                                       : unit == RESUNIT_INCH       ? "inch"
                                                       : unit == RESUNIT_CENTIMETER ? "centimeter"
                                                                                    : "unknown");
        m_metadata.scanTime = scanTimeOf(properties);
    }

    // As OpenSlide writes numbers (glib's g_ascii_dtostr): 17 digits, which
    // read back as the same number.
    static std::string numberText(double value) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value);
        return text;
    }

    const std::string m_path;
    TIFF *m_tiff = nullptr;
    Messages m_messages;
    bool m_tiled = false;
    bool m_scanlines = false;
    uint16_t m_samples = 0;
    uint32_t m_chunkRows = 0;
    uint32_t m_tileWidth = 0;
    std::vector<uint8_t> m_scan;
    std::vector<uint8_t> m_row;  // BGR of row m_rowNumber
    int64_t m_rowNumber = -1;
    std::vector<uint32_t> m_chunk;
    int64_t m_chunkNumber = -1;
};

}  // namespace

std::unique_ptr<BandSource> openWithLibtiff(const std::string &path, std::string &error) {
    auto source = std::make_unique<TiffSource>(path);
    if (!source->open(error))
        return nullptr;
    return source;
}

}  // namespace tqf::convert::detail
