// The slides a viewer may serve, by name, and a bounded set of them opened
// for serving tiles.
//
// Names and their confinement are those of tqfslide.viewer.library: a name
// is a slide's path under the served folder without ".tqf", "/" between
// folders; no segment is empty, "." or "..", or hidden; the path is resolved
// through every symbolic link and must still lie under the folder and end
// in ".tqf", and be a regular file. When one slide is served, only its name
// is. A slide is reopened when its file's identity (device, inode, size,
// modification time) changes.
#ifndef TQF_SERVER_SLIDE_SHELF_H
#define TQF_SERVER_SLIDE_SHELF_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/deep_zoom.h"
#include "tqf_slide.h"

namespace tqfio::server {

struct FileSignature {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const FileSignature &o) const {
        return device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns;
    }
    bool operator!=(const FileSignature &o) const { return !(*this == o); }
};

// A slide file's stamp: 16 hexadecimal digits from its inode, size and
// modification time, the same on every machine that sees the file on
// shared storage (unlike the device number), and new when the file is
// rewritten or replaced.
std::string slide_stamp(uint64_t inode, uint64_t size, int64_t mtime_ns);

struct ShelfOptions {
    std::string folder;       // the served folder, a real path
    std::string single_name;  // when one slide is served: its name ...
    std::string single_path;  // ... and its path as given (a link is followed on every request)
    size_t max_open = 8;
    size_t cache_bytes = 32 << 20;      // decoded tiles per slide
    size_t tile_cache_bytes = 8 << 20;  // cropped and made Deep Zoom tiles per slide
    int tile_size = 256;
    int overlap = 0;
    int quality = 75;
};

struct ServedSlide {
    std::string name;
    std::string path;  // the real path
    FileSignature signature;
    std::string stamp;
    std::shared_ptr<const slide> source;
    std::unique_ptr<core::DeepZoomTiles> tiles;
    std::string dzi;       // the Deep Zoom descriptor
    std::string dzi_etag;  // quoted, as sent
    std::string tile_etag;
};

class SlideShelf {
public:
    explicit SlideShelf(const ShelfOptions &options);

    const ShelfOptions &options() const { return m_options; }

    // The real path of the regular file `name` names; false with the reason
    // for the log when it names none that may be served.
    bool locate(std::string_view name, std::string *real, FileSignature *signature, std::string *why) const;

    // The slide `name`, opened (again when its file changed); null with the
    // reason when it cannot be served. Many threads may ask at once.
    std::shared_ptr<const ServedSlide> get(std::string_view name, std::string *why);

    size_t open_count() const;

private:
    bool resolve(std::string_view name, std::string *real, std::string *why) const;
    void forget(const std::string &real);

    ShelfOptions m_options;
    mutable std::mutex m_mutex;
    // Names resolved lately: their real path, the file found there, and
    // until when that is taken as it is (a second). Resolving walks every
    // link of the path, which costs more than the rest of a stored tile.
    // The file is looked at on every request: a different file there (a
    // link put in its place, a slide replaced) is resolved anew at once.
    struct Resolved {
        std::string real;
        uint64_t device, inode;
        int64_t until_ms;
    };
    mutable std::unordered_map<std::string, Resolved> m_resolved;
    std::list<std::shared_ptr<const ServedSlide>> m_order;  // most recently used first
    std::unordered_map<std::string, std::list<std::shared_ptr<const ServedSlide>>::iterator> m_index;
};

// The Deep Zoom descriptor of an image, as tqfslide.deepzoom writes it.
std::string deep_zoom_descriptor(const core::DeepZoomLayout &layout);

}  // namespace tqfio::server

#endif  // TQF_SERVER_SLIDE_SHELF_H
