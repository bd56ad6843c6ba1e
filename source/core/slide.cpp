// tqfio::slide: levels, properties and region reads of an opened slide
// file (opening: slide_file.cpp; the arithmetic of reads: region_geometry).
#include "tqf_slide.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "associated_images.h"
#include "mosaic.h"
#include "region_geometry.h"
#include "region_request.h"
#include "slide_file.h"
#include "source_properties.h"
#include "thread_pool.h"
#include "tile_cache.h"
#include "tile_scratch.h"

namespace tqfio {

namespace {

using core::Box;
using core::PixelOrder;

PixelOrder order_of(pixel_format format) {
    switch (format) {
    case pixel_format::bgr:
        return PixelOrder::bgr;
    case pixel_format::rgba:
        return PixelOrder::rgba;
    case pixel_format::bgra:
        return PixelOrder::bgra;
    case pixel_format::rgb:
        break;
    }
    return PixelOrder::rgb;
}

int mat_type(pixel_format format) { return bytes_per_pixel(format) == 4 ? CV_8UC4 : CV_8UC3; }

// What lies outside the slide: white, or transparent with alpha.
cv::Scalar outside_value(pixel_format format) {
    return bytes_per_pixel(format) == 4 ? cv::Scalar::all(0) : cv::Scalar::all(255);
}

[[noreturn]] void refuse(const std::string &what) { throw slide_error(slide_error::kind::invalid_argument, what); }

std::string text_of(double value) {
    std::ostringstream out;
    out.precision(9);
    out << value;
    return out.str();
}

cv::Rect rect_in(const Box &part, const Box &frame) {
    return cv::Rect(static_cast<int>(part.x0 - frame.x0), static_cast<int>(part.y0 - frame.y0),
                    static_cast<int>(part.width()), static_cast<int>(part.height()));
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

}  // namespace

struct slide::state {
    slide_options options;
    core::SlideFile file;
    std::vector<level_info> level_infos;
    slide_properties properties;
    std::mutex library_mutex;
    LockedTileSource source;
    core::TileCache cache{0};
    std::atomic<bool> cache_on{false};
    std::mutex associated_mutex;
    std::map<std::string, cv::Mat> associated;  // bgr, as exported

    state(const std::string &path, const slide_options &options)
        : options(options), file(path, options.read_all), properties(file.properties()),
          source(file.handle(), options.read_all, library_mutex) {
        for (const core::SlideLevel &level : file.levels())
            level_infos.push_back(level_info{level.magnification, level.downsample, level.width, level.height,
                                             level.tile_width, level.tile_height});
        cache.set_capacity(options.cache_bytes);
        cache_on = options.cache_bytes > 0;
    }

    const std::vector<core::SlideLevel> &levels() const { return file.levels(); }

    unsigned parallelism(bool allow_pool) const {
        if (!allow_pool)
            return 1;
        return options.threads == 0 ? core::processor_count() : options.threads;
    }

    // Validates a read's arguments; throws naming the bad one.
    void check_read(int level, int width, int height, const unsigned char *dst, size_t stride,
                    pixel_format format) const {
        const size_t count = levels().size();
        if (level < 0 || static_cast<size_t>(level) >= count)
            refuse("level " + std::to_string(level) + " is out of range: the slide has " + std::to_string(count) +
                   " levels (0 to " + std::to_string(count - 1) + ")");
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
        const core::SlideLevel &level = levels()[index];
        const Box inside = box & Box{0, 0, level.width, level.height};
        if (inside.empty()) {
            out.setTo(outside_value(format));
            return;
        }
        if (inside != box)
            for (const Box &band : core::outside_bands(box, inside))
                if (!band.empty())
                    out(rect_in(band, box)).setTo(outside_value(format));
        cv::Mat target = out(rect_in(inside, box));
        assemble(level, inside, target, format, allow_pool);
    }

    // The mosaic of a box inside the level, split by tiles over the pool.
    void assemble(const core::SlideLevel &level, const Box &inside, cv::Mat &target, pixel_format format,
                  bool allow_pool) {
        const core::TileSpan span = core::tiles_covering(inside, core::kTileEdge);
        const auto part = [&](int64_t column, int64_t row, int64_t column_count, int64_t row_count) {
            const Box piece = span.cells(column, row, column_count, row_count) & inside;
            core::CellRequest request;
            request.source = &source;
            request.address = level.address;
            request.x = static_cast<int>(piece.x0);
            request.y = static_cast<int>(piece.y0);
            request.width = static_cast<int>(piece.width());
            request.height = static_cast<int>(piece.height());
            request.order = order_of(format);
            request.cache = cache_on.load(std::memory_order_relaxed) ? &cache : nullptr;
            cv::Mat view = target(rect_in(piece, inside));
            core::ScratchLease scratch(core::shared_scratch_pool());
            core::assemble_in_cells(request, view, *scratch);
        };
        const unsigned threads = parallelism(allow_pool);
        const int64_t tiles = span.columns * span.rows;
        if (threads <= 1 || tiles <= 1) {
            part(0, 0, span.columns, span.rows);
            return;
        }
        core::parallel_for(static_cast<size_t>(tiles), threads, [&](size_t i) {
            part(static_cast<int64_t>(i) % span.columns, static_cast<int64_t>(i) / span.columns, 1, 1);
        });
    }

    void read_region(int64_t x, int64_t y, int index, int width, int height, unsigned char *dst, size_t stride,
                     pixel_format format, bool allow_pool) {
        check_read(index, width, height, dst, stride, format);
        if (width == 0 || height == 0)
            return;
        const core::SlideLevel &level = levels()[static_cast<size_t>(index)];
        cv::Mat out(height, width, mat_type(format), dst, stride);
        read_box(static_cast<size_t>(index), core::level_box(x, y, level.downsample, width, height), out, format,
                 allow_pool);
    }

    void read_region_at(int64_t x, int64_t y, double downsample, int width, int height, unsigned char *dst,
                        size_t stride, pixel_format format, bool allow_pool) {
        if (!core::is_positive_finite(downsample))
            refuse("downsample " + text_of(downsample) + " is not a positive finite number");
        check_size(width, height, dst, stride, format);
        if (width == 0 || height == 0)
            return;
        const int index = core::best_level(levels(), downsample);
        const core::SlideLevel &level = levels()[static_cast<size_t>(index)];
        if (core::is_level_downsample(downsample, level.downsample)) {
            read_region(x, y, index, width, height, dst, stride, format, allow_pool);
            return;
        }
        cv::Mat out(height, width, mat_type(format), dst, stride);
        out.setTo(outside_value(format));
        const core::ScaledRead read = core::scaled_read(x, y, downsample, width, height, level.downsample, level.width,
                                                        level.height);
        if (read.output.empty())
            return;
        if (read.source.width() > core::kMaxRegionSide || read.source.height() > core::kMaxRegionSide)
            refuse("a region of " + std::to_string(width) + " x " + std::to_string(height) + " at downsample " +
                   text_of(downsample) + " needs more than " + std::to_string(core::kMaxRegionSide) +
                   " pixels on a side of level " + std::to_string(index));
        cv::Mat pixels(static_cast<int>(read.source.height()), static_cast<int>(read.source.width()), mat_type(format));
        read_box(static_cast<size_t>(index), read.source, pixels, format, allow_pool);
        cv::Mat target = out(rect_in(read.output, Box{0, 0, width, height}));
        const double scale = downsample / level.downsample;
        cv::resize(pixels, target, target.size(), 0, 0, scale > 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
    }
};

slide::slide(const std::string &path, const slide_options &options) : m_state(std::make_unique<state>(path, options)) {}

slide::~slide() = default;

const std::string &slide::path() const { return m_state->file.path(); }
const slide_options &slide::options() const { return m_state->options; }
int64_t slide::width() const { return m_state->levels()[0].width; }
int64_t slide::height() const { return m_state->levels()[0].height; }
const std::vector<level_info> &slide::levels() const { return m_state->level_infos; }
const slide_properties &slide::properties() const { return m_state->properties; }

int slide::best_level_for_downsample(double downsample) const {
    return core::best_level(m_state->levels(), downsample);
}

void slide::read_region(int64_t x, int64_t y, int level, int width, int height, unsigned char *dst, size_t stride,
                        pixel_format format) const {
    m_state->read_region(x, y, level, width, height, dst, stride, format, true);
}

void slide::read_region_at(int64_t x, int64_t y, double downsample, int width, int height, unsigned char *dst,
                           size_t stride, pixel_format format) const {
    m_state->read_region_at(x, y, downsample, width, height, dst, stride, format, true);
}

static_assert(slide::tile_stream_capacity == core::kTileStreamCapacity, "one tile stream buffer size");

size_t slide::read_tile_stream(int level, int64_t column, int64_t row, unsigned char *buffer) const {
    state &s = *m_state;
    if (level < 0 || static_cast<size_t>(level) >= s.levels().size())
        refuse("level " + std::to_string(level) + " is out of range: the slide has " +
               std::to_string(s.levels().size()) + " levels (0 to " + std::to_string(s.levels().size() - 1) + ")");
    if (buffer == nullptr)
        refuse("no buffer for the tile stream");
    const core::SlideLevel &l = s.levels()[static_cast<size_t>(level)];
    const int64_t columns = (l.width + l.tile_width - 1) / l.tile_width;
    const int64_t rows = (l.height + l.tile_height - 1) / l.tile_height;
    if (column < 0 || row < 0 || column >= columns || row >= rows)
        return 0;
    const size_t length = s.source.fetch(l.address, static_cast<int32_t>(column * l.tile_width),
                                         static_cast<int32_t>(row * l.tile_height), buffer);
    return std::min(length, core::kTileStreamCapacity);
}

std::vector<std::string> slide::associated_image_names() const {
    std::vector<std::string> names;
    const TQF &record = *m_state->file.handle();
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
        refuse("the slide has no associated image '" + name + "' (it has: " + (known.empty() ? "none" : known) + ")");
    }
    cv::Mat bgr;
    {
        std::lock_guard<std::mutex> lock(s.associated_mutex);
        auto found = s.associated.find(name);
        if (found == s.associated.end()) {
            try {
                std::lock_guard<std::mutex> library(s.library_mutex);
                bgr = core::export_associated_image(s.file.handle(), name == "label" ? core::AssociatedImage::label
                                                                                     : core::AssociatedImage::preview);
            } catch (const std::runtime_error &e) {
                throw slide_error(slide_error::kind::io, "cannot read the " + name + " image of " +
                                                             core::quoted(s.file.path()) + ": " + e.what());
            }
            if (bgr.empty())
                throw slide_error(slide_error::kind::io, "the " + name + " image of " + core::quoted(s.file.path()) +
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
    const core::FittedSize size = core::fit_within(width(), height(), max_width, max_height);
    image result;
    result.width = size.width;
    result.height = size.height;
    result.format = format;
    const size_t stride = static_cast<size_t>(result.width) * bytes_per_pixel(format);
    result.pixels.resize(stride * result.height);
    read_region_at(0, 0, size.downsample, result.width, result.height, result.pixels.data(), stride, format);
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
