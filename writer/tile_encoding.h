/*
 * Parallel encoding of one pyramid level into tile streams, handed over in
 * order so the file can be written as the tiles come.
 */
#ifndef TQF_TILE_ENCODING_H
#define TQF_TILE_ENCODING_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tqf::writer {

struct TileEncodingSettings {
    int quality = 90;
    size_t streamCapacity = 0;  // no stream may be longer
    unsigned threads = 1;
};

// Receives tile `index` (row-major) and its stream; false stops the encoding.
using TileSink = std::function<bool(size_t index, const std::vector<uint8_t> &stream)>;

// Cuts the level into 256-pixel tiles (smaller at the right and bottom
// edges), encodes them on `threads` workers and passes each to `sink` on the
// calling thread, in row-major order. At most a few tiles per worker wait
// encoded at any time, so memory stays bounded whatever the level's size.
// False with `error` set when a tile cannot be encoded or the sink refuses.
bool encodeLevelTiles(const cv::Mat &level, const TileEncodingSettings &settings, const TileSink &sink,
                      std::string &error);

}  // namespace tqf::writer

#endif  // TQF_TILE_ENCODING_H
