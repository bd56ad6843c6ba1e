#include "system_openslide.h"

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "abi.h"

namespace tqf::openslide {

namespace {

// The system's library folders, in the order the dynamic linker searches
// them (set by the build for this machine's architecture).
#ifndef TQF_SYSTEM_LIBRARY_DIRS
#define TQF_SYSTEM_LIBRARY_DIRS "/usr/local/lib:/usr/lib"
#endif

std::vector<std::string> split_folders(const std::string &list) {
    std::vector<std::string> folders;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        if (end > start)
            folders.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

// The library files to try: TQF_SYSTEM_OPENSLIDE names one (or, empty,
// none: every other file is then refused as OpenSlide refuses a file it
// does not know); otherwise each wanted soname in each system folder. The
// variable is not read in secure-execution mode (setuid programs).
std::vector<std::string> candidates() {
    if (const char *chosen = secure_getenv("TQF_SYSTEM_OPENSLIDE"))
        return *chosen ? std::vector<std::string>{chosen} : std::vector<std::string>{};
    std::vector<std::string> files;
    const std::vector<std::string> folders = split_folders(TQF_SYSTEM_LIBRARY_DIRS);
    for (const char *const *name = kAbi.system_libraries; *name; ++name)
        for (const std::string &folder : folders)
            files.push_back(folder + "/" + *name);
    return files;
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// This library's own file, never taken for the system's (with the
// library folder on the linker's path, or installed into a system folder).
bool own_file(const std::string &path) {
    Dl_info info;
    struct stat mine, theirs;
    return dladdr(reinterpret_cast<void *>(&own_file), &info) != 0 && info.dli_fname != nullptr &&
           stat(info.dli_fname, &mine) == 0 && stat(path.c_str(), &theirs) == 0 && same_file(mine, theirs);
}

template <typename Function>
bool bind(void *library, const char *name, Function &function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

// Binds every function; false when one that every OpenSlide since 3.4 has
// is missing.
bool bind_all(void *library, SystemOpenSlide &s) {
    bool ok = bind(library, "openslide_detect_vendor", s.detect_vendor) & bind(library, "openslide_open", s.open) &
              bind(library, "openslide_get_level_count", s.get_level_count) &
              bind(library, "openslide_get_level0_dimensions", s.get_level0_dimensions) &
              bind(library, "openslide_get_level_dimensions", s.get_level_dimensions) &
              bind(library, "openslide_get_level_downsample", s.get_level_downsample) &
              bind(library, "openslide_get_best_level_for_downsample", s.get_best_level_for_downsample) &
              bind(library, "openslide_read_region", s.read_region) & bind(library, "openslide_close", s.close) &
              bind(library, "openslide_get_error", s.get_error) &
              bind(library, "openslide_get_property_names", s.get_property_names) &
              bind(library, "openslide_get_property_value", s.get_property_value) &
              bind(library, "openslide_get_associated_image_names", s.get_associated_image_names) &
              bind(library, "openslide_get_associated_image_dimensions", s.get_associated_image_dimensions) &
              bind(library, "openslide_read_associated_image", s.read_associated_image) &
              bind(library, "openslide_get_version", s.get_version);
    const bool icc = bind(library, "openslide_get_icc_profile_size", s.get_icc_profile_size) &
                     bind(library, "openslide_read_icc_profile", s.read_icc_profile) &
                     bind(library, "openslide_get_associated_image_icc_profile_size",
                          s.get_associated_image_icc_profile_size) &
                     bind(library, "openslide_read_associated_image_icc_profile", s.read_associated_image_icc_profile);
    s.major = icc ? 4 : 3;
    s.has_cache = bind(library, "openslide_cache_create", s.cache_create) &
                  bind(library, "openslide_set_cache", s.set_cache) &
                  bind(library, "openslide_cache_release", s.cache_release);
    bind(library, "openslide_can_open", s.can_open);
    bind(library, "openslide_get_comment", s.get_comment);
    bind(library, "openslide_give_prefetch_hint", s.give_prefetch_hint);
    bind(library, "openslide_cancel_prefetch_hint", s.cancel_prefetch_hint);
    return ok;
}

std::atomic<const SystemOpenSlide *> g_loaded{nullptr};

const SystemOpenSlide *load() {
    for (const std::string &path : candidates()) {
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || own_file(path))
            continue;
        // RTLD_LOCAL: its symbols stay out of the global scope, so that
        // nothing loaded later binds to them instead of to ours (the header
        // says why not RTLD_DEEPBIND or dlmopen).
        void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            continue;
        auto *functions = new SystemOpenSlide;  // kept for the life of the process, as the library is
        if (!bind_all(library, *functions) ||
            reinterpret_cast<void *>(functions->open) == reinterpret_cast<void *>(&openslide_open)) {
            delete functions;
            dlclose(library);
            continue;
        }
        functions->path = path;
        return functions;
    }
    return nullptr;
}

}  // namespace

const SystemOpenSlide *system_openslide() {
    static std::once_flag once;
    std::call_once(once, [] { g_loaded.store(load(), std::memory_order_release); });
    return g_loaded.load(std::memory_order_acquire);
}

const SystemOpenSlide *loaded_system_openslide() { return g_loaded.load(std::memory_order_acquire); }

}  // namespace tqf::openslide
