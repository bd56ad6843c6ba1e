// tqfio::slide: a ".tqf" slide opened for reading from any number of threads.
//
//     tqfio::slide slide("scan.tqf");
//     const tqfio::level_info &level = slide.levels()[1];
//     std::vector<unsigned char> rgb(512 * 512 * 3);
//     slide.read_region(10000, 8000, 1, 512, 512, rgb.data(), 512 * 3);
//
// Coordinates: x and y are pixels of full resolution (level 0), as in
// OpenSlide and cuCIM, whatever the level read; width and height are pixels
// of the level read. Parts of a region outside the slide are white (RGB and
// BGR) or transparent (RGBA and BGRA: all four bytes 0); inside it alpha is
// 255. BGRA is OpenSlide's premultiplied ARGB as 32-bit words on a
// little-endian machine.
//
// Errors: opening throws slide_error, whose message names the path and the
// cause; reads throw slide_error (kind invalid_argument) for arguments that
// cannot be served and never write outside the caller's buffer. Tiles that
// are missing or do not decode are white, as in the original reader.
//
// Threads: every const method may be called from many threads at once. The
// slide library is entered by one thread at a time per slide; decoding, the
// expensive part, runs in parallel. Large regions are decoded on a pool of
// threads; decoded tiles are kept in a cache shared by all readers of the
// slide, within a byte budget.
#ifndef TQF_SLIDE_H
#define TQF_SLIDE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#define TQFIO_SLIDE_EXPORT __attribute__((visibility("default")))

namespace tqfio {

class TQFIO_SLIDE_EXPORT slide_error : public std::runtime_error {
public:
    enum class kind {
        not_found,     // no file at the path
        not_readable,  // the file exists but cannot be read (permissions)
        is_a_directory,
        not_a_slide,       // not a .tqf slide (name, file type or contents)
        damaged,           // a .tqf slide the slide library refuses
        invalid_argument,  // a read the slide cannot serve (level, size, scale ...)
        io,                // an associated image could not be exported or read
    };
    slide_error(kind what, const std::string &message) : std::runtime_error(message), m_kind(what) {}
    kind which() const { return m_kind; }

private:
    kind m_kind;
};

enum class pixel_format { rgb, bgr, rgba, bgra };

constexpr int bytes_per_pixel(pixel_format format) {
    return format == pixel_format::rgba || format == pixel_format::bgra ? 4 : 3;
}

// One stored level, as the slide's tile records describe it.
struct level_info {
    double magnification;  // exact: 2.5, not 2
    double downsample;     // full-resolution pixels per pixel of this level
    int64_t width;
    int64_t height;
    int tile_width;
    int tile_height;
};

struct slide_options {
    // Decoded tiles kept for this slide, in bytes; 0 turns the cache off.
    size_t cache_bytes = 64u << 20;
    // Threads that decode one large region, the caller's included; 0 for
    // one per processor core.
    unsigned threads = 0;
    // Load the whole slide file into memory when opening.
    bool read_all = false;
};

struct slide_properties {
    double scan_magnification = 0;
    double mpp = 0;            // microns per pixel at full resolution; 0 when the slide records none
    int64_t scan_time = 0;     // seconds since 1970-01-01 UTC, as recorded
    double scan_duration = 0;  // seconds
    std::string compression;   // e.g. "JPEG"
    // Every header value under its field name, as text.
    std::vector<std::pair<std::string, std::string>> raw;
    // A converted slide's source's own properties (a scanner's, as OpenSlide
    // or libtiff named them: "aperio.AppMag", "tiff.Make", ...), from the
    // slide library's source-properties record; valid UTF-8, invalid bytes
    // replaced by U+FFFD. Empty when the slide or the library has none.
    std::vector<std::pair<std::string, std::string>> source;
};

// An image that belongs to the caller: rows of width x bytes_per_pixel.
struct image {
    int width = 0;
    int height = 0;
    pixel_format format = pixel_format::rgb;
    std::vector<unsigned char> pixels;
};

class TQFIO_SLIDE_EXPORT slide {
public:
    explicit slide(const std::string &path, const slide_options &options = {});
    ~slide();
    slide(const slide &) = delete;
    slide &operator=(const slide &) = delete;

    const std::string &path() const;
    const slide_options &options() const;
    int64_t width() const;  // full resolution
    int64_t height() const;
    const std::vector<level_info> &levels() const;  // full resolution first
    const slide_properties &properties() const;

    // OpenSlide's rule: the level with the largest downsample not above
    // `downsample`, level 0 when none is.
    int best_level_for_downsample(double downsample) const;

    // Reads width x height pixels of `level` whose top-left corner lies at
    // (x, y) of full resolution into `dst`, rows `stride` bytes apart
    // (at least width x bytes per pixel).
    void read_region(int64_t x, int64_t y, int level, int width, int height, unsigned char *dst, size_t stride,
                     pixel_format format = pixel_format::rgb) const;

    // The same at any downsample (full-resolution pixels per output pixel):
    // read from the finest level not finer than needed and resized, by area
    // averaging when shrinking. A downsample of a stored level reads it as
    // read_region does.
    void read_region_at(int64_t x, int64_t y, double downsample, int width, int height, unsigned char *dst,
                        size_t stride, pixel_format format = pixel_format::rgb) const;

    // The encoded stream of the stored tile (column, row) of `level`, as the
    // slide library hands it out, undecoded: copied to `buffer`, which must
    // hold tile_stream_capacity bytes, and its length returned; 0 where no
    // tile is stored (a column or row outside the level included). Tiles lie
    // on a grid of level_info::tile_width x tile_height pixels from the
    // level's top-left corner. Throws slide_error (invalid_argument) for a
    // level out of range or no buffer.
    static constexpr size_t tile_stream_capacity = 196608;
    size_t read_tile_stream(int level, int64_t column, int64_t row, unsigned char *buffer) const;

    // Names of the associated images the slide holds ("label", "macro").
    std::vector<std::string> associated_image_names() const;
    // Throws slide_error (invalid_argument) for a name the slide does not hold.
    image associated_image(const std::string &name, pixel_format format = pixel_format::rgb) const;
    // The whole slide fitted into max_width x max_height, aspect kept.
    image thumbnail(int max_width, int max_height, pixel_format format = pixel_format::rgb) const;

    // The decoded-tile cache: its budget and what it holds now.
    void set_cache_bytes(size_t bytes);
    size_t cache_bytes() const;
    size_t cache_used_bytes() const;

    struct state;

private:
    friend class region_batch;
    // read_region on the calling thread alone, for workers of their own.
    void read_region_unpooled(int64_t x, int64_t y, int level, int width, int height, unsigned char *dst, size_t stride,
                              pixel_format format) const;

    std::unique_ptr<state> m_state;
};

// Many regions of one size at one level, read on worker threads of their
// own and handed out in the order of the locations, `batch` regions at a
// time. Workers run at most `prefetch` batches ahead of the consumer, so
// memory stays bounded however many locations there are.
class TQFIO_SLIDE_EXPORT region_batch {
public:
    region_batch(const slide &source, std::vector<std::pair<int64_t, int64_t>> locations, int level, int width,
                 int height, pixel_format format = pixel_format::rgb, unsigned workers = 0, size_t batch = 1,
                 size_t prefetch = 0);
    ~region_batch();  // stops the workers, discarding what was not taken
    region_batch(const region_batch &) = delete;
    region_batch &operator=(const region_batch &) = delete;

    // The next batch: `count` regions back to back, each height x width x
    // bytes per pixel; null (count 0) when all were handed out. Blocks until
    // it is read; rethrows a read's exception.
    std::unique_ptr<unsigned char[]> next(size_t *count);

    size_t size() const;  // locations
    size_t batch_size() const;
    size_t region_bytes() const;  // bytes of one region

    struct state;

private:
    std::unique_ptr<state> m_state;
};

}  // namespace tqfio

#endif  // TQF_SLIDE_H
