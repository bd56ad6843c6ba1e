#include "tqf_slide_handle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace tqf::openslide {

namespace {

// A number as tqfslide writes it: integers without a decimal point, others
// as printf's %g.
std::string number_text(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9e18)
        return std::to_string(static_cast<long long>(value));
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string quoted(const std::string &path) { return "'" + path + "'"; }

// The longest side handed to tqfio::slide in one read; larger regions (far
// larger than any slide) are read in pieces.
constexpr int64_t kPieceSide = int64_t(1) << 26;

int64_t saturating_add(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

}  // namespace

bool is_tqf_slide_file(const char *path) {
    const size_t length = std::strlen(path);
    if (length < 4 || std::strcmp(path + length - 4, ".tqf") != 0)
        return false;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    char magic[4] = {};
    const ssize_t got = pread(fd, magic, sizeof magic, 0);
    close(fd);
    return got == static_cast<ssize_t>(sizeof magic) && std::memcmp(magic, "TQFH", 4) == 0;
}

std::map<std::string, std::string> slide_properties(const tqfio::slide &slide) {
    const tqfio::slide_properties &facts = slide.properties();
    std::map<std::string, std::string> p;
    p["openslide.vendor"] = "tqf";
    p["openslide.objective-power"] = number_text(facts.scan_magnification);
    p["openslide.background-color"] = "FFFFFF";
    p["openslide.level-count"] = std::to_string(slide.levels().size());
    if (facts.mpp > 0)
        p["openslide.mpp-x"] = p["openslide.mpp-y"] = number_text(facts.mpp);
    for (size_t i = 0; i < slide.levels().size(); ++i) {
        const tqfio::level_info &level = slide.levels()[i];
        const std::string key = "openslide.level[" + std::to_string(i) + "].";
        p[key + "width"] = std::to_string(level.width);
        p[key + "height"] = std::to_string(level.height);
        p[key + "downsample"] = number_text(level.downsample);
        p[key + "tile-width"] = std::to_string(level.tile_width);
        p[key + "tile-height"] = std::to_string(level.tile_height);
    }
    for (const auto &[name, value] : facts.raw)
        p["tqf." + name] = value;
    // What the slide was converted from, as tqfslide names it.
    for (const auto &[name, value] : facts.source)
        p["source." + name] = value;
    return p;
}

TqfSlideHandle::TqfSlideHandle(const char *path) : m_path(path) {
    try {
        m_slide = std::make_unique<tqfio::slide>(m_path);
        m_properties = slide_properties(*m_slide);
        for (const std::string &name : m_slide->associated_image_names()) {
            m_images.push_back(std::make_unique<AssociatedImage>());
            m_images.back()->name = name;
        }
        std::sort(m_images.begin(), m_images.end(), [](const auto &a, const auto &b) { return a->name < b->name; });
    } catch (const std::exception &e) {
        m_slide.reset();
        m_properties.clear();
        m_images.clear();
        const std::string what = e.what();
        set_error(what.find(quoted(m_path)) == std::string::npos ? "cannot open slide " + quoted(m_path) + ": " + what
                                                                 : what);
    }
    for (const auto &entry : m_properties)
        m_property_names.push_back(entry.first.c_str());
    m_property_names.push_back(nullptr);
    for (const auto &image : m_images)
        m_image_names.push_back(image->name.c_str());
    m_image_names.push_back(nullptr);
}

// The error kept when even its message cannot be allocated.
static std::string *out_of_memory() {
    static std::string *message = new std::string("out of memory");
    return message;
}

TqfSlideHandle::~TqfSlideHandle() {
    if (m_error.load() != out_of_memory())
        delete m_error.load();
}

const char *TqfSlideHandle::error() const {
    const std::string *error = m_error.load(std::memory_order_acquire);
    return error ? error->c_str() : nullptr;
}

void TqfSlideHandle::set_error(const std::string &message) noexcept {
    std::string *fresh;
    try {
        fresh = new std::string(message.empty() ? "unknown error" : message);
    } catch (const std::bad_alloc &) {
        fresh = out_of_memory();
    }
    std::string *expected = nullptr;
    if (!m_error.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel) && fresh != out_of_memory())
        delete fresh;  // the first error stays
}

int32_t TqfSlideHandle::level_count() const { return static_cast<int32_t>(m_slide->levels().size()); }

void TqfSlideHandle::level_dimensions(int32_t level, int64_t *w, int64_t *h) const {
    if (level < 0 || level >= level_count()) {
        *w = *h = -1;
        return;
    }
    *w = m_slide->levels()[level].width;
    *h = m_slide->levels()[level].height;
}

double TqfSlideHandle::level_downsample(int32_t level) const {
    if (level < 0 || level >= level_count())
        return -1.0;
    return m_slide->levels()[level].downsample;
}

int32_t TqfSlideHandle::best_level_for_downsample(double downsample) const {
    // OpenSlide's rule, NaN included: level 0 below the first downsample.
    if (!(downsample >= m_slide->levels()[0].downsample))
        return 0;
    return m_slide->best_level_for_downsample(downsample);
}

void TqfSlideHandle::read_region(uint32_t *dest, int64_t x, int64_t y, int32_t level, int64_t w, int64_t h) {
    const size_t bytes = static_cast<size_t>(w) * static_cast<size_t>(h) * 4;
    if (level < 0 || level >= level_count()) {
        std::memset(dest, 0, bytes);  // OpenSlide 3 and 4: a level the slide lacks reads transparent
        return;
    }
    // Decoded by the core as BGRA straight into the caller's buffer: on a
    // little-endian machine that is ARGB, and premultiplied already, since
    // the slide is opaque and what lies outside it is 0.
    const double downsample = m_slide->levels()[level].downsample;
    const size_t stride = static_cast<size_t>(w) * 4;
    try {
        for (int64_t top = 0; top < h; top += kPieceSide) {
            for (int64_t left = 0; left < w; left += kPieceSide) {
                const int piece_w = static_cast<int>(std::min(kPieceSide, w - left));
                const int piece_h = static_cast<int>(std::min(kPieceSide, h - top));
                const int64_t piece_x = saturating_add(x, static_cast<int64_t>(left * downsample));
                const int64_t piece_y = saturating_add(y, static_cast<int64_t>(top * downsample));
                auto *at = reinterpret_cast<unsigned char *>(dest) + static_cast<size_t>(top) * stride +
                           static_cast<size_t>(left) * 4;
                m_slide->read_region(piece_x, piece_y, level, piece_w, piece_h, at, stride, tqfio::pixel_format::bgra);
            }
        }
    } catch (const std::bad_alloc &) {
        std::memset(dest, 0, bytes);
        set_error("cannot read a region of " + quoted(m_path) + ": out of memory");
    } catch (const std::exception &e) {
        std::memset(dest, 0, bytes);
        set_error("cannot read the region of " + std::to_string(w) + " x " + std::to_string(h) + " pixels at (" +
                  std::to_string(x) + ", " + std::to_string(y) + ") of level " + std::to_string(level) + " of " +
                  quoted(m_path) + ": " + e.what());
    }
}

const char *TqfSlideHandle::property_value(const char *name) const {
    const auto found = m_properties.find(name);
    return found == m_properties.end() ? nullptr : found->second.c_str();
}

bool TqfSlideHandle::associated_image(const char *name, int64_t *w, int64_t *h,
                                      const std::vector<unsigned char> **argb) {
    for (const auto &image : m_images) {
        if (image->name != name)
            continue;
        std::lock_guard<std::mutex> lock(m_images_mutex);
        if (!image->tried) {
            image->tried = true;
            try {
                image->pixels = m_slide->associated_image(image->name, tqfio::pixel_format::bgra);
            } catch (const std::exception &e) {
                set_error(e.what());
            }
        }
        if (image->pixels.pixels.empty())
            return false;
        *w = image->pixels.width;
        *h = image->pixels.height;
        if (argb)
            *argb = &image->pixels.pixels;
        return true;
    }
    return false;
}

void TqfSlideHandle::set_cache_bytes(size_t bytes) { m_slide->set_cache_bytes(bytes); }

}  // namespace tqf::openslide
