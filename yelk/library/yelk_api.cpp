/*
 * The six operations of libyelk.so.1. They convert between the C handle and
 * the library's own slide state, and keep every C++ exception inside.
 */
#include "yelk.h"

#include "image_export.h"
#include "record_checks.h"
#include "slide_loader.h"
#include "tile_streams.h"
#include "yelk_results.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#define YELK_EXPORT extern "C" __attribute__((visibility("default")))

using tqf::library::OpenSlide;
using tqf::library::openSlideOf;

// Why a slide was refused goes to standard error only when YELK_VERBOSE is
// set (and not "0"): callers report the failure in their own words.
static void reportRefusal(const char *path, const char *reason) {
    const char *verbose = std::getenv("YELK_VERBOSE");
    if (verbose != nullptr && *verbose != '\0' && std::string(verbose) != "0")
        std::fprintf(stderr, "yelk: cannot load slide '%s': %s\n", path ? path : "(null)", reason);
}

YELK_EXPORT TQF *yelk_load_image(const char *path, int read_all) {
    try {
        std::string error;
        OpenSlide *slide = tqf::library::loadSlide(path, read_all != 0, error);
        if (slide == nullptr) {
            reportRefusal(path, error.c_str());
            return nullptr;
        }
        return &slide->record;
    } catch (...) {
        reportRefusal(path, "out of memory");
        return nullptr;
    }
}

// The slide remembers how it was loaded, so the flag given here does not matter.
YELK_EXPORT int yelk_unload_image(TQF *tqf, int read_all) {
    (void)read_all;
    if (tqf == nullptr)
        return YELK_BAD_ARGUMENT;
    tqf::library::releaseSlide(openSlideOf(tqf));
    return YELK_OK;
}

// Both tile-stream forms serve any slide: a read-all slide is copied from
// memory, any other is read from the file.
static int copyStream(TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length) {
    if (tqf == nullptr)
        return YELK_BAD_ARGUMENT;
    try {
        return tqf::library::copyTileStream(*openSlideOf(tqf), scale, x, y, buffer, length);
    } catch (...) {
        return YELK_INTERNAL_ERROR;
    }
}

YELK_EXPORT int yelk_get_datablock_stream(TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length) {
    return copyStream(tqf, scale, x, y, buffer, length);
}

YELK_EXPORT int yelk_get_datablock_stream_single(TQF *tqf, UINT32 scale, INT32 x, INT32 y, char *buffer,
                                                 UINT32 *length) {
    return copyStream(tqf, scale, x, y, buffer, length);
}

YELK_EXPORT int yelk_get_preview_image(TQF *tqf, const char *file_name) {
    if (tqf == nullptr)
        return YELK_BAD_ARGUMENT;
    try {
        const OpenSlide &slide = *openSlideOf(tqf);
        return tqf::library::exportStoredImage(slide, tqf::library::storedImageOf(slide.state->previewHeader),
                                               file_name);
    } catch (...) {
        return YELK_INTERNAL_ERROR;
    }
}

YELK_EXPORT int yelk_get_label_image(TQF *tqf, const char *file_name) {
    if (tqf == nullptr)
        return YELK_BAD_ARGUMENT;
    try {
        const OpenSlide &slide = *openSlideOf(tqf);
        return tqf::library::exportStoredImage(slide, tqf::library::storedImageOf(slide.state->labelHeader), file_name);
    } catch (...) {
        return YELK_INTERNAL_ERROR;
    }
}
