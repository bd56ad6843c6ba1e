/*
 * A .tqf slide written out as a pyramidal tiled TIFF, read through the slide
 * library's operations: each reachable level's JPEG tiles copied as stored
 * (edge tiles padded to 256 x 256 in the coefficient domain), resolution
 * tags from the slide's micrometres per pixel, and the label and preview as
 * extra pages.
 */
#ifndef TQF_CONVERT_TIFF_EXPORT_H
#define TQF_CONVERT_TIFF_EXPORT_H

#include <cstdint>
#include <functional>
#include <string>

namespace tqf::convert {

struct TiffExportResult {
    std::string error;  // empty on success; names the slide or the output and the place
    uint64_t fileSize = 0;
    int levels = 0;
    uint64_t tiles = 0;
    uint64_t paddedTiles = 0;          // edge tiles widened to a full tile
    uint64_t reinterpolatedTiles = 0;  // of those, tiles whose last column or row decodes differently
    bool ok() const { return error.empty(); }
};

// Tiles written so far and the total; called on the exporting thread.
using ExportProgress = std::function<void(uint64_t done, uint64_t total)>;

// Writes `slidePath` to `outputPath` (replaced only when complete; on
// failure nothing is left there). Scratch files for the label and preview
// go to a private folder under $TMPDIR (or /tmp), removed afterwards.
TiffExportResult exportTiff(const std::string &slidePath, const std::string &outputPath,
                            const ExportProgress &progress = {});

}  // namespace tqf::convert

#endif  // TQF_CONVERT_TIFF_EXPORT_H
