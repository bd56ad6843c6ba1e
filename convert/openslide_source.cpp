// Slides that OpenSlide reads, through its C library.
#include "band_source.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openslide/openslide.h>

namespace tqf::convert::detail {

namespace {

std::optional<double> numberProperty(openslide_t *slide, const char *name)
{
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

    bool load(const char *vendor, std::string &error)
    {
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
        m_metadata.objectivePower = numberProperty(m_slide, OPENSLIDE_PROPERTY_NAME_OBJECTIVE_POWER);
        m_metadata.micronsPerPixelX = numberProperty(m_slide, OPENSLIDE_PROPERTY_NAME_MPP_X);
        m_metadata.micronsPerPixelY = numberProperty(m_slide, OPENSLIDE_PROPERTY_NAME_MPP_Y);
        if (!m_metadata.micronsPerPixelX)
            resolutionFromTiffTags();
        return associated("label", m_metadata.label, error) && associated("macro", m_metadata.macro, error);
    }

    bool read(int64_t x, int64_t y, cv::Mat &out, std::string &error) override
    {
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

private:
    // OpenSlide 3.4 gives generic TIFFs no microns per pixel, but passes
    // their resolution tags on as properties.
    void resolutionFromTiffTags()
    {
        const char *unit = openslide_get_property_value(m_slide, "tiff.ResolutionUnit");
        const double micronsPerUnit = unit == nullptr                         ? 0
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

    bool associated(const char *name, cv::Mat &image, std::string &error)
    {
        bool present = false;
        for (const char *const *names = openslide_get_associated_image_names(m_slide); *names != nullptr; ++names)
            present = present || std::strcmp(*names, name) == 0;
        if (!present)
            return true;
        int64_t width = 0, height = 0;
        openslide_get_associated_image_dimensions(m_slide, name, &width, &height);
        // Larger ones would be no label; they are left out rather than read whole.
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
};

}  // namespace

std::unique_ptr<BandSource> openWithOpenSlide(const std::string &path, bool &recognised, std::string &error)
{
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
