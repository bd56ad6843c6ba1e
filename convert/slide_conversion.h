/*
 * A source converted into a slide band by band: the source's rows are read
 * on several threads while the writer encodes the rows before them.
 */
#ifndef TQF_CONVERT_SLIDE_CONVERSION_H
#define TQF_CONVERT_SLIDE_CONVERSION_H

#include <string>

#include "band_source.h"
#include "jpeg_level_copy.h"
#include "tqf_writer.h"

namespace tqf::convert {

// What became of each level of the slide.
struct LevelOutcome {
    bool copied = false;          // the source's tiles stored as they are
    uint64_t reencodedTiles = 0;  // of a copied level: tiles that had to be encoded again
};

// Reads `source` top to bottom in bands of a tile row and writes it to
// `outputPath`; the levels `copies` plans are copied from the source's
// tiles instead (level 0 then read from them, not from `source`), and the
// level below each is made from their decoded tiles. `readers` threads
// read a band's parts, or a copied tile row's tiles, at once where the
// source allows it. On failure nothing is left at `outputPath` and the
// result's error names the source and the place, or the output ("cannot
// write 'OUTPUT': ..."), and what went wrong.
SlideWriteResult convertSource(BandSource &source, const std::string &outputPath, const SlideWriteOptions &options,
                               unsigned readers, SlideProgress progress, const CopyPlan &copies = {},
                               std::vector<LevelOutcome> *outcomes = nullptr);

}  // namespace tqf::convert

#endif  // TQF_CONVERT_SLIDE_CONVERSION_H
