// Slides that OpenSlide reads, through its C library.
#include "band_source.h"
#include "jpeg_tiff_tiles.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openslide/openslide.h>

namespace tqf::convert::detail {

namespace {

std::optional<double> numberProperty(openslide_t *slide, const char *name) {
    const char *text = openslide_get_property_value(slide, name);
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || !std::isfinite(value) || value <= 0)
        return std::nullopt;
    return value;
}

class OpenSlideSource : public BandSource {
public:
    OpenSlideSource(openslide_t *slide, std::string path) : m_slide(slide), m_path(std::move(path)) {}
    ~OpenSlideSource() override { openslide_close(m_slide); }

    bool load(const char *vendor, std::string &error) {
        openslide_get_level0_dimensions(m_slide, &m_width, &m_height);
        if (const char *failure = openslide_get_error(m_slide)) {
            error = "cannot open '" + m_path + "' through OpenSlide: " + failure;
            return false;
        }
        if (m_width < 1 || m_height < 1) {
            error = "'" + m_path + "' holds an empty image";
            return false;
        }
        m_metadata.kind = std::string("OpenSlide (") + vendor + ")";
        // The full level of these is a plain tiled JPEG TIFF page, which is
        // read directly: OpenSlide would composite every tile through cairo.
        if (std::strcmp(vendor, "aperio") == 0 || std::strcmp(vendor, "generic-tiff") == 0)
            m_direct = JpegTiffTiles::open(m_path, m_width, m_height);
        if (m_direct && !directReadsAsOpenSlide())
            m_direct.reset();
        m_metadata.copiesTiffLevels = std::strcmp(vendor, "aperio") == 0 || std::strcmp(vendor, "generic-tiff") == 0;
        m_metadata.drawsMissingTiles = std::strcmp(vendor, "aperio") == 0;
        m_metadata.objectivePower = numberProperty(m_slide, OPENSLIDE_PROPERTY_NAME_OBJECTIVE_POWER);
        m_metadata.micronsPerPixelX = numberProperty(m_slide, OPENSLIDE_PROPERTY_NAME_MPP_X);
        m_metadata.micronsPerPixelY = numberProperty(m_slide, OPENSLIDE_PROPERTY_NAME_MPP_Y);
        if (!m_metadata.micronsPerPixelX)
            resolutionFromTiffTags();
        for (const char *const *names = openslide_get_property_names(m_slide); *names != nullptr; ++names) {
            const char *value = openslide_get_property_value(m_slide, *names);
            m_metadata.properties.emplace_back(*names, value != nullptr ? value : "");
        }
        m_metadata.scanTime = scanTimeOf(m_metadata.properties);
        return associated("label", m_metadata.label, error) && associated("macro", m_metadata.macro, error) &&
               associated("thumbnail", m_metadata.thumbnail, error);
    }

    bool readLevel(int64_t levelWidth, int64_t levelHeight, int64_t x, int64_t y, cv::Mat &out) override {
        const int32_t count = openslide_get_level_count(m_slide);
        for (int32_t level = 0; level < count; ++level) {
            int64_t width = 0, height = 0;
            openslide_get_level_dimensions(m_slide, level, &width, &height);
            if (width != levelWidth || height != levelHeight)
                continue;
            // OpenSlide takes the place in full-resolution pixels and divides
            // by the level's downsample: only a place that divides back to a
            // whole pixel is read without resampling.
            const double downsample = openslide_get_level_downsample(m_slide, level);
            const int64_t x0 = std::llround(static_cast<double>(x) * downsample);
            const int64_t y0 = std::llround(static_cast<double>(y) * downsample);
            if (static_cast<double>(x0) / downsample != static_cast<double>(x) ||
                static_cast<double>(y0) / downsample != static_cast<double>(y))
                return false;
            std::vector<uint32_t> argb(static_cast<size_t>(out.cols) * static_cast<size_t>(out.rows));
            openslide_read_region(m_slide, argb.data(), x0, y0, level, out.cols, out.rows);
            if (openslide_get_error(m_slide) != nullptr)
                return false;
            for (int row = 0; row < out.rows; ++row)
                compositeOnWhite(argb.data() + static_cast<size_t>(row) * out.cols, out.cols, out.ptr<uint8_t>(row));
            return true;
        }
        return false;
    }

    bool read(int64_t x, int64_t y, cv::Mat &out, std::string &error) override {
        return m_direct ? m_direct->read(x, y, out, error) : readThroughOpenSlide(x, y, out, error);
    }

    bool readThroughOpenSlide(int64_t x, int64_t y, cv::Mat &out, std::string &error) {
        thread_local std::vector<uint32_t> argb;
        argb.resize(static_cast<size_t>(out.cols) * static_cast<size_t>(out.rows));
        openslide_read_region(m_slide, argb.data(), x, y, 0, out.cols, out.rows);
        if (const char *failure = openslide_get_error(m_slide)) {
            error = "cannot read '" + m_path + "' at rows " + std::to_string(y) + ".." +
                    std::to_string(y + out.rows - 1) + ", columns " + std::to_string(x) + ".." +
                    std::to_string(x + out.cols - 1) + ": " + failure;
            return false;
        }
        for (int row = 0; row < out.rows; ++row)
            compositeOnWhite(argb.data() + static_cast<size_t>(row) * out.cols, out.cols, out.ptr<uint8_t>(row));
        return true;
    }

    bool concurrentReads() const override { return true; }
    int bandRows() const override { return m_direct && m_direct->tileHeight() <= 1024 ? m_direct->tileHeight() : 256; }
    int partAlignment() const override { return m_direct ? m_direct->tileWidth() : 1024; }

private:
    // The direct reading must give OpenSlide's very pixels: checked on the
    // first tile and on one in the middle, else OpenSlide reads them all.
    bool directReadsAsOpenSlide() {
        const int64_t tileWidth = m_direct->tileWidth(), tileHeight = m_direct->tileHeight();
        const int64_t places[][2] = {{0, 0},
                                     {m_width / 2 / tileWidth * tileWidth, m_height / 2 / tileHeight * tileHeight}};
        for (const auto &place : places) {
            const int columns = static_cast<int>(std::min(tileWidth, m_width - place[0]));
            const int rows = static_cast<int>(std::min(tileHeight, m_height - place[1]));
            cv::Mat direct(rows, columns, CV_8UC3), viaOpenSlide(rows, columns, CV_8UC3);
            std::string error;
            if (!readThroughOpenSlide(place[0], place[1], viaOpenSlide, error) ||
                !m_direct->read(place[0], place[1], direct, error) || cv::norm(direct, viaOpenSlide, cv::NORM_INF) != 0)
                return false;
        }
        return true;
    }

    // OpenSlide 3.4 gives generic TIFFs no microns per pixel, but passes
    // their resolution tags on as properties.
    void resolutionFromTiffTags() {
        const char *unit = openslide_get_property_value(m_slide, "tiff.ResolutionUnit");
        const double micronsPerUnit = unit == nullptr                        ? 0
                                      : std::strcmp(unit, "centimeter") == 0 ? 1e4
                                      : std::strcmp(unit, "inch") == 0       ? 25400
                                                                             : 0;
        if (micronsPerUnit == 0)
            return;
        if (const std::optional<double> x = numberProperty(m_slide, "tiff.XResolution"))
            m_metadata.micronsPerPixelX = micronsPerUnit / *x;
        if (const std::optional<double> y = numberProperty(m_slide, "tiff.YResolution"))
            m_metadata.micronsPerPixelY = micronsPerUnit / *y;
    }

    bool associated(const char *name, cv::Mat &image, std::string &error) {
        bool present = false;
        for (const char *const *names = openslide_get_associated_image_names(m_slide); *names != nullptr; ++names)
            present = present || std::strcmp(*names, name) == 0;
        if (!present)
            return true;
        int64_t width = 0, height = 0;
        openslide_get_associated_image_dimensions(m_slide, name, &width, &height);
        // Larger ones would be no label, macro or thumbnail; they are left out rather than read whole.
        if (width < 1 || height < 1 || width > 65536 || height > 65536 || width * height > (int64_t{1} << 28))
            return true;
        std::vector<uint32_t> argb(static_cast<size_t>(width * height));
        openslide_read_associated_image(m_slide, name, argb.data());
        if (const char *failure = openslide_get_error(m_slide)) {
            error = std::string("cannot read the ") + name + " image of '" + m_path + "': " + failure;
            return false;
        }
        image.create(static_cast<int>(height), static_cast<int>(width), CV_8UC3);
        for (int row = 0; row < image.rows; ++row)
            compositeOnWhite(argb.data() + static_cast<size_t>(row) * image.cols, image.cols, image.ptr<uint8_t>(row));
        return true;
    }

    openslide_t *m_slide;
    const std::string m_path;
    std::unique_ptr<JpegTiffTiles> m_direct;
};

}  // namespace

std::unique_ptr<BandSource> openWithOpenSlide(const std::string &path, bool &recognised, std::string &error) {
    const char *vendor = openslide_detect_vendor(path.c_str());
    recognised = vendor != nullptr;
    if (!recognised)
        return nullptr;
    openslide_t *slide = openslide_open(path.c_str());
    if (slide == nullptr) {
        error = "cannot open '" + path + "' through OpenSlide (" + vendor + "): it is not a slide OpenSlide reads";
        return nullptr;
    }
    auto source = std::make_unique<OpenSlideSource>(slide, path);
    if (!source->load(vendor, error))
        return nullptr;
    return source;
}

}  // namespace tqf::convert::detail
