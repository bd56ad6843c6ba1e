// OpenSlide's C interface: .tqf slides read through tqfio::slide, every
// other file handed to the system's OpenSlide (system_openslide.h).
//
// Beyond OpenSlide: a null slide, name or out-pointer is harmless (OpenSlide
// dereferences it), a region too large to address is an error rather than
// a crash, and no C++ exception leaves the library.
#include <cstring>
#include <mutex>
#include <new>

#include "abi.h"
#include "openslide.h"
#include "system_openslide.h"
#include "tqf_slide_handle.h"

#define TQF_OPENSLIDE_EXPORT extern "C" __attribute__((visibility("default")))

using tqf::openslide::kAbi;
using tqf::openslide::SystemOpenSlide;
using tqf::openslide::TqfSlideHandle;

// What openslide_open returns: a .tqf slide, or a slide of the system's
// OpenSlide. The first word tells it from a slide of the system's library
// (whose first word is a pointer, and canonical pointers never have the top
// bit set).
struct _openslide {
    uint64_t magic;
    TqfSlideHandle *tqf;
    openslide_t *system;
};

struct _openslide_cache {
    uint64_t magic;
    size_t capacity;
    std::mutex mutex;
    openslide_cache_t *system;  // made when first given to a slide of the system's library
};

namespace {

constexpr uint64_t kSlideMagic = 0x8071662d736c6964ull;
constexpr uint64_t kCacheMagic = 0x8071662d63616368ull;

const char *const kNoNames[] = {nullptr};

// Who serves a slide: our .tqf slide, or the system's library with its own
// slide (one we wrapped, or its own reaching us through its internal calls
// of its exported functions: see system_openslide.h). All null for null.
struct Target {
    TqfSlideHandle *tqf = nullptr;
    openslide_t *system = nullptr;
    const SystemOpenSlide *library = nullptr;
};

Target target(openslide_t *osr) {
    Target t;
    if (osr == nullptr)
        return t;
    if (osr->magic == kSlideMagic) {
        t.tqf = osr->tqf;
        t.system = osr->system;
        t.library = osr->system ? tqf::openslide::loaded_system_openslide() : nullptr;
        return t;
    }
    t.library = tqf::openslide::loaded_system_openslide();
    t.system = t.library ? osr : nullptr;
    return t;
}

// Our .tqf slide if it may be used (no error yet), else null.
TqfSlideHandle *usable(const Target &t) { return t.tqf && !t.tqf->error() ? t.tqf : nullptr; }

// Files handed to the system's library: only outside such a call already,
// so that a copy of this library installed as the system's cannot hand a
// file back and forth.
thread_local bool t_handing_over = false;

const SystemOpenSlide *library_for_other_files() {
    return t_handing_over ? nullptr : tqf::openslide::system_openslide();
}

struct HandingOver {
    HandingOver() { t_handing_over = true; }
    ~HandingOver() { t_handing_over = false; }
};

// w x h x 4 bytes, false when that is not addressable.
bool region_bytes(int64_t w, int64_t h, size_t *bytes) {
    int64_t pixels, total;
    if (w < 0 || h < 0 || __builtin_mul_overflow(w, h, &pixels) || __builtin_mul_overflow(pixels, 4, &total) ||
        static_cast<uint64_t>(total) > PTRDIFF_MAX)
        return false;
    *bytes = static_cast<size_t>(total);
    return true;
}

openslide_t *wrap(TqfSlideHandle *tqf, openslide_t *system) {
    auto *osr = new (std::nothrow) _openslide;
    if (osr == nullptr)
        return nullptr;
    osr->magic = kSlideMagic;
    osr->tqf = tqf;
    osr->system = system;
    return osr;
}

_openslide_cache *our_cache(openslide_cache_t *cache) {
    return cache != nullptr && cache->magic == kCacheMagic ? cache : nullptr;
}

}  // namespace

TQF_OPENSLIDE_EXPORT const char *openslide_detect_vendor(const char *filename) {
    if (filename == nullptr)
        return nullptr;
    if (tqf::openslide::is_tqf_slide_file(filename))
        return "tqf";
    const SystemOpenSlide *library = library_for_other_files();
    if (library == nullptr)
        return nullptr;
    HandingOver over;
    return library->detect_vendor(filename);
}

TQF_OPENSLIDE_EXPORT openslide_t *openslide_open(const char *filename) {
    if (filename == nullptr)
        return nullptr;
    if (tqf::openslide::is_tqf_slide_file(filename)) {
        TqfSlideHandle *tqf = new (std::nothrow) TqfSlideHandle(filename);
        openslide_t *osr = tqf ? wrap(tqf, nullptr) : nullptr;
        if (osr == nullptr)
            delete tqf;
        return osr;
    }
    const SystemOpenSlide *library = library_for_other_files();
    if (library == nullptr)
        return nullptr;
    openslide_t *system;
    {
        HandingOver over;
        system = library->open(filename);
    }
    if (system == nullptr)
        return nullptr;
    openslide_t *osr = wrap(nullptr, system);
    if (osr == nullptr)
        library->close(system);
    return osr;
}

TQF_OPENSLIDE_EXPORT void openslide_close(openslide_t *osr) {
    const Target t = target(osr);
    if (t.system)
        t.library->close(t.system);
    if (osr != nullptr && osr->magic == kSlideMagic) {
        delete t.tqf;
        osr->magic = 0;
        delete osr;
    }
}

TQF_OPENSLIDE_EXPORT const char *openslide_get_error(openslide_t *osr) {
    const Target t = target(osr);
    if (t.tqf)
        return t.tqf->error();
    if (t.system)
        return t.library->get_error(t.system);
    return nullptr;
}

TQF_OPENSLIDE_EXPORT int32_t openslide_get_level_count(openslide_t *osr) {
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t))
        return tqf->level_count();
    if (t.system)
        return t.library->get_level_count(t.system);
    return -1;
}

TQF_OPENSLIDE_EXPORT void openslide_get_level_dimensions(openslide_t *osr, int32_t level, int64_t *w, int64_t *h) {
    int64_t unused_w, unused_h;
    w = w ? w : &unused_w;
    h = h ? h : &unused_h;
    *w = *h = -1;
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t))
        tqf->level_dimensions(level, w, h);
    else if (t.system)
        t.library->get_level_dimensions(t.system, level, w, h);
}

TQF_OPENSLIDE_EXPORT void openslide_get_level0_dimensions(openslide_t *osr, int64_t *w, int64_t *h) {
    const Target t = target(osr);
    if (t.system && !t.tqf) {
        int64_t unused_w, unused_h;
        t.library->get_level0_dimensions(t.system, w ? w : &unused_w, h ? h : &unused_h);
        return;
    }
    openslide_get_level_dimensions(osr, 0, w, h);
}

TQF_OPENSLIDE_EXPORT double openslide_get_level_downsample(openslide_t *osr, int32_t level) {
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t))
        return tqf->level_downsample(level);
    if (t.system)
        return t.library->get_level_downsample(t.system, level);
    return -1.0;
}

TQF_OPENSLIDE_EXPORT int32_t openslide_get_best_level_for_downsample(openslide_t *osr, double downsample) {
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t))
        return tqf->best_level_for_downsample(downsample);
    if (t.system)
        return t.library->get_best_level_for_downsample(t.system, downsample);
    return -1;
}

TQF_OPENSLIDE_EXPORT void openslide_read_region(openslide_t *osr, uint32_t *dest, int64_t x, int64_t y, int32_t level,
                                                int64_t w, int64_t h) {
    const Target t = target(osr);
    if (t.system) {
        t.library->read_region(t.system, dest, x, y, level, w, h);
        return;
    }
    size_t bytes = 0;
    const bool addressable = region_bytes(w, h, &bytes);
    if (t.tqf == nullptr) {  // no slide: nothing to report, but the region is cleared
        if (dest && addressable)
            std::memset(dest, 0, bytes);
        return;
    }
    if (w < 0 || h < 0) {
        t.tqf->set_error("negative width (" + std::to_string(w) + ") or negative height (" + std::to_string(h) +
                         ") not allowed");
        return;
    }
    if (!addressable) {
        t.tqf->set_error("a region of " + std::to_string(w) + " x " + std::to_string(h) +
                         " pixels is larger than memory can hold");
        return;
    }
    if (dest == nullptr || bytes == 0)
        return;
    if (t.tqf->error()) {
        std::memset(dest, 0, bytes);
        return;
    }
    t.tqf->read_region(dest, x, y, level, w, h);
}

TQF_OPENSLIDE_EXPORT const char *const *openslide_get_property_names(openslide_t *osr) {
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t))
        return tqf->property_names();
    if (t.system)
        return t.library->get_property_names(t.system);
    return kNoNames;
}

TQF_OPENSLIDE_EXPORT const char *openslide_get_property_value(openslide_t *osr, const char *name) {
    if (name == nullptr)
        return nullptr;
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t))
        return tqf->property_value(name);
    if (t.system)
        return t.library->get_property_value(t.system, name);
    return nullptr;
}

TQF_OPENSLIDE_EXPORT const char *const *openslide_get_associated_image_names(openslide_t *osr) {
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t))
        return tqf->associated_image_names();
    if (t.system)
        return t.library->get_associated_image_names(t.system);
    return kNoNames;
}

TQF_OPENSLIDE_EXPORT void openslide_get_associated_image_dimensions(openslide_t *osr, const char *name, int64_t *w,
                                                                    int64_t *h) {
    int64_t unused_w, unused_h;
    w = w ? w : &unused_w;
    h = h ? h : &unused_h;
    *w = *h = -1;
    if (name == nullptr)
        return;
    const Target t = target(osr);
    if (TqfSlideHandle *tqf = usable(t)) {
        int64_t width, height;
        if (tqf->associated_image(name, &width, &height, nullptr)) {
            *w = width;
            *h = height;
        }
    } else if (t.system) {
        t.library->get_associated_image_dimensions(t.system, name, w, h);
    }
}

TQF_OPENSLIDE_EXPORT void openslide_read_associated_image(openslide_t *osr, const char *name, uint32_t *dest) {
    if (name == nullptr)
        return;
    const Target t = target(osr);
    if (t.system && kAbi.major >= 4 && t.library->major < 4) {
        // OpenSlide 3 behind OpenSlide 4's interface: 4 clears the image
        // when the read fails, 3 leaves it as it was.
        int64_t w = -1, h = -1;
        size_t bytes = 0;
        t.library->get_associated_image_dimensions(t.system, name, &w, &h);
        t.library->read_associated_image(t.system, name, dest);
        if (dest && t.library->get_error(t.system) && region_bytes(w, h, &bytes))
            std::memset(dest, 0, bytes);
        return;
    }
    if (t.system) {
        t.library->read_associated_image(t.system, name, dest);
        return;
    }
    TqfSlideHandle *tqf = usable(t);
    if (tqf == nullptr)
        return;
    int64_t w = 0, h = 0;
    const std::vector<unsigned char> *argb = nullptr;
    if (tqf->associated_image(name, &w, &h, &argb)) {
        if (dest)
            std::memcpy(dest, argb->data(), argb->size());
    }
}

// .tqf slides hold no ICC profiles, nor do slides read by OpenSlide 3: their
// profiles have 0 bytes (-1 after an error).
TQF_OPENSLIDE_EXPORT int64_t openslide_get_icc_profile_size(openslide_t *osr) {
    const Target t = target(osr);
    if (t.system && t.library->major >= 4)
        return t.library->get_icc_profile_size(t.system);
    if (t.tqf == nullptr && t.system == nullptr)
        return -1;
    return openslide_get_error(osr) ? -1 : 0;
}

TQF_OPENSLIDE_EXPORT void openslide_read_icc_profile(openslide_t *osr, void *dest) {
    const Target t = target(osr);
    if (t.system && t.library->major >= 4)
        t.library->read_icc_profile(t.system, dest);
}

// 0 for an associated image the slide has, -1 for one it lacks and after an
// error, as OpenSlide 4.
TQF_OPENSLIDE_EXPORT int64_t openslide_get_associated_image_icc_profile_size(openslide_t *osr, const char *name) {
    if (name == nullptr)
        return -1;
    const Target t = target(osr);
    if (t.system && t.library->major >= 4)
        return t.library->get_associated_image_icc_profile_size(t.system, name);
    if (openslide_get_error(osr) != nullptr)
        return -1;
    for (const char *const *names = openslide_get_associated_image_names(osr); *names; ++names)
        if (std::strcmp(*names, name) == 0)
            return 0;
    return -1;
}

TQF_OPENSLIDE_EXPORT void openslide_read_associated_image_icc_profile(openslide_t *osr, const char *name, void *dest) {
    const Target t = target(osr);
    if (t.system && t.library->major >= 4 && name != nullptr)
        t.library->read_associated_image_icc_profile(t.system, name, dest);
}

TQF_OPENSLIDE_EXPORT openslide_cache_t *openslide_cache_create(size_t capacity) {
    auto *cache = new (std::nothrow) _openslide_cache;
    if (cache == nullptr)
        return nullptr;
    cache->magic = kCacheMagic;
    cache->capacity = capacity;
    cache->system = nullptr;
    return cache;
}

TQF_OPENSLIDE_EXPORT void openslide_set_cache(openslide_t *osr, openslide_cache_t *cache) {
    const Target t = target(osr);
    if (osr != nullptr && osr->magic != kSlideMagic) {  // the system library's own call
        if (t.system && t.library->has_cache)
            t.library->set_cache(t.system, cache);
        return;
    }
    _openslide_cache *ours = our_cache(cache);
    if (ours == nullptr)
        return;
    if (TqfSlideHandle *tqf = usable(t)) {
        // The capacity becomes the slide's own budget: slides given one
        // cache do not share it.
        tqf->set_cache_bytes(ours->capacity);
    } else if (t.system && t.library->has_cache) {
        std::lock_guard<std::mutex> lock(ours->mutex);
        if (ours->system == nullptr)
            ours->system = t.library->cache_create(ours->capacity);
        if (ours->system != nullptr)
            t.library->set_cache(t.system, ours->system);
    }
    // OpenSlide 3 keeps its own cache for its slides.
}

TQF_OPENSLIDE_EXPORT void openslide_cache_release(openslide_cache_t *cache) {
    _openslide_cache *ours = our_cache(cache);
    if (ours == nullptr) {
        const SystemOpenSlide *library = tqf::openslide::loaded_system_openslide();
        if (cache != nullptr && library && library->has_cache)
            library->cache_release(cache);  // the system library's own call
        return;
    }
    if (ours->system != nullptr)
        tqf::openslide::loaded_system_openslide()->cache_release(ours->system);
    ours->magic = 0;
    delete ours;
}

TQF_OPENSLIDE_EXPORT const char *openslide_get_version(void) { return kAbi.version; }

// OpenSlide 3's older names (exported by libopenslide.so.0 only).

TQF_OPENSLIDE_EXPORT bool openslide_can_open(const char *filename) {
    if (filename == nullptr)
        return false;
    if (tqf::openslide::is_tqf_slide_file(filename)) {
        TqfSlideHandle tqf(filename);
        return tqf.error() == nullptr;
    }
    const SystemOpenSlide *library = library_for_other_files();
    if (library == nullptr || library->can_open == nullptr)
        return false;
    HandingOver over;
    return library->can_open(filename);
}

TQF_OPENSLIDE_EXPORT int32_t openslide_get_layer_count(openslide_t *osr) { return openslide_get_level_count(osr); }

TQF_OPENSLIDE_EXPORT void openslide_get_layer0_dimensions(openslide_t *osr, int64_t *w, int64_t *h) {
    openslide_get_level0_dimensions(osr, w, h);
}

TQF_OPENSLIDE_EXPORT void openslide_get_layer_dimensions(openslide_t *osr, int32_t layer, int64_t *w, int64_t *h) {
    openslide_get_level_dimensions(osr, layer, w, h);
}

TQF_OPENSLIDE_EXPORT double openslide_get_layer_downsample(openslide_t *osr, int32_t layer) {
    return openslide_get_level_downsample(osr, layer);
}

TQF_OPENSLIDE_EXPORT int32_t openslide_get_best_layer_for_downsample(openslide_t *osr, double downsample) {
    return openslide_get_best_level_for_downsample(osr, downsample);
}

TQF_OPENSLIDE_EXPORT const char *openslide_get_comment(openslide_t *osr) {
    return openslide_get_property_value(osr, OPENSLIDE_PROPERTY_NAME_COMMENT);
}

// Never implemented by OpenSlide either: no prefetching, nothing to cancel.
TQF_OPENSLIDE_EXPORT int openslide_give_prefetch_hint(openslide_t *, int64_t, int64_t, int32_t, int64_t, int64_t) {
    return 0;
}

TQF_OPENSLIDE_EXPORT void openslide_cancel_prefetch_hint(openslide_t *, int) {}
