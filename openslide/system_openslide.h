// The system's own OpenSlide, to which every file that is not a .tqf slide
// is handed. It is loaded once, on first need, by its full path and with
// RTLD_LOCAL, so that this library (which has the same soname and the same
// symbols) keeps its place for everything that asks for libopenslide by
// name; its functions are reached only through the pointers below.
//
// Where this library was loaded into the global scope, the system
// library's calls of its own exported functions bind to ours (it calls
// openslide_get_error and others through its PLT); our entry points tell its
// slides from ours (by the first word of the slide: see openslide_api.cpp)
// and forward them here. Neither RTLD_DEEPBIND (which AddressSanitizer
// refuses, and which makes the library's own dependencies bypass an
// interposed malloc) nor dlmopen (whose second C library hands out
// pthread keys that the first one already uses, which breaks GLib) keeps
// them apart more safely.
//
// Same soname: the system library is loaded after ours, so a later request
// for libopenslide.so.0 by name finds ours first. Only libopenslide.so.1
// handing files to the system's libopenslide.so.0 (where there is no
// OpenSlide 4) makes that name taken by the system's library: a program
// that loads both of our libraries then gets the system's for .so.0 if it
// asks for it after .so.1 opened another file.
#ifndef TQF_OPENSLIDE_SYSTEM_OPENSLIDE_H
#define TQF_OPENSLIDE_SYSTEM_OPENSLIDE_H

#include <string>

#include "openslide.h"

namespace tqf::openslide {

struct SystemOpenSlide {
    std::string path;        // the library file loaded
    int major = 3;           // 4 where OpenSlide 4's ICC functions are there
    bool has_cache = false;  // OpenSlide 4's cache functions are there

    // OpenSlide 3.4 and 4.
    const char *(*detect_vendor)(const char *) = nullptr;
    openslide_t *(*open)(const char *) = nullptr;
    int32_t (*get_level_count)(openslide_t *) = nullptr;
    void (*get_level0_dimensions)(openslide_t *, int64_t *, int64_t *) = nullptr;
    void (*get_level_dimensions)(openslide_t *, int32_t, int64_t *, int64_t *) = nullptr;
    double (*get_level_downsample)(openslide_t *, int32_t) = nullptr;
    int32_t (*get_best_level_for_downsample)(openslide_t *, double) = nullptr;
    void (*read_region)(openslide_t *, uint32_t *, int64_t, int64_t, int32_t, int64_t, int64_t) = nullptr;
    void (*close)(openslide_t *) = nullptr;
    const char *(*get_error)(openslide_t *) = nullptr;
    const char *const *(*get_property_names)(openslide_t *) = nullptr;
    const char *(*get_property_value)(openslide_t *, const char *) = nullptr;
    const char *const *(*get_associated_image_names)(openslide_t *) = nullptr;
    void (*get_associated_image_dimensions)(openslide_t *, const char *, int64_t *, int64_t *) = nullptr;
    void (*read_associated_image)(openslide_t *, const char *, uint32_t *) = nullptr;
    const char *(*get_version)() = nullptr;

    // OpenSlide 4 only (null with 3.4).
    int64_t (*get_icc_profile_size)(openslide_t *) = nullptr;
    void (*read_icc_profile)(openslide_t *, void *) = nullptr;
    int64_t (*get_associated_image_icc_profile_size)(openslide_t *, const char *) = nullptr;
    void (*read_associated_image_icc_profile)(openslide_t *, const char *, void *) = nullptr;
    openslide_cache_t *(*cache_create)(size_t) = nullptr;
    void (*set_cache)(openslide_t *, openslide_cache_t *) = nullptr;
    void (*cache_release)(openslide_cache_t *) = nullptr;

    // OpenSlide 3 only (null with 4).
    bool (*can_open)(const char *) = nullptr;
    const char *(*get_comment)(openslide_t *) = nullptr;
    int (*give_prefetch_hint)(openslide_t *, int64_t, int64_t, int32_t, int64_t, int64_t) = nullptr;
    void (*cancel_prefetch_hint)(openslide_t *, int) = nullptr;
};

// The system's OpenSlide, loaded on the first call; null when none is
// installed (or none is wanted: see the environment variable in the .cpp).
const SystemOpenSlide *system_openslide();

// The same without loading it: null until a call of system_openslide()
// found one. A slide of the system library reaches our entry points only
// once the library is loaded.
const SystemOpenSlide *loaded_system_openslide();

}  // namespace tqf::openslide

#endif  // TQF_OPENSLIDE_SYSTEM_OPENSLIDE_H
