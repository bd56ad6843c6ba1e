// tqfio::slide: opening, levels, properties and region reads.
#include "tqf_slide.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "associated_images.h"
#include "mosaic.h"
#include "region_request.h"
#include "slide_levels.h"
#include "source_properties.h"
#include "thread_pool.h"
#include "tile_cache.h"

namespace tqfio {

namespace {

using core::PixelOrder;

PixelOrder order_of(pixel_format format) {
    switch (format) {
    case pixel_format::bgr:
        return PixelOrder::bgr;
    case pixel_format::rgba:
        return PixelOrder::rgba;
    case pixel_format::rgb:
        break;
    }
    return PixelOrder::rgb;
}

int mat_type(pixel_format format) { return format == pixel_format::rgba ? CV_8UC4 : CV_8UC3; }

// What lies outside the slide: white, or transparent for RGBA.
cv::Scalar outside_value(pixel_format format) {
    return format == pixel_format::rgba ? cv::Scalar::all(0) : cv::Scalar::all(255);
}

[[noreturn]] void refuse(const std::string &what) { throw slide_error(slide_error::kind::invalid_argument, what); }

// A path for a message: quoted, NUL bytes made visible.
std::string quoted(const std::string &path) {
    std::string shown = "'";
    for (char c : path)
        shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return shown + "'";
}

// Why a path cannot be opened as a slide before the library is asked, or
// why the library refused it afterwards.
void check_openable(const std::string &path) {
    const auto fail = [&](slide_error::kind kind, const std::string &cause) {
        throw slide_error(kind, "cannot open slide " + quoted(path) + ": " + cause);
    };
    if (path.empty())
        fail(slide_error::kind::not_found, "the path is empty");
    if (path.find('\0') != std::string::npos)
        fail(slide_error::kind::not_a_slide, "the path holds a NUL byte");
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        const int error = errno;
        fail(error == EACCES ? slide_error::kind::not_readable : slide_error::kind::not_found,
             std::strerror(error));
    }
    if (S_ISDIR(info.st_mode))
        fail(slide_error::kind::is_a_directory, "it is a directory");
    if (!S_ISREG(info.st_mode))
        fail(slide_error::kind::not_a_slide, "it is not a regular file");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        fail(error == EACCES ? slide_error::kind::not_readable : slide_error::kind::not_a_slide,
             std::strerror(error));
    }
    char magic[4] = {};
    const ssize_t got = pread(fd, magic, sizeof magic, 0);
    close(fd);
    const std::string suffix = ".tqf";
    if (path.size() < suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        fail(slide_error::kind::not_a_slide, "the name does not end in \".tqf\"");
    if (got != static_cast<ssize_t>(sizeof magic) || std::memcmp(magic, "TQFH", 4) != 0)
        fail(slide_error::kind::not_a_slide, "it is not a .tqf slide");
}

std::string text_of(const char *field, size_t size) {
    return std::string(field, strnlen(field, size));
}

template <class Value>
std::string text_of(Value value) {
    std::ostringstream out;
    out.precision(9);
    out << value;
    return out.str();
}

slide_properties properties_of(const TQF &record) {
    const TQF_HEADER &h = *record.header;
    slide_properties p;
    p.scan_magnification = h.scanScale;
    p.mpp = h.imageCapRes > 0 && std::isfinite(h.imageCapRes) ? h.imageCapRes : 0;
    p.scan_time = h.scanTime;
    p.scan_duration = std::isfinite(h.scanDuration) ? h.scanDuration : 0;
    p.compression = text_of(h.compressType, sizeof h.compressType);
    p.raw = {
        {"fileFormat", text_of(h.fileFormat, sizeof h.fileFormat)},
        {"version", text_of(h.version)},
        {"imageWidth", text_of(h.imageWidth)},
        {"imageHeight", text_of(h.imageHeight)},
        {"scanScale", text_of(h.scanScale)},
        {"compressType", p.compression},
        {"scanDuration", text_of(h.scanDuration)},
        {"scanTime", text_of(h.scanTime)},
        {"imageCapRes", text_of(h.imageCapRes)},
        {"dataBlockCount", text_of(h.dataBlockCount)},
        {"imageBlockLen", text_of(h.imageBlockLen)},
    };
    p.source = core::source_properties(record);
    return p;
}

// The slide library entered by one thread at a time: its operations are
// not promised to be safe on one handle from several threads.
class LockedTileSource final : public core::TileSource {
public:
    LockedTileSource(TQF *slide, bool read_all, std::mutex &mutex) : m_source(slide, read_all), m_mutex(mutex) {}
    uint32_t fetch(uint32_t address, int32_t x, int32_t y, unsigned char *buffer) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_source.fetch(address, x, y, buffer);
    }

private:
    core::LibraryTileSource m_source;
    std::mutex &m_mutex;
};

// Decoding scratch handed from one read to the next, whichever thread does it.
class ScratchPool {
public:
    std::unique_ptr<core::TileScratch> take() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_free.empty()) {
                auto scratch = std::move(m_free.back());
                m_free.pop_back();
                return scratch;
            }
        }
        return std::make_unique<core::TileScratch>();
    }
    void give_back(std::unique_ptr<core::TileScratch> scratch) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_free.size() < 2 * core::processor_count() + 2)
            m_free.push_back(std::move(scratch));
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<core::TileScratch>> m_free;
};

class ScratchLease {
public:
    explicit ScratchLease(ScratchPool &pool) : m_pool(pool), m_scratch(pool.take()) {}
    ~ScratchLease() { m_pool.give_back(std::move(m_scratch)); }
    core::TileScratch &operator*() { return *m_scratch; }

private:
    ScratchPool &m_pool;
    std::unique_ptr<core::TileScratch> m_scratch;
};

// A box in pixels of a level, half open.
struct Box {
    int64_t x0, y0, x1, y1;
    int64_t width() const { return x1 - x0; }
    int64_t height() const { return y1 - y0; }
    bool empty() const { return x0 >= x1 || y0 >= y1; }
};

Box intersect(const Box &a, const Box &b) {
    return Box{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
}

// Beyond this, any coordinate lies far outside every slide; clamping keeps
// the arithmetic below free of overflow.
constexpr int64_t kFarAway = int64_t(1) << 40;

int64_t clamp_far(int64_t v) { return std::max(-kFarAway, std::min(kFarAway, v)); }

}  // namespace

struct slide::state {
    std::string path;
    slide_options options;
    TQF *handle = nullptr;
    std::vector<core::SlideLevel> levels;
    std::vector<level_info> level_infos;
    slide_properties properties;
    std::mutex library_mutex;
    std::unique_ptr<LockedTileSource> source;
    core::TileCache cache{0};
    std::atomic<bool> cache_on{false};
    ScratchPool scratch;
    std::mutex associated_mutex;
    std::map<std::string, cv::Mat> associated;  // bgr, as exported

    ~state() {
        if (handle)
            yelk_unload_image(handle, options.read_all);
    }

    unsigned parallelism(bool allow_pool) const {
        if (!allow_pool)
            return 1;
        return options.threads == 0 ? core::processor_count() : options.threads;
    }

    // Validates a read's arguments; throws naming the bad one.
    void check_read(int level, int width, int height, const unsigned char *dst, size_t stride,
                    pixel_format format) const {
        if (level < 0 || static_cast<size_t>(level) >= levels.size())
            refuse("level " + std::to_string(level) + " is out of range: the slide has " +
                   std::to_string(levels.size()) + " levels (0 to " + std::to_string(levels.size() - 1) + ")");
        check_size(width, height, dst, stride, format);
    }

    static void check_size(int width, int height, const unsigned char *dst, size_t stride, pixel_format format) {
        const core::RegionSizeCheck size = core::check_region_size(width, height, bytes_per_pixel(format), UINT64_MAX);
        switch (size.status) {
        case core::RegionSizeStatus::ok:
        case core::RegionSizeStatus::too_many_bytes:
            break;
        case core::RegionSizeStatus::negative_width:
            refuse("width " + std::to_string(width) + " is negative");
        case core::RegionSizeStatus::negative_height:
            refuse("height " + std::to_string(height) + " is negative");
        case core::RegionSizeStatus::width_too_large:
            refuse("width " + std::to_string(width) + " is more than " + std::to_string(core::kMaxRegionSide) +
                   " pixels");
        case core::RegionSizeStatus::height_too_large:
            refuse("height " + std::to_string(height) + " is more than " + std::to_string(core::kMaxRegionSide) +
                   " pixels");
        }
        const size_t row = static_cast<size_t>(width) * bytes_per_pixel(format);
        if (width > 0 && height > 0) {
            if (dst == nullptr)
                refuse("no destination buffer");
            if (stride < row)
                refuse("row stride " + std::to_string(stride) + " is less than a row's " + std::to_string(row) +
                       " bytes");
        }
    }

    // Fills `out` (a view of the caller's buffer, `box` of level `index`)
    // with the level's pixels, and what lies outside the level with the
    // outside value.
    void read_box(size_t index, const Box &box, cv::Mat &out, pixel_format format, bool allow_pool) {
        const core::SlideLevel &level = levels[index];
        const Box inside = intersect(box, Box{0, 0, level.width, level.height});
        if (inside.empty()) {
            out.setTo(outside_value(format));
            return;
        }
        if (inside.x0 != box.x0 || inside.y0 != box.y0 || inside.x1 != box.x1 || inside.y1 != box.y1) {
            // Outside parts: the bands above and below, left and right.
            const auto fill = [&](int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
                if (x0 < x1 && y0 < y1)
                    out(cv::Rect(static_cast<int>(x0 - box.x0), static_cast<int>(y0 - box.y0),
                                 static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)))
                        .setTo(outside_value(format));
            };
            fill(box.x0, box.y0, box.x1, inside.y0);
            fill(box.x0, inside.y1, box.x1, box.y1);
            fill(box.x0, inside.y0, inside.x0, inside.y1);
            fill(inside.x1, inside.y0, box.x1, inside.y1);
        }
        cv::Mat target = out(cv::Rect(static_cast<int>(inside.x0 - box.x0), static_cast<int>(inside.y0 - box.y0),
                                      static_cast<int>(inside.width()), static_cast<int>(inside.height())));
        assemble(level, inside, target, format, allow_pool);
    }

    // The mosaic of a box inside the level, split by tiles over the pool.
    void assemble(const core::SlideLevel &level, const Box &inside, cv::Mat &target, pixel_format format,
                  bool allow_pool) {
        const int edge = core::kTileEdge;
        const int64_t first_column = inside.x0 / edge, first_row = inside.y0 / edge;
        const int64_t columns = (inside.x1 + edge - 1) / edge - first_column;
        const int64_t rows = (inside.y1 + edge - 1) / edge - first_row;
        const auto part = [&](int64_t column, int64_t row, int64_t column_count, int64_t row_count) {
            const Box cells{(first_column + column) * edge, (first_row + row) * edge,
                            (first_column + column + column_count) * edge, (first_row + row + row_count) * edge};
            const Box piece = intersect(cells, inside);
            core::MosaicRequest request;
            request.source = source.get();
            request.address = level.address;
            request.x = static_cast<int>(piece.x0);
            request.y = static_cast<int>(piece.y0);
            request.width = static_cast<int>(piece.width());
            request.height = static_cast<int>(piece.height());
            request.order = order_of(format);
            request.cache = cache_on.load(std::memory_order_relaxed) ? &cache : nullptr;
            cv::Mat view = target(cv::Rect(static_cast<int>(piece.x0 - inside.x0), static_cast<int>(piece.y0 - inside.y0),
                                           request.width, request.height));
            ScratchLease scratch(this->scratch);
            core::assemble_mosaic(request, view, *scratch);
        };
        const unsigned threads = parallelism(allow_pool);
        const int64_t tiles = columns * rows;
        if (threads <= 1 || tiles <= 1) {
            part(0, 0, columns, rows);
            return;
        }
        core::parallel_for(static_cast<size_t>(tiles), threads, [&](size_t i) {
            part(static_cast<int64_t>(i) % columns, static_cast<int64_t>(i) / columns, 1, 1);
        });
    }

    void read_region(int64_t x, int64_t y, int index, int width, int height, unsigned char *dst, size_t stride,
                     pixel_format format, bool allow_pool) {
        check_read(index, width, height, dst, stride, format);
        if (width == 0 || height == 0)
            return;
        const core::SlideLevel &level = levels[static_cast<size_t>(index)];
        const int64_t lx = static_cast<int64_t>(std::floor(static_cast<double>(clamp_far(x)) / level.downsample));
        const int64_t ly = static_cast<int64_t>(std::floor(static_cast<double>(clamp_far(y)) / level.downsample));
        cv::Mat out(height, width, mat_type(format), dst, stride);
        read_box(static_cast<size_t>(index), Box{lx, ly, lx + width, ly + height}, out, format, allow_pool);
    }

    void read_region_at(int64_t x, int64_t y, double downsample, int width, int height, unsigned char *dst,
                        size_t stride, pixel_format format, bool allow_pool) {
        if (!core::is_positive_finite(downsample))
            refuse("downsample " + text_of(downsample) + " is not a positive finite number");
        check_size(width, height, dst, stride, format);
        if (width == 0 || height == 0)
            return;
        const int index = best_level(downsample);
        const core::SlideLevel &level = levels[static_cast<size_t>(index)];
        if (std::fabs(downsample - level.downsample) <= 1e-9 * level.downsample) {
            read_region(x, y, index, width, height, dst, stride, format, allow_pool);
            return;
        }
        x = clamp_far(x);
        y = clamp_far(y);
        cv::Mat out(height, width, mat_type(format), dst, stride);
        // Output pixels whose centre falls on the level; the rest is outside.
        const double right = static_cast<double>(level.width) * level.downsample;
        const double bottom = static_cast<double>(level.height) * level.downsample;
        const auto first_inside = [&](double origin) {
            return std::ceil((0 - static_cast<double>(origin)) / downsample - 0.5);
        };
        const auto end_inside = [&](double origin, double extent) {
            return std::ceil((extent - static_cast<double>(origin)) / downsample - 0.5);
        };
        const int64_t u0 = static_cast<int64_t>(std::clamp(first_inside(x), 0.0, double(width)));
        const int64_t u1 = static_cast<int64_t>(std::clamp(end_inside(x, right), 0.0, double(width)));
        const int64_t v0 = static_cast<int64_t>(std::clamp(first_inside(y), 0.0, double(height)));
        const int64_t v1 = static_cast<int64_t>(std::clamp(end_inside(y, bottom), 0.0, double(height)));
        out.setTo(outside_value(format));
        if (u0 >= u1 || v0 >= v1)
            return;
        // The level's pixels under those output pixels.
        const double scale = downsample / level.downsample;
        const auto source_start = [&](double origin, int64_t u) {
            return std::max<int64_t>(0, static_cast<int64_t>(std::floor((origin + u * downsample) / level.downsample)));
        };
        const auto source_end = [&](double origin, int64_t u, int64_t extent) {
            return std::min<int64_t>(extent,
                                     static_cast<int64_t>(std::ceil((origin + u * downsample) / level.downsample)));
        };
        Box source{source_start(x, u0), source_start(y, v0), source_end(x, u1, level.width),
                   source_end(y, v1, level.height)};
        source.x1 = std::max(source.x1, source.x0 + 1);
        source.y1 = std::max(source.y1, source.y0 + 1);
        if (source.width() > core::kMaxRegionSide || source.height() > core::kMaxRegionSide)
            refuse("a region of " + std::to_string(width) + " x " + std::to_string(height) + " at downsample " +
                   text_of(downsample) + " needs more than " + std::to_string(core::kMaxRegionSide) +
                   " pixels on a side of level " + std::to_string(index));
        cv::Mat pixels(static_cast<int>(source.height()), static_cast<int>(source.width()), mat_type(format));
        read_box(static_cast<size_t>(index), source, pixels, format, allow_pool);
        cv::Mat target = out(cv::Rect(static_cast<int>(u0), static_cast<int>(v0), static_cast<int>(u1 - u0),
                                      static_cast<int>(v1 - v0)));
        cv::resize(pixels, target, target.size(), 0, 0, scale > 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    }

    int best_level(double downsample) const {
        if (downsample < levels[0].downsample)
            return 0;
        for (size_t i = 1; i < levels.size(); ++i)
            if (downsample < levels[i].downsample)
                return static_cast<int>(i) - 1;
        return static_cast<int>(levels.size()) - 1;
    }
};

slide::slide(const std::string &path, const slide_options &options) : m_state(std::make_unique<state>()) {
    state &s = *m_state;
    s.path = path;
    s.options = options;
    check_openable(path);
    s.handle = yelk_load_image(path.c_str(), options.read_all ? 1 : 0);
    const auto damaged = [&](const std::string &cause) {
        throw slide_error(slide_error::kind::damaged, "cannot open slide " + quoted(path) + ": " + cause);
    };
    if (s.handle == nullptr)
        damaged("the slide is damaged or of a version this library does not read");
    const TQF_HEADER *header = s.handle->header;
    if (header == nullptr)
        damaged("the slide has no header");
    if (header->scanScale <= 0)
        damaged("the scan magnification " + std::to_string(header->scanScale) + " is not positive");
    if (header->imageWidth < 1 || header->imageHeight < 1)
        damaged("the size " + std::to_string(header->imageWidth) + " x " + std::to_string(header->imageHeight) +
                " is empty");
    s.levels = core::slide_levels(*s.handle);
    for (const core::SlideLevel &level : s.levels)
        s.level_infos.push_back(level_info{level.magnification, level.downsample, level.width, level.height,
                                           level.tile_width, level.tile_height});
    s.properties = properties_of(*s.handle);
    s.source = std::make_unique<LockedTileSource>(s.handle, options.read_all, s.library_mutex);
    s.cache.set_capacity(options.cache_bytes);
    s.cache_on = options.cache_bytes > 0;
}

slide::~slide() = default;

const std::string &slide::path() const { return m_state->path; }
const slide_options &slide::options() const { return m_state->options; }
int64_t slide::width() const { return m_state->levels[0].width; }
int64_t slide::height() const { return m_state->levels[0].height; }
const std::vector<level_info> &slide::levels() const { return m_state->level_infos; }
const slide_properties &slide::properties() const { return m_state->properties; }

int slide::best_level_for_downsample(double downsample) const { return m_state->best_level(downsample); }

void slide::read_region(int64_t x, int64_t y, int level, int width, int height, unsigned char *dst, size_t stride,
                        pixel_format format) const {
    m_state->read_region(x, y, level, width, height, dst, stride, format, true);
}

void slide::read_region_at(int64_t x, int64_t y, double downsample, int width, int height, unsigned char *dst,
                           size_t stride, pixel_format format) const {
    m_state->read_region_at(x, y, downsample, width, height, dst, stride, format, true);
}

std::vector<std::string> slide::associated_image_names() const {
    std::vector<std::string> names;
    const TQF &record = *m_state->handle;
    // A library that offers no image headers may still hold the images:
    // then both names are listed and the export tells.
    if (record.labelHeader == nullptr || record.labelHeader->exist)
        names.push_back("label");
    if (record.previewHeader == nullptr || record.previewHeader->exist)
        names.push_back("macro");
    return names;
}

image slide::associated_image(const std::string &name, pixel_format format) const {
    state &s = *m_state;
    const std::vector<std::string> names = associated_image_names();
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        std::string known;
        for (const std::string &n : names)
            known += (known.empty() ? "" : ", ") + n;
        refuse("the slide has no associated image '" + name + "' (it has: " + (known.empty() ? "none" : known) +
               ")");
    }
    cv::Mat bgr;
    {
        std::lock_guard<std::mutex> lock(s.associated_mutex);
        auto found = s.associated.find(name);
        if (found == s.associated.end()) {
            try {
                std::lock_guard<std::mutex> library(s.library_mutex);
                bgr = core::export_associated_image(
                    s.handle, name == "label" ? core::AssociatedImage::label : core::AssociatedImage::preview);
            } catch (const std::runtime_error &e) {
                throw slide_error(slide_error::kind::io, "cannot read the " + name + " image of " + quoted(s.path) +
                                                             ": " + e.what());
            }
            if (bgr.empty())
                throw slide_error(slide_error::kind::io, "the " + name + " image of " + quoted(s.path) +
                                                             " could not be exported or decoded");
            found = s.associated.emplace(name, bgr).first;
        }
        bgr = found->second;
    }
    image result;
    result.width = bgr.cols;
    result.height = bgr.rows;
    result.format = format;
    result.pixels.resize(static_cast<size_t>(bgr.cols) * bgr.rows * bytes_per_pixel(format));
    cv::Mat out(bgr.rows, bgr.cols, mat_type(format), result.pixels.data());
    core::convert_pixels(bgr, PixelOrder::bgr, out, order_of(format));
    return result;
}

image slide::thumbnail(int max_width, int max_height, pixel_format format) const {
    if (max_width < 1 || max_height < 1)
        refuse("a thumbnail of " + std::to_string(max_width) + " x " + std::to_string(max_height) +
               " pixels has no size");
    const double w = static_cast<double>(width()), h = static_cast<double>(height());
    const double downsample = std::max(w / max_width, h / max_height);
    image result;
    result.width = std::max(1, static_cast<int>(std::lround(w / downsample)));
    result.height = std::max(1, static_cast<int>(std::lround(h / downsample)));
    result.width = std::min(result.width, max_width);
    result.height = std::min(result.height, max_height);
    result.format = format;
    const size_t stride = static_cast<size_t>(result.width) * bytes_per_pixel(format);
    result.pixels.resize(stride * result.height);
    read_region_at(0, 0, downsample, result.width, result.height, result.pixels.data(), stride, format);
    return result;
}

void slide::set_cache_bytes(size_t bytes) {
    m_state->cache.set_capacity(bytes);
    m_state->cache_on = bytes > 0;
}

size_t slide::cache_bytes() const { return m_state->cache.capacity(); }
size_t slide::cache_used_bytes() const { return m_state->cache.size_bytes(); }

void slide::read_region_unpooled(int64_t x, int64_t y, int level, int width, int height, unsigned char *dst,
                                 size_t stride, pixel_format format) const {
    m_state->read_region(x, y, level, width, height, dst, stride, format, false);
}

}  // namespace tqfio
