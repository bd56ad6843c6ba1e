/*
 * Control interface of the recording test double of libyelk.so.1.
 *
 * The double has the library's soname and its six operations; each call is
 * logged as one line, and what the operations do is set per test through the
 * functions below. Native tests link the double directly; Python tests reach
 * the same functions through ctypes once the module has loaded the double.
 *
 * Log lines (handles print as "null" or "slide#N", N counting loads from 1):
 *   yelk_load_image(<path>, <read_all>)
 *   yelk_unload_image(<handle>, <read_all>)
 *   yelk_get_datablock_stream(<handle>, <scale>, <x>, <y>)
 *   yelk_get_datablock_stream_single(<handle>, <scale>, <x>, <y>)
 *   yelk_get_preview_image(<handle>, <file name>)
 *   yelk_get_label_image(<handle>, <file name>)
 */
#ifndef TQF_YELK_DOUBLE_H
#define TQF_YELK_DOUBLE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Forget every setting, the log and the handle count. Loads then fail. */
void yelk_double_reset(void);

/*
 * The next tile call (of either operation) writes one byte to `reached_fd`,
 * then waits until it has read one byte from `release_fd` before it answers:
 * a test holds a read inside the library and acts while it is held.
 */
void yelk_double_hold_next_tile(int reached_fd, int release_fd);

/* Every load not otherwise configured succeeds with this header. */
void yelk_double_set_slide(int width, int height, int scan_scale);
/* Loads of this exact path succeed with this header. */
void yelk_double_add_slide(const char *path, int width, int height, int scan_scale);
/* Loads of this exact path fail (return null). */
void yelk_double_fail_path(const char *path);

/*
 * The tile at (scale, x, y) reports `reported_length` and copies `length`
 * bytes of `data` (at most the 196,608-byte buffer) to the stream buffer.
 */
void yelk_double_set_tile(unsigned scale, int x, int y, const void *data, unsigned length, unsigned reported_length);

/*
 * Every tile position of a pattern level answers with a lossless PNG tile
 * whose pixel at tile-level position (px, py) is yelk_double_pattern_pixel.
 * The level at magnification `scale` covers `width` x `height` tile-level
 * pixels; edge tiles are cut to it. Explicit tiles take precedence.
 */
void yelk_double_set_pattern_level(unsigned scale, int width, int height);
/* Blue, green and red of the pattern at (px, py) of the level at `scale`. */
void yelk_double_pattern_pixel(unsigned scale, int px, int py, unsigned char bgr[3]);

/* Bytes written for preview and label calls on a non-null handle; null pointer: write nothing. */
void yelk_double_set_preview(const void *data, unsigned length);
void yelk_double_set_label(const void *data, unsigned length);

/* The log since the last reset or clear, one call per line. */
const char *yelk_double_log(void);
void yelk_double_clear_log(void);

/* Handles loaded and not yet unloaded. */
int yelk_double_live_handles(void);
/* Unloads of a handle that is not live (a second unload): must stay 0. */
int yelk_double_bad_unloads(void);

#ifdef __cplusplus
}
#endif

#endif /* TQF_YELK_DOUBLE_H */
