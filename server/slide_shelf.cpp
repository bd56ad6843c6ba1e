#include "slide_shelf.h"

#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace tqfio::server {

namespace {

const std::string kSuffix = ".tqf";

bool ends_with(const std::string &s, const std::string &suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool real_path(const std::string &path, std::string *real) {
    char *resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return false;
    *real = resolved;
    std::free(resolved);
    return true;
}

std::string quoted(std::string_view name) {
    std::string out = "'";
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F && c != '\'' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out + "'";
}

bool signature_of(const std::string &path, FileSignature *signature, bool *regular) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return false;
    *regular = S_ISREG(info.st_mode);
    signature->device = static_cast<uint64_t>(info.st_dev);
    signature->inode = static_cast<uint64_t>(info.st_ino);
    signature->size = static_cast<uint64_t>(info.st_size);
    signature->mtime_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

}  // namespace

std::string slide_stamp(uint64_t inode, uint64_t size, int64_t mtime_ns) {
    // FNV-1a over the three numbers, little-endian.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const uint64_t value : {inode, size, static_cast<uint64_t>(mtime_ns)})
        for (int byte = 0; byte < 8; ++byte) {
            hash ^= (value >> (8 * byte)) & 0xFF;
            hash *= 0x100000001b3ull;
        }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string deep_zoom_descriptor(const core::DeepZoomLayout &layout) {
    const core::DeepZoomLevel &full = layout.levels().back();
    return "<Image TileSize=\"" + std::to_string(layout.tile_size()) + "\" Overlap=\"" +
           std::to_string(layout.overlap()) +
           "\" Format=\"jpeg\" xmlns=\"http://schemas.microsoft.com/deepzoom/2008\"><Size Width=\"" +
           std::to_string(full.width) + "\" Height=\"" + std::to_string(full.height) + "\" /></Image>";
}

SlideShelf::SlideShelf(const ShelfOptions &options) : m_options(options) {
    while (m_options.folder.size() > 1 && m_options.folder.back() == '/')
        m_options.folder.pop_back();
    if (m_options.max_open == 0)
        m_options.max_open = 1;
}

bool SlideShelf::resolve(std::string_view name, std::string *real, std::string *why) const {
    if (!m_options.single_name.empty()) {
        if (name != m_options.single_name) {
            *why = "no slide " + quoted(name) + ": serving only " + quoted(m_options.single_name);
            return false;
        }
        if (!real_path(m_options.single_path, real) || !ends_with(*real, kSuffix)) {
            *why = "no slide " + quoted(name) + ": " + m_options.single_path + " no longer leads to a .tqf file";
            return false;
        }
        return true;
    }
    if (name.empty() || name.find('\0') != std::string_view::npos || name.find('\\') != std::string_view::npos) {
        *why = "not a slide name: " + quoted(name);
        return false;
    }
    std::string path = m_options.folder;
    size_t start = 0;
    for (;;) {
        const size_t slash = name.find('/', start);
        const std::string_view part = name.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (part.empty() || part == "." || part == ".." || part.front() == '.') {
            *why = "not a slide name: " + quoted(name);
            return false;
        }
        path += '/';
        path += part;
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    path += kSuffix;
    const std::string inside = m_options.folder == "/" ? "/" : m_options.folder + "/";
    if (!real_path(path, real)) {
        *why = "no slide " + quoted(name) + ": " + path + " does not exist";
        return false;
    }
    if (real->compare(0, inside.size(), inside) != 0 || !ends_with(*real, kSuffix)) {
        *why = "no slide " + quoted(name) + ": " + path + " leads outside " + m_options.folder;
        return false;
    }
    return true;
}

bool SlideShelf::locate(std::string_view name, std::string *real, FileSignature *signature, std::string *why) const {
    constexpr int64_t kRememberedMs = 1000;
    constexpr size_t kRememberedNames = 4096;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    const std::string key(name);
    bool regular = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto found = m_resolved.find(key);
        if (found != m_resolved.end() && now < found->second.until_ms) {
            const Resolved remembered = found->second;
            lock.unlock();
            if (signature_of(remembered.real, signature, &regular) && regular &&
                signature->device == remembered.device && signature->inode == remembered.inode) {
                *real = remembered.real;
                return true;
            }
        }
    }
    if (!resolve(name, real, why))
        return false;
    if (!signature_of(*real, signature, &regular)) {
        *why = "no slide " + quoted(name) + ": " + *real + " is gone";
        return false;
    }
    if (!regular) {
        *why = "no slide " + quoted(name) + ": " + *real + " is not a regular file";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_resolved.size() >= kRememberedNames)
        m_resolved.clear();
    m_resolved[key] = Resolved{*real, signature->device, signature->inode, now + kRememberedMs};
    return true;
}

std::shared_ptr<const ServedSlide> SlideShelf::get(std::string_view name, std::string *why) {
    std::string real;
    FileSignature signature;
    if (!locate(name, &real, &signature, why)) {
        if (!real.empty())
            forget(real);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_index.find(real);
        if (found != m_index.end()) {
            if ((*found->second)->signature == signature) {
                m_order.splice(m_order.begin(), m_order, found->second);
                return *found->second;
            }
        }
    }
    // Opening reads the tile index: not under the lock. The file may change
    // while it is opened; the signature is taken again afterwards, and the
    // opening repeated, so that the stamp names what was read.
    auto served = std::make_shared<ServedSlide>();
    try {
        slide_options options;
        options.cache_bytes = m_options.cache_bytes;
        options.threads = 1;
        for (int attempt = 0;; ++attempt) {
            served->source = std::make_shared<const slide>(real, options);
            FileSignature after;
            bool regular = false;
            if (!signature_of(real, &after, &regular) || !regular) {
                *why = "no slide " + quoted(name) + ": " + real + " is gone";
                forget(real);
                return nullptr;
            }
            if (after == signature || attempt == 2) {
                signature = after;
                break;
            }
            signature = after;
        }
        served->tiles = std::make_unique<core::DeepZoomTiles>(*served->source, m_options.tile_size, m_options.overlap,
                                                              m_options.quality, m_options.tile_cache_bytes);
    } catch (const std::exception &e) {
        *why = "cannot serve slide " + quoted(name) + ": " + e.what();
        forget(real);
        return nullptr;
    }
    served->name = std::string(name);
    served->path = real;
    served->signature = signature;
    served->stamp = slide_stamp(signature.inode, signature.size, signature.mtime_ns);
    served->dzi = deep_zoom_descriptor(served->tiles->layout());
    const std::string layout = std::to_string(m_options.tile_size) + "-" + std::to_string(m_options.overlap);
    served->dzi_etag = "\"" + served->stamp + "-" + layout + "\"";
    served->tile_etag = "\"" + served->stamp + "-" + layout + "-" + std::to_string(m_options.quality) + "\"";

    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_index.find(real);
    if (found != m_index.end()) {
        m_order.erase(found->second);
        m_index.erase(found);
    }
    m_order.push_front(served);
    m_index[real] = m_order.begin();
    // Dropped, not closed: a request still reading one keeps it until done.
    while (m_order.size() > m_options.max_open) {
        m_index.erase(m_order.back()->path);
        m_order.pop_back();
    }
    return served;
}

void SlideShelf::forget(const std::string &real) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_resolved.begin(); it != m_resolved.end();)
        it = it->second.real == real ? m_resolved.erase(it) : std::next(it);
    const auto found = m_index.find(real);
    if (found != m_index.end()) {
        m_order.erase(found->second);
        m_index.erase(found);
    }
}

size_t SlideShelf::open_count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_order.size();
}

}  // namespace tqfio::server
