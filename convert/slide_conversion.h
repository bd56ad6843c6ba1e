/*
 * A source converted into a slide band by band: the source's rows are read
 * on several threads while the writer encodes the rows before them.
 */
#ifndef TQF_CONVERT_SLIDE_CONVERSION_H
#define TQF_CONVERT_SLIDE_CONVERSION_H

#include <string>

#include "band_source.h"
#include "tqf_writer.h"

namespace tqf::convert {

// Reads `source` top to bottom in bands of a tile row and writes it to
// `outputPath`. `readers` threads read a band's parts at once where the
// source allows it. On failure nothing is left at `outputPath` and the
// result's error names the source and the place, or the output ("cannot
// write 'OUTPUT': ..."), and what went wrong.
SlideWriteResult convertSource(BandSource &source, const std::string &outputPath, const SlideWriteOptions &options,
                               unsigned readers, SlideProgress progress);

}  // namespace tqf::convert

#endif  // TQF_CONVERT_SLIDE_CONVERSION_H
