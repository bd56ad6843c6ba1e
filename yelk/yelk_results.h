/*
 * Results of the slide library's tile-stream, preview and label operations.
 * 0 means the stream or image was delivered; every other value says why not.
 */
#ifndef TQF_YELK_RESULTS_H
#define TQF_YELK_RESULTS_H

enum YelkResult {
    YELK_OK = 0,
    YELK_BAD_ARGUMENT = 1,    /* null handle, buffer, length or file name */
    YELK_NOT_STORED = 2,      /* no tile at that scale and position; no such image */
    YELK_STREAM_TOO_LONG = 3, /* the stored stream exceeds YELK_TILE_STREAM_CAPACITY */
    YELK_READ_FAILED = 4,     /* the slide file could not be read (truncated or changed) */
    YELK_WRITE_FAILED = 5,    /* the image file could not be written */
    YELK_INTERNAL_ERROR = 6   /* out of memory or another unexpected failure */
};

#endif /* TQF_YELK_RESULTS_H */
