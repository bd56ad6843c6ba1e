// Recording test double of libyelk.so.1; see yelk_double.h.
#include "yelk_double.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "yelk.h"

#define DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Header {
    int width, height, scan_scale;
};

struct Tile {
    std::vector<char> data;
    unsigned reported_length;
};

struct Slide {
    TQF tqf;
    TQF_HEADER header;
    int id;
};

using TileKey = std::tuple<unsigned, int, int>;

struct State {
    std::mutex mutex;
    std::string log;
    bool has_default = false;
    Header default_header{};
    std::map<std::string, Header> slides;
    std::set<std::string> failing;
    std::map<TileKey, Tile> tiles;
    std::map<unsigned, std::pair<int, int>> pattern_levels;
    std::map<TileKey, std::vector<char>> pattern_cache;
    bool has_preview = false, has_label = false;
    std::vector<char> preview, label;
    std::set<const TQF *> live;
    int loads = 0;
    int bad_unloads = 0;
    std::string log_copy;
    int hold_reached_fd = -1, hold_release_fd = -1;
};

State &state() {
    static State s;
    return s;
}

std::string handle_name(const TQF *tqf) {
    if (!tqf)
        return "null";
    return "slide#" + std::to_string(reinterpret_cast<const Slide *>(tqf)->id);
}

void log_line(const std::string &line) { state().log += line + "\n"; }

const std::vector<char> *pattern_tile(State &s, unsigned scale, int x, int y) {
    auto level = s.pattern_levels.find(scale);
    if (level == s.pattern_levels.end())
        return nullptr;
    const int width = level->second.first, height = level->second.second;
    if (x < 0 || y < 0 || x % 256 || y % 256 || x >= width || y >= height)
        return nullptr;
    const TileKey key{scale, x, y};
    auto cached = s.pattern_cache.find(key);
    if (cached != s.pattern_cache.end())
        return &cached->second;
    cv::Mat tile(std::min(256, height - y), std::min(256, width - x), CV_8UC3);
    for (int r = 0; r < tile.rows; ++r)
        for (int c = 0; c < tile.cols; ++c)
            yelk_double_pattern_pixel(scale, x + c, y + r, tile.ptr<unsigned char>(r) + 3 * c);
    std::vector<unsigned char> png;
    cv::imencode(".png", tile, png, {cv::IMWRITE_PNG_COMPRESSION, 1});
    return &(s.pattern_cache[key] = std::vector<char>(png.begin(), png.end()));
}

// A hold asked for by yelk_double_hold_next_tile: says the call is here, then
// waits for the release, holding no lock meanwhile.
void hold_if_asked(State &s) {
    int reached = -1, release = -1;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        std::swap(reached, s.hold_reached_fd);
        std::swap(release, s.hold_release_fd);
    }
    if (reached < 0)
        return;
    const char byte = 1;
    char got = 0;
    while (write(reached, &byte, 1) < 0 && errno == EINTR) {
    }
    while (read(release, &got, 1) < 0 && errno == EINTR) {
    }
}

int fetch(const char *name, TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length) {
    State &s = state();
    hold_if_asked(s);
    std::lock_guard<std::mutex> lock(s.mutex);
    log_line(std::string(name) + "(" + handle_name(tqf) + ", " + std::to_string(scale) + ", " + std::to_string(x) +
             ", " + std::to_string(y) + ")");
    auto tile = s.tiles.find(TileKey{scale, x, y});
    if (tile != s.tiles.end()) {
        std::memcpy(buffer, tile->second.data.data(),
                    std::min<size_t>(tile->second.data.size(), YELK_TILE_STREAM_CAPACITY));
        *length = tile->second.reported_length;
        return 0;
    }
    if (const std::vector<char> *png = pattern_tile(s, scale, x, y)) {
        std::memcpy(buffer, png->data(), png->size());
        *length = static_cast<UINT32>(png->size());
        return 0;
    }
    return 1;
}

int write_image(const char *name, TQF *tqf, const char *file_name, bool preview) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    log_line(std::string(name) + "(" + handle_name(tqf) + ", " + file_name + ")");
    const bool present = preview ? s.has_preview : s.has_label;
    const std::vector<char> &bytes = preview ? s.preview : s.label;
    if (!tqf || !present)
        return 1;
    std::ofstream out(file_name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out ? 0 : 1;
}

}  // namespace

DOUBLE_EXPORT TQF *yelk_load_image(const char *path, int read_all) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    log_line("yelk_load_image(" + std::string(path) + ", " + std::to_string(read_all) + ")");
    Header header{};
    if (s.failing.count(path))
        return nullptr;
    auto known = s.slides.find(path);
    if (known != s.slides.end())
        header = known->second;
    else if (s.has_default)
        header = s.default_header;
    else
        return nullptr;

    Slide *slide = new Slide();
    slide->id = ++s.loads;
    slide->header.imageWidth = header.width;
    slide->header.imageHeight = header.height;
    slide->header.scanScale = header.scan_scale;
    slide->tqf.header = &slide->header;
    slide->tqf.headerLength = sizeof(TQF_HEADER);
    s.live.insert(&slide->tqf);
    return &slide->tqf;
}

DOUBLE_EXPORT int yelk_unload_image(TQF *tqf, int read_all) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    log_line("yelk_unload_image(" + (tqf && !s.live.count(tqf) ? std::string("released") : handle_name(tqf)) + ", " +
             std::to_string(read_all) + ")");
    if (!tqf)
        return 0;
    if (!s.live.erase(tqf)) {
        ++s.bad_unloads;
        return 1;
    }
    delete reinterpret_cast<Slide *>(tqf);
    return 0;
}

DOUBLE_EXPORT int yelk_get_datablock_stream(TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length) {
    return fetch("yelk_get_datablock_stream", tqf, scale, x, y, buffer, length);
}

DOUBLE_EXPORT int yelk_get_datablock_stream_single(TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer,
                                                   UINT32 *length) {
    return fetch("yelk_get_datablock_stream_single", tqf, scale, x, y, buffer, length);
}

DOUBLE_EXPORT int yelk_get_preview_image(TQF *tqf, const char *file_name) {
    return write_image("yelk_get_preview_image", tqf, file_name, true);
}

DOUBLE_EXPORT int yelk_get_label_image(TQF *tqf, const char *file_name) {
    return write_image("yelk_get_label_image", tqf, file_name, false);
}

DOUBLE_EXPORT void yelk_double_reset(void) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const TQF *tqf : s.live)
        delete reinterpret_cast<const Slide *>(tqf);
    s.live.clear();
    s.log.clear();
    s.has_default = false;
    s.slides.clear();
    s.failing.clear();
    s.tiles.clear();
    s.pattern_levels.clear();
    s.pattern_cache.clear();
    s.has_preview = s.has_label = false;
    s.preview.clear();
    s.label.clear();
    s.loads = 0;
    s.bad_unloads = 0;
    s.hold_reached_fd = s.hold_release_fd = -1;
}

DOUBLE_EXPORT void yelk_double_hold_next_tile(int reached_fd, int release_fd) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().hold_reached_fd = reached_fd;
    state().hold_release_fd = release_fd;
}

DOUBLE_EXPORT void yelk_double_set_slide(int width, int height, int scan_scale) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().has_default = true;
    state().default_header = Header{width, height, scan_scale};
}

DOUBLE_EXPORT void yelk_double_add_slide(const char *path, int width, int height, int scan_scale) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().slides[path] = Header{width, height, scan_scale};
}

DOUBLE_EXPORT void yelk_double_fail_path(const char *path) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failing.insert(path);
}

DOUBLE_EXPORT void yelk_double_set_tile(unsigned scale, int x, int y, const void *data, unsigned length,
                                        unsigned reported_length) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const char *bytes = static_cast<const char *>(data);
    state().tiles[TileKey{scale, x, y}] = Tile{std::vector<char>(bytes, bytes + length), reported_length};
}

DOUBLE_EXPORT void yelk_double_set_pattern_level(unsigned scale, int width, int height) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().pattern_levels[scale] = {width, height};
}

DOUBLE_EXPORT void yelk_double_pattern_pixel(unsigned scale, int px, int py, unsigned char bgr[3]) {
    // Distinct for every pixel of a 4096 x 4096 level, and different per level.
    bgr[0] = static_cast<unsigned char>(px);
    bgr[1] = static_cast<unsigned char>(py);
    bgr[2] = static_cast<unsigned char>((px >> 8) + 16 * (py >> 8) + 37 * scale);
}

DOUBLE_EXPORT void yelk_double_set_preview(const void *data, unsigned length) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().has_preview = data != nullptr;
    const char *bytes = static_cast<const char *>(data);
    state().preview.assign(bytes, bytes ? bytes + length : bytes);
}

DOUBLE_EXPORT void yelk_double_set_label(const void *data, unsigned length) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().has_label = data != nullptr;
    const char *bytes = static_cast<const char *>(data);
    state().label.assign(bytes, bytes ? bytes + length : bytes);
}

DOUBLE_EXPORT const char *yelk_double_log(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().log_copy = state().log;
    return state().log_copy.c_str();
}

DOUBLE_EXPORT void yelk_double_clear_log(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().log.clear();
}

DOUBLE_EXPORT int yelk_double_live_handles(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<int>(state().live.size());
}

DOUBLE_EXPORT int yelk_double_bad_unloads(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().bad_unloads;
}
