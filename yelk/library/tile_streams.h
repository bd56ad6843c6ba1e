/*
 * Copying one stored tile stream out of an open slide.
 */
#ifndef TQF_TILE_STREAMS_H
#define TQF_TILE_STREAMS_H

#include "open_slide.h"

namespace tqf::library {

// Copies the stream of the tile whose top-left pixel is (x, y) on the level
// addressed by `scale` to `buffer` (YELK_TILE_STREAM_CAPACITY bytes) and sets
// *length. Returns a YelkResult. *length is left alone when no tile is stored
// there, and set to 0 when the stream is too long for the buffer or cannot
// be read. Safe to call from several threads on one slide: nothing changes.
int copyTileStream(const OpenSlide &slide, UINT32 scale, INT32 x, INT32 y, char *buffer, UINT32 *length);

}  // namespace tqf::library

#endif  // TQF_TILE_STREAMS_H
