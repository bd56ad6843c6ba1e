/*
 * A C program written as any OpenSlide client is, against the project's
 * own declarations, built once with libopenslide.so.0 and once with
 * libopenslide.so.1 (OPENSLIDE_MAJOR 3 or 4). It checks the library on a
 * .tqf slide, on the same pixels as a TIFF (which must still go to the
 * system's OpenSlide, in the same process), on a damaged slide and on bad
 * arguments, and prints each failed check.
 *
 *   openslide-check-N SLIDE.tqf SAME.tiff DAMAGED.tqf
 *   TQF_SYSTEM_OPENSLIDE=DOUBLE.so openslide-check-N --system-double X.double SLIDE.tqf
 *
 * The second form checks that files go to a system OpenSlide 4 (the double
 * of system_openslide_double.c) with its ICC profiles and caches.
 *
 * Exit status 0 when every check passed.
 */
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "openslide.h"

static int g_failures = 0;
static int g_checks = 0;

#define CHECK(condition, ...)                                                                                          \
    do {                                                                                                               \
        ++g_checks;                                                                                                    \
        if (!(condition)) {                                                                                            \
            ++g_failures;                                                                                              \
            fprintf(stderr, "%s:%d: failed: %s: ", __FILE__, __LINE__, #condition);                                    \
            fprintf(stderr, __VA_ARGS__);                                                                              \
            fputc('\n', stderr);                                                                                       \
        }                                                                                                              \
    } while (0)

static uint32_t *pixels(int64_t w, int64_t h, uint32_t fill) {
    uint32_t *buffer = malloc((size_t)(w * h + 1) * 4);
    for (int64_t i = 0; i < w * h + 1; ++i)
        buffer[i] = fill;
    return buffer;
}

static int all_words(const uint32_t *words, int64_t count, uint32_t mask, uint32_t value) {
    for (int64_t i = 0; i < count; ++i)
        if ((words[i] & mask) != value)
            return 0;
    return 1;
}

static int sorted_names(const char *const *names) {
    for (int i = 0; names[i] && names[i + 1]; ++i)
        if (strcmp(names[i], names[i + 1]) >= 0)
            return 0;
    return 1;
}

static int count_names(const char *const *names) {
    int n = 0;
    while (names[n])
        ++n;
    return n;
}

static void check_geometry(openslide_t *slide) {
    const int32_t levels = openslide_get_level_count(slide);
    CHECK(levels >= 3, "%d levels", levels);
    int64_t w0 = 0, h0 = 0;
    openslide_get_level0_dimensions(slide, &w0, &h0);
    for (int32_t level = 0; level < levels; ++level) {
        int64_t w = 0, h = 0;
        openslide_get_level_dimensions(slide, level, &w, &h);
        const double downsample = openslide_get_level_downsample(slide, level);
        CHECK(w > 0 && h > 0 && llabs(w - (int64_t)ceil(w0 / downsample)) <= 1, "level %d is %lld x %lld", level,
              (long long)w, (long long)h);
        char key[64];
        snprintf(key, sizeof key, "openslide.level[%d].width", level);
        const char *width = openslide_get_property_value(slide, key);
        CHECK(width && atoll(width) == w, "%s = %s", key, width ? width : "(null)");
        CHECK(openslide_get_best_level_for_downsample(slide, downsample) == level, "best level at %g", downsample);
        CHECK(openslide_get_best_level_for_downsample(slide, downsample * 1.5) == level, "best level at %g",
              downsample * 1.5);
    }
    /* Out of range, and the cases OpenSlide answers with level 0 or the last. */
    const int32_t out_of_range[] = {-1, levels, 1 << 30};
    for (size_t i = 0; i < sizeof out_of_range / sizeof *out_of_range; ++i) {
        int64_t w = 7, h = 7;
        openslide_get_level_dimensions(slide, out_of_range[i], &w, &h);
        CHECK(w == -1 && h == -1, "level %d is %lld x %lld", out_of_range[i], (long long)w, (long long)h);
        CHECK(openslide_get_level_downsample(slide, out_of_range[i]) == -1.0, "downsample of level %d",
              out_of_range[i]);
    }
    const double low[] = {0.0, 0.5, -3.0, NAN};
    for (size_t i = 0; i < sizeof low / sizeof *low; ++i)
        CHECK(openslide_get_best_level_for_downsample(slide, low[i]) == 0, "best level at %g", low[i]);
    CHECK(openslide_get_best_level_for_downsample(slide, 1e300) == levels - 1, "best level at 1e300");
    CHECK(openslide_get_best_level_for_downsample(slide, INFINITY) == levels - 1, "best level at infinity");
    openslide_get_level_dimensions(slide, 0, NULL, NULL); /* no out-pointers: nothing written, no crash */
    CHECK(openslide_get_error(slide) == NULL, "%s", openslide_get_error(slide));
}

static void check_properties(openslide_t *slide, const char *path) {
    const char *const *names = openslide_get_property_names(slide);
    CHECK(count_names(names) > 20 && sorted_names(names), "%d property names", count_names(names));
    for (int i = 0; names[i]; ++i)
        CHECK(openslide_get_property_value(slide, names[i]) != NULL, "value of %s", names[i]);
    const struct {
        const char *name, *value;
    } expected[] = {
        {OPENSLIDE_PROPERTY_NAME_VENDOR, "tqf"},
        {OPENSLIDE_PROPERTY_NAME_OBJECTIVE_POWER, "40"},
        {OPENSLIDE_PROPERTY_NAME_BACKGROUND_COLOR, "FFFFFF"},
        {"tqf.scanScale", "40"},
        {OPENSLIDE_PROPERTY_NAME_COMMENT, NULL},
        {"no such property", NULL},
        {"", NULL},
    };
    for (size_t i = 0; i < sizeof expected / sizeof *expected; ++i) {
        const char *value = openslide_get_property_value(slide, expected[i].name);
        CHECK(expected[i].value ? value && strcmp(value, expected[i].value) == 0 : value == NULL, "%s = %s",
              expected[i].name, value ? value : "(null)");
    }
    CHECK(openslide_get_property_value(slide, NULL) == NULL, "a null name");
    CHECK(strcmp(openslide_detect_vendor(path), "tqf") == 0, "vendor of %s", path);
}

/* Regions on the level's pixel grid, inside, across each edge and outside:
   the slide and the TIFF (read by the system's OpenSlide) agree word for
   word, transparent outside, opaque inside. */
static void check_regions_against(openslide_t *slide, openslide_t *tiff) {
    int64_t w0, h0;
    openslide_get_level0_dimensions(slide, &w0, &h0);
    const struct {
        int64_t x, y;
        int32_t level;
        int64_t w, h;
    } regions[] = {
        {0, 0, 0, 300, 200},         {w0 - 100, h0 - 50, 0, 300, 250}, {-50, -40, 0, 120, 90},
        {1000, 500, 1, 400, 300},    {-20, h0 - 100, 1, 100, 100},     {2000, 1500, 2, 300, 200},
        {w0 - 200, -40, 2, 100, 30}, {5000, 5000, 2, 16, 16},          {-1000000000000LL, 0, 0, 8, 8},
    };
    for (size_t i = 0; i < sizeof regions / sizeof *regions; ++i) {
        const int64_t w = regions[i].w, h = regions[i].h;
        uint32_t *ours = pixels(w, h, 0xdeadbeef), *theirs = pixels(w, h, 0x12345678);
        openslide_read_region(slide, ours, regions[i].x, regions[i].y, regions[i].level, w, h);
        openslide_read_region(tiff, theirs, regions[i].x, regions[i].y, regions[i].level, w, h);
        CHECK(memcmp(ours, theirs, (size_t)(w * h * 4)) == 0, "region %zu differs from OpenSlide's", i);
        CHECK(ours[w * h] == 0xdeadbeef, "region %zu wrote past its end", i);
        for (int64_t k = 0; k < w * h; ++k)
            if (ours[k] != 0 && (ours[k] >> 24) != 0xff) {
                CHECK(0, "region %zu: pixel %lld is %08x: neither opaque nor transparent", i, (long long)k, ours[k]);
                break;
            }
        free(ours);
        free(theirs);
    }
    CHECK(openslide_get_error(slide) == NULL && openslide_get_error(tiff) == NULL, "errors after reads");
}

static void check_region_rules(openslide_t *slide) {
    /* A level the slide lacks reads transparent without an error. */
    const int32_t missing[] = {-1, openslide_get_level_count(slide), 1000};
    for (size_t i = 0; i < sizeof missing / sizeof *missing; ++i) {
        uint32_t *buffer = pixels(64, 32, 0xabababab);
        openslide_read_region(slide, buffer, 0, 0, missing[i], 64, 32);
        CHECK(all_words(buffer, 64 * 32, 0xffffffff, 0) && buffer[64 * 32] == 0xabababab, "level %d", missing[i]);
        free(buffer);
    }
    /* Empty regions and no destination: nothing happens. */
    uint32_t word = 0x11111111;
    openslide_read_region(slide, &word, 0, 0, 0, 0, 5);
    openslide_read_region(slide, &word, 0, 0, 0, 5, 0);
    openslide_read_region(slide, NULL, 0, 0, 0, 64, 64);
    CHECK(word == 0x11111111 && openslide_get_error(slide) == NULL, "empty reads");
    /* One region read whole and in four parts: the same words. */
    const int64_t w = 700, h = 500;
    uint32_t *whole = pixels(w, h, 0), *part = pixels(w / 2, h / 2, 0);
    openslide_read_region(slide, whole, 333, 517, 1, w, h);
    for (int q = 0; q < 4; ++q) {
        const int64_t px = (q & 1) * (w / 2), py = (q >> 1) * (h / 2);
        openslide_read_region(slide, part, 333 + 2 * px, 517 + 2 * py, 1, w / 2, h / 2);
        int same = 1;
        for (int64_t y = 0; y < h / 2; ++y)
            same &= memcmp(part + y * (w / 2), whole + (py + y) * w + px, (size_t)(w / 2) * 4) == 0;
        CHECK(same, "quarter %d differs from the whole region", q);
    }
    free(whole);
    free(part);
}

struct thread_read {
    openslide_t *slide;
    int64_t x;
    uint32_t *pixels;
};

static void *read_in_thread(void *arg) {
    struct thread_read *read = arg;
    for (int i = 0; i < 8; ++i)
        openslide_read_region(read->slide, read->pixels, read->x + 97 * i, 211, 0, 256, 256);
    return NULL;
}

/* Four threads reading one slide at once get what one thread gets. */
static void check_threads(openslide_t *slide) {
    pthread_t threads[4];
    struct thread_read reads[4];
    for (int i = 0; i < 4; ++i) {
        reads[i].slide = slide;
        reads[i].x = 50 * i;
        reads[i].pixels = pixels(256, 256, 0);
        pthread_create(&threads[i], NULL, read_in_thread, &reads[i]);
    }
    for (int i = 0; i < 4; ++i) {
        pthread_join(threads[i], NULL);
        uint32_t *alone = pixels(256, 256, 0);
        openslide_read_region(slide, alone, reads[i].x + 97 * 7, 211, 0, 256, 256);
        CHECK(memcmp(alone, reads[i].pixels, 256 * 256 * 4) == 0, "thread %d", i);
        free(alone);
        free(reads[i].pixels);
    }
}

static void check_associated_images(openslide_t *slide) {
    const char *const *names = openslide_get_associated_image_names(slide);
    CHECK(count_names(names) == 2 && strcmp(names[0], "label") == 0 && strcmp(names[1], "macro") == 0,
          "associated images");
    for (int i = 0; names[i]; ++i) {
        int64_t w = -5, h = -5;
        openslide_get_associated_image_dimensions(slide, names[i], &w, &h);
        CHECK(w > 0 && h > 0, "%s is %lld x %lld", names[i], (long long)w, (long long)h);
        uint32_t *image = pixels(w, h, 0);
        openslide_read_associated_image(slide, names[i], image);
        CHECK(all_words(image, w * h, 0xff000000, 0xff000000) && !all_words(image, w * h, 0xffffffff, 0xffffffff),
              "%s: opaque, not all white", names[i]);
        CHECK(openslide_get_associated_image_icc_profile_size(slide, names[i]) == 0, "ICC profile of %s", names[i]);
        free(image);
    }
    int64_t w = 3, h = 3;
    openslide_get_associated_image_dimensions(slide, "thumbnail", &w, &h);
    CHECK(w == -1 && h == -1, "an image the slide lacks");
    uint32_t untouched = 0x5a5a5a5a;
    openslide_read_associated_image(slide, "thumbnail", &untouched);
    openslide_read_associated_image(slide, NULL, &untouched);
    openslide_get_associated_image_dimensions(slide, NULL, &w, &h);
    CHECK(untouched == 0x5a5a5a5a && w == -1, "absent and null names");
    CHECK(openslide_get_associated_image_icc_profile_size(slide, "thumbnail") == -1, "ICC of an absent image");
    CHECK(openslide_get_icc_profile_size(slide) == 0, "a .tqf slide has no ICC profile");
    CHECK(openslide_get_error(slide) == NULL, "%s", openslide_get_error(slide));
}

static void check_cache(openslide_t *slide, openslide_t *tiff) {
    openslide_cache_t *cache = openslide_cache_create(4 << 20);
    CHECK(cache != NULL, "a cache");
    openslide_set_cache(slide, cache);
    openslide_set_cache(tiff, cache);
    openslide_cache_release(cache);
    uint32_t *a = pixels(256, 256, 0), *b = pixels(256, 256, 0);
    openslide_read_region(slide, a, 300, 300, 0, 256, 256);
    openslide_set_cache(slide, NULL);
    openslide_read_region(slide, b, 300, 300, 0, 256, 256);
    CHECK(memcmp(a, b, 256 * 256 * 4) == 0 && openslide_get_error(slide) == NULL, "reads with a cache set");
    free(a);
    free(b);
}

/* An error latches: the first message stays, every call answers harmlessly,
   regions are cleared. */
static void check_error_state(openslide_t *slide, const char *expected_in_message) {
    const char *error = openslide_get_error(slide);
    CHECK(error && strstr(error, expected_in_message), "error %s", error ? error : "(null)");
    CHECK(openslide_get_level_count(slide) == -1, "level count in the error state");
    int64_t w = 0, h = 0;
    openslide_get_level0_dimensions(slide, &w, &h);
    CHECK(w == -1 && h == -1, "dimensions in the error state");
    CHECK(openslide_get_level_downsample(slide, 0) == -1.0, "downsample in the error state");
    CHECK(openslide_get_best_level_for_downsample(slide, 2) == -1, "best level in the error state");
    CHECK(count_names(openslide_get_property_names(slide)) == 0, "property names in the error state");
    CHECK(openslide_get_property_value(slide, OPENSLIDE_PROPERTY_NAME_VENDOR) == NULL, "vendor in the error state");
    CHECK(count_names(openslide_get_associated_image_names(slide)) == 0, "images in the error state");
    CHECK(openslide_get_icc_profile_size(slide) == -1, "ICC size in the error state");
    uint32_t *buffer = pixels(40, 30, 0x77777777);
    openslide_read_region(slide, buffer, 0, 0, 0, 40, 30);
    CHECK(all_words(buffer, 40 * 30, 0xffffffff, 0), "a region read in the error state is cleared");
    free(buffer);
    openslide_read_region(slide, NULL, 0, 0, 0, -1, 3);
    CHECK(openslide_get_error(slide) == error, "a later error does not replace the first");
}

static void check_null_slide(void) {
    CHECK(openslide_open(NULL) == NULL && openslide_detect_vendor(NULL) == NULL, "null file names");
    openslide_close(NULL);
    CHECK(openslide_get_error(NULL) == NULL && openslide_get_level_count(NULL) == -1, "a null slide");
    int64_t w = 1, h = 1;
    openslide_get_level_dimensions(NULL, 0, &w, &h);
    CHECK(w == -1 && h == -1, "dimensions of a null slide");
    CHECK(count_names(openslide_get_property_names(NULL)) == 0, "property names of a null slide");
    uint32_t word = 9;
    openslide_read_region(NULL, &word, 0, 0, 0, 1, 1);
    CHECK(word == 0, "a region of a null slide is cleared");
    openslide_cache_release(NULL);
}

#if OPENSLIDE_MAJOR == 3
static void check_deprecated(openslide_t *slide, const char *path, const char *damaged) {
    CHECK(openslide_can_open(path) && !openslide_can_open(damaged) && !openslide_can_open("/nonexistent.tqf"),
          "can_open");
    CHECK(openslide_get_layer_count(slide) == openslide_get_level_count(slide), "layer count");
    int64_t a, b, c, d;
    openslide_get_layer_dimensions(slide, 1, &a, &b);
    openslide_get_level_dimensions(slide, 1, &c, &d);
    CHECK(a == c && b == d, "layer dimensions");
    openslide_get_layer0_dimensions(slide, &a, &b);
    openslide_get_level0_dimensions(slide, &c, &d);
    CHECK(a == c && b == d, "layer 0 dimensions");
    CHECK(openslide_get_layer_downsample(slide, 2) == openslide_get_level_downsample(slide, 2), "layer downsample");
    CHECK(openslide_get_best_layer_for_downsample(slide, 5) == openslide_get_best_level_for_downsample(slide, 5),
          "best layer");
    CHECK(openslide_get_comment(slide) == NULL, "comment");
    CHECK(openslide_give_prefetch_hint(slide, 0, 0, 0, 10, 10) == 0, "prefetch hint");
    openslide_cancel_prefetch_hint(slide, 0);
}
#endif

/* A system OpenSlide 4 (the double) gets every other file, and our slides
   still read; its ICC profile and caches reach it, and its calls of its own
   functions, which reach this library first, go back to it. */
static int check_system_double(const char *path, const char *tqf_path) {
    CHECK(strcmp(openslide_detect_vendor(path), "double") == 0, "vendor of %s", path);
    openslide_t *slide = openslide_open(path), *tqf = openslide_open(tqf_path);
    CHECK(slide && tqf && !openslide_get_error(slide) && !openslide_get_error(tqf), "opening");
    if (!slide || !tqf)
        return 1;
    int64_t w = 0, h = 0;
    openslide_get_level0_dimensions(slide, &w, &h);
    CHECK(w == 8 && h == 4 && openslide_get_level_count(slide) == 1, "the double's geometry");
    uint32_t pixels[32] = {0};
    openslide_read_region(slide, pixels, 0, 0, 0, 8, 4);
    CHECK(all_words(pixels, 32, 0xffffffff, 0xff0000ff), "the double's pixels");
    unsigned char icc[5] = {0};
    CHECK(openslide_get_icc_profile_size(slide) == 4, "the double's ICC profile size");
    openslide_read_icc_profile(slide, icc);
    CHECK(memcmp(icc, "ICC!", 4) == 0, "the double's ICC profile");
    openslide_cache_t *cache = openslide_cache_create(12345);
    openslide_set_cache(slide, cache);
    openslide_set_cache(tqf, cache);
    openslide_cache_release(cache);
    const char *capacity = openslide_get_property_value(slide, "double.cache-capacity");
    CHECK(capacity && strcmp(capacity, "12345") == 0, "the double's cache holds %s", capacity ? capacity : "(null)");
    CHECK(openslide_get_icc_profile_size(tqf) == 0 && openslide_get_level_count(tqf) >= 3, "the .tqf slide");
    CHECK(openslide_get_error(slide) == NULL && openslide_get_error(tqf) == NULL, "errors");
    openslide_close(slide);
    openslide_close(tqf);
    printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures ? 1 : 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--system-double") == 0)
        return check_system_double(argv[2], argv[3]);
    if (argc != 4) {
        fprintf(stderr, "usage: %s SLIDE.tqf SAME.tiff DAMAGED.tqf | --system-double X.double SLIDE.tqf\n", argv[0]);
        return 2;
    }
    const char *path = argv[1], *tiff_path = argv[2], *damaged_path = argv[3];
    const char *expected_version = OPENSLIDE_MAJOR == 3 ? "3.4.1" : "4.0.0";
    CHECK(strcmp(openslide_get_version(), expected_version) == 0, "version %s", openslide_get_version());

    openslide_t *slide = openslide_open(path);
    CHECK(slide && openslide_get_error(slide) == NULL, "opening %s", path);
    openslide_t *tiff = openslide_open(tiff_path);
    CHECK(tiff && openslide_get_error(tiff) == NULL, "opening %s", tiff_path);
    const char *tiff_vendor = openslide_detect_vendor(tiff_path);
    CHECK(tiff_vendor && strcmp(tiff_vendor, "generic-tiff") == 0, "the TIFF goes to OpenSlide: %s",
          tiff_vendor ? tiff_vendor : "(null)");
    if (!slide || !tiff)
        return 1;
    const char *tiff_own = openslide_get_property_value(tiff, OPENSLIDE_PROPERTY_NAME_VENDOR);
    CHECK(tiff_own && strcmp(tiff_own, "generic-tiff") == 0, "the TIFF's vendor property");
    /* Debian's OpenSlide 3 reads no ICC profile: none, and no error. */
    CHECK(openslide_get_icc_profile_size(tiff) == 0 && openslide_get_error(tiff) == NULL, "the TIFF's ICC profile");

    check_geometry(slide);
    check_properties(slide, path);
    check_regions_against(slide, tiff);
    check_region_rules(slide);
    check_threads(slide);
    check_associated_images(slide);
    check_cache(slide, tiff);
#if OPENSLIDE_MAJOR == 3
    check_deprecated(slide, path, damaged_path);
#endif

    /* Files no format reads: no slide at all, as OpenSlide answers. */
    CHECK(openslide_open("/nonexistent/slide.tqf") == NULL && openslide_detect_vendor("/nonexistent.tqf") == NULL,
          "a missing file");
    CHECK(openslide_open(argv[0]) == NULL, "a program is no slide");

    openslide_t *damaged = openslide_open(damaged_path);
    CHECK(damaged != NULL, "a damaged slide opens in the error state");
    if (damaged) {
        CHECK(strcmp(openslide_detect_vendor(damaged_path), "tqf") == 0, "a damaged slide is still a .tqf");
        check_error_state(damaged, damaged_path);
        openslide_close(damaged);
    }
    /* A bad argument puts a good slide in the error state too. */
    openslide_read_region(slide, NULL, 0, 0, 0, -5, 10);
    check_error_state(slide, "negative width (-5)");
    check_null_slide();

    openslide_close(slide);
    openslide_close(tiff);
    printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures ? 1 : 0;
}
