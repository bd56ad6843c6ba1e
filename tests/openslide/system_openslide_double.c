/*
 * A stand-in for a system OpenSlide 4 (which Debian 12 lacks), handed to
 * the libraries through TQF_SYSTEM_OPENSLIDE: files whose name ends in
 * ".double" are one-level 8 x 4 slides of opaque blue with a 4-byte ICC
 * profile; the capacity of the cache last set on a slide shows as the
 * property "double.cache-capacity". Built as OpenSlide is, without
 * -Bsymbolic, so that its calls of its own exported functions go through
 * its PLT and reach the library under test first where that one is in the
 * global scope.
 */
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef struct {
    char *error;
    char capacity[32];
    const char *values[3];
} slide_t;

typedef struct {
    uint32_t magic;
    size_t capacity;
} cache_t;

static const uint32_t kCacheMagic = 0xcac4e;
static const char *const kNames[] = {"double.cache-capacity", "openslide.vendor", NULL};
static const char *const kNoNames[] = {NULL};

static bool is_double(const char *name) {
    const size_t length = name ? strlen(name) : 0;
    return length >= 7 && strcmp(name + length - 7, ".double") == 0;
}

EXPORT const char *openslide_detect_vendor(const char *filename) { return is_double(filename) ? "double" : NULL; }

EXPORT slide_t *openslide_open(const char *filename) {
    if (!is_double(filename))
        return NULL;
    slide_t *slide = calloc(1, sizeof *slide);
    strcpy(slide->capacity, "none");
    return slide;
}

EXPORT const char *openslide_get_error(slide_t *slide) { return slide->error; }
EXPORT void openslide_close(slide_t *slide) { free(slide); }

EXPORT int32_t openslide_get_level_count(slide_t *slide) { return openslide_get_error(slide) ? -1 : 1; }

EXPORT void openslide_get_level_dimensions(slide_t *slide, int32_t level, int64_t *w, int64_t *h) {
    const bool ok = openslide_get_error(slide) == NULL && level == 0;
    *w = ok ? 8 : -1;
    *h = ok ? 4 : -1;
}

EXPORT void openslide_get_level0_dimensions(slide_t *slide, int64_t *w, int64_t *h) {
    openslide_get_level_dimensions(slide, 0, w, h);
}

EXPORT double openslide_get_level_downsample(slide_t *slide, int32_t level) {
    return openslide_get_level_count(slide) > level && level >= 0 ? 1.0 : -1.0;
}

EXPORT int32_t openslide_get_best_level_for_downsample(slide_t *slide, double downsample) {
    (void)downsample;
    return openslide_get_level_count(slide) > 0 ? 0 : -1;
}

EXPORT void openslide_read_region(slide_t *slide, uint32_t *dest, int64_t x, int64_t y, int32_t level, int64_t w,
                                  int64_t h) {
    (void)slide, (void)x, (void)y, (void)level;
    for (int64_t i = 0; dest && i < w * h; ++i)
        dest[i] = 0xff0000ffu;
}

EXPORT const char *const *openslide_get_property_names(slide_t *slide) {
    return openslide_get_error(slide) ? kNoNames : kNames;
}

EXPORT const char *openslide_get_property_value(slide_t *slide, const char *name) {
    if (strcmp(name, kNames[0]) == 0)
        return slide->capacity;
    return strcmp(name, kNames[1]) == 0 ? "double" : NULL;
}

EXPORT const char *const *openslide_get_associated_image_names(slide_t *slide) {
    (void)slide;
    return kNoNames;
}

EXPORT void openslide_get_associated_image_dimensions(slide_t *slide, const char *name, int64_t *w, int64_t *h) {
    (void)slide, (void)name;
    *w = *h = -1;
}

EXPORT void openslide_read_associated_image(slide_t *slide, const char *name, uint32_t *dest) {
    (void)slide, (void)name, (void)dest;
}

EXPORT int64_t openslide_get_icc_profile_size(slide_t *slide) { return openslide_get_error(slide) ? -1 : 4; }

EXPORT void openslide_read_icc_profile(slide_t *slide, void *dest) {
    (void)slide;
    memcpy(dest, "ICC!", 4);
}

EXPORT int64_t openslide_get_associated_image_icc_profile_size(slide_t *slide, const char *name) {
    (void)slide, (void)name;
    return -1;
}

EXPORT void openslide_read_associated_image_icc_profile(slide_t *slide, const char *name, void *dest) {
    (void)slide, (void)name, (void)dest;
}

EXPORT cache_t *openslide_cache_create(size_t capacity) {
    cache_t *cache = malloc(sizeof *cache);
    cache->magic = kCacheMagic;
    cache->capacity = capacity;
    return cache;
}

/* Only a cache of its own: anything else is an error, as a real library
   would crash on it. */
EXPORT void openslide_set_cache(slide_t *slide, cache_t *cache) {
    if (cache == NULL || cache->magic != kCacheMagic)
        slide->error = "set_cache: not a cache of this library";
    else
        snprintf(slide->capacity, sizeof slide->capacity, "%zu", cache->capacity);
}

EXPORT void openslide_cache_release(cache_t *cache) { free(cache); }

EXPORT const char *openslide_get_version(void) { return "4.0.0-double"; }
