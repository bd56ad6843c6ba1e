/*
 * Command line of tqf-convert.
 */
#ifndef TQF_CONVERT_OPTIONS_H
#define TQF_CONVERT_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

namespace tqf::convert {

struct ConvertOptions {
    std::string input;
    std::string output;
    std::string labelPath;    // empty: a generated label
    std::string previewPath;  // empty: an overview of the input
    int magnification = 40;
    bool magnificationGiven = false;        // false: the source's, or 40 with a warning
    std::optional<double> micronsPerPixel;  // unset: the source's, or the nominal one
    int quality = 90;
    int previewSize = 1024;
    unsigned threads = 0;     // 0: one per core
    bool quiet = false;       // no progress, no summary
    bool exportTiff = false;  // input is a slide, output a pyramidal TIFF
    bool reencode = false;    // encode every level, copying none of the source's tiles
    bool help = false;
};

struct ParsedCommandLine {
    ConvertOptions options;
    std::string error;  // empty when the command line is sound
};

// Parses the arguments after the program name. Outputs must end in ".tqf",
// or with --export-tiff in ".tif" or ".tiff".
ParsedCommandLine parseCommandLine(const std::vector<std::string> &arguments);

std::string usageText();

}  // namespace tqf::convert

#endif  // TQF_CONVERT_OPTIONS_H
