// A .tqf slide behind OpenSlide's C interface: tqfio::slide plus what the
// interface hands out by pointer (property and image names, property
// values, associated images as ARGB), and the error that latches.
#ifndef TQF_OPENSLIDE_TQF_SLIDE_HANDLE_H
#define TQF_OPENSLIDE_TQF_SLIDE_HANDLE_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tqf_slide.h"

namespace tqf::openslide {

// Whether OpenSlide's interface hands `path` to this library: a name ending
// in ".tqf" and a file that starts as a slide does. Anything else goes to
// the system's OpenSlide, which refuses what no format of its own reads.
bool is_tqf_slide_file(const char *path);

// Properties for a slide, as tqfslide gives them: openslide.vendor "tqf",
// openslide.objective-power, openslide.mpp-x and -y where the slide records
// them, openslide.background-color, openslide.level-count and the
// openslide.level[N].* keys, and the slide's own header values as tqf.*.
std::map<std::string, std::string> slide_properties(const tqfio::slide &slide);

class TqfSlideHandle {
public:
    // Opens the slide; a slide that cannot be read gives a handle in the
    // error state, whose message names the file and the cause.
    explicit TqfSlideHandle(const char *path);
    ~TqfSlideHandle();
    TqfSlideHandle(const TqfSlideHandle &) = delete;
    TqfSlideHandle &operator=(const TqfSlideHandle &) = delete;

    // The first error, or null. Once set it stays.
    const char *error() const;
    void set_error(const std::string &message) noexcept;

    bool opened() const { return m_slide != nullptr; }
    const tqfio::slide &slide() const { return *m_slide; }

    int32_t level_count() const;
    // Sets w and h to -1 for a level out of range.
    void level_dimensions(int32_t level, int64_t *w, int64_t *h) const;
    double level_downsample(int32_t level) const;
    int32_t best_level_for_downsample(double downsample) const;

    // OpenSlide's read_region on an open slide without error, with w and h
    // not negative and w * h * 4 bytes addressable; dest non-null.
    void read_region(uint32_t *dest, int64_t x, int64_t y, int32_t level, int64_t w, int64_t h);

    const char *const *property_names() const { return m_property_names.data(); }
    const char *property_value(const char *name) const;

    const char *const *associated_image_names() const { return m_image_names.data(); }
    // Decodes the image on first use; false (with the error set) when it
    // cannot be read, false without error for a name the slide lacks.
    bool associated_image(const char *name, int64_t *w, int64_t *h, const std::vector<unsigned char> **argb);

    void set_cache_bytes(size_t bytes);

private:
    struct AssociatedImage {
        std::string name;
        bool tried = false;
        tqfio::image pixels;  // BGRA: ARGB words, opaque
    };

    std::string m_path;
    std::unique_ptr<tqfio::slide> m_slide;
    std::atomic<std::string *> m_error{nullptr};
    std::map<std::string, std::string> m_properties;
    std::vector<const char *> m_property_names;  // null-terminated, into m_properties' keys
    std::vector<std::unique_ptr<AssociatedImage>> m_images;
    std::vector<const char *> m_image_names;  // null-terminated
    std::mutex m_images_mutex;
};

}  // namespace tqf::openslide

#endif  // TQF_OPENSLIDE_TQF_SLIDE_HANDLE_H
