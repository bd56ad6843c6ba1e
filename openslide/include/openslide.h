/*
 * The OpenSlide C interface as libopenslide.so.0 (OpenSlide 3.4.1's
 * functions, with OpenSlide 4's ICC profile and cache functions besides)
 * and libopenslide.so.1 (OpenSlide 4.0's functions) of this project provide
 * it, declared from OpenSlide's documentation. A program written for
 * OpenSlide compiles against this header and runs with either library or
 * with OpenSlide itself.
 *
 * Errors: once a call on a slide fails, the slide is in an error state for
 * good: openslide_get_error() returns the message (naming the file and the
 * cause), every other call returns harmlessly (-1, NULL, an empty list, a
 * cleared region) and only openslide_close() is still of use.
 *
 * Threads: every call but openslide_close() may be made from many threads
 * at once on one slide.
 */
#ifndef TQF_OPENSLIDE_H
#define TQF_OPENSLIDE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _openslide openslide_t;
typedef struct _openslide_cache openslide_cache_t;

/* Property names every slide of a format may have. */
#define OPENSLIDE_PROPERTY_NAME_COMMENT "openslide.comment"
#define OPENSLIDE_PROPERTY_NAME_VENDOR "openslide.vendor"
#define OPENSLIDE_PROPERTY_NAME_QUICKHASH1 "openslide.quickhash-1"
#define OPENSLIDE_PROPERTY_NAME_BACKGROUND_COLOR "openslide.background-color"
#define OPENSLIDE_PROPERTY_NAME_OBJECTIVE_POWER "openslide.objective-power"
#define OPENSLIDE_PROPERTY_NAME_MPP_X "openslide.mpp-x"
#define OPENSLIDE_PROPERTY_NAME_MPP_Y "openslide.mpp-y"
#define OPENSLIDE_PROPERTY_NAME_BOUNDS_X "openslide.bounds-x"
#define OPENSLIDE_PROPERTY_NAME_BOUNDS_Y "openslide.bounds-y"
#define OPENSLIDE_PROPERTY_NAME_BOUNDS_WIDTH "openslide.bounds-width"
#define OPENSLIDE_PROPERTY_NAME_BOUNDS_HEIGHT "openslide.bounds-height"
#define OPENSLIDE_PROPERTY_NAME_ICC_SIZE "openslide.icc-size"

/* The format's name ("tqf", "aperio", "generic-tiff" ...), or NULL for a
   file no format recognises. Does not open the slide. */
const char *openslide_detect_vendor(const char *filename);

/* The slide, or NULL for a file no format recognises (also a missing
   file). A recognised file that cannot be read gives a slide in the error
   state. */
openslide_t *openslide_open(const char *filename);

/* Levels, full resolution first: -1 (or -1.0, -1 x -1) after an error or
   for a level out of range. */
int32_t openslide_get_level_count(openslide_t *osr);
void openslide_get_level0_dimensions(openslide_t *osr, int64_t *w, int64_t *h);
void openslide_get_level_dimensions(openslide_t *osr, int32_t level, int64_t *w, int64_t *h);
double openslide_get_level_downsample(openslide_t *osr, int32_t level);
/* The level with the largest downsample not above `downsample`; 0 when none
   is. */
int32_t openslide_get_best_level_for_downsample(openslide_t *osr, double downsample);

/* w x h pixels of `level` whose top-left corner lies at (x, y) of level 0,
   into dest (w * h premultiplied ARGB words, rows without gaps).
   Transparent (0) outside the slide and for a level the slide does not
   have; all 0 after an error. A negative w or h is an error. */
void openslide_read_region(openslide_t *osr, uint32_t *dest, int64_t x, int64_t y, int32_t level, int64_t w, int64_t h);

/* Releases the slide; NULL does nothing. */
void openslide_close(openslide_t *osr);

/* The message of the error that put the slide in the error state, or NULL. */
const char *openslide_get_error(openslide_t *osr);

/* NULL-terminated, sorted; empty after an error. The strings belong to the
   slide. */
const char *const *openslide_get_property_names(openslide_t *osr);
const char *openslide_get_property_value(openslide_t *osr, const char *name);

/* Small images besides the slide's levels ("label", "macro"). */
const char *const *openslide_get_associated_image_names(openslide_t *osr);
void openslide_get_associated_image_dimensions(openslide_t *osr, const char *name, int64_t *w, int64_t *h);
void openslide_read_associated_image(openslide_t *osr, const char *name, uint32_t *dest);

/* ICC colour profiles: their size in bytes (0 for none, -1 after an error)
   and their bytes. */
int64_t openslide_get_icc_profile_size(openslide_t *osr);
void openslide_read_icc_profile(openslide_t *osr, void *dest);
int64_t openslide_get_associated_image_icc_profile_size(openslide_t *osr, const char *name);
void openslide_read_associated_image_icc_profile(openslide_t *osr, const char *name, void *dest);

/* A decoded-tile budget of `capacity` bytes for the slides it is given to;
   release it when no longer needed (slides keep what they were given). */
openslide_cache_t *openslide_cache_create(size_t capacity);
void openslide_set_cache(openslide_t *osr, openslide_cache_t *cache);
void openslide_cache_release(openslide_cache_t *cache);

/* The OpenSlide version whose interface the library provides. */
const char *openslide_get_version(void);

/* OpenSlide 3's older names, in libopenslide.so.0 only. */
bool openslide_can_open(const char *filename);
int32_t openslide_get_layer_count(openslide_t *osr);
void openslide_get_layer0_dimensions(openslide_t *osr, int64_t *w, int64_t *h);
void openslide_get_layer_dimensions(openslide_t *osr, int32_t layer, int64_t *w, int64_t *h);
double openslide_get_layer_downsample(openslide_t *osr, int32_t layer);
int32_t openslide_get_best_layer_for_downsample(openslide_t *osr, double downsample);
const char *openslide_get_comment(openslide_t *osr);
int openslide_give_prefetch_hint(openslide_t *osr, int64_t x, int64_t y, int32_t level, int64_t w, int64_t h);
void openslide_cancel_prefetch_hint(openslide_t *osr, int prefetch_id);

#ifdef __cplusplus
}
#endif

#endif /* TQF_OPENSLIDE_H */
