/*
 * Command line of tqf-convert.
 */
#ifndef TQF_CONVERT_OPTIONS_H
#define TQF_CONVERT_OPTIONS_H

#include <string>
#include <vector>

namespace tqf::convert {

struct ConvertOptions {
    std::string input;
    std::string output;
    std::string labelPath;    // empty: a generated label
    std::string previewPath;  // empty: an overview of the input
    int magnification = 40;
    int quality = 90;
    int previewSize = 1024;
    unsigned threads = 0;  // 0: one per core
    bool help = false;
};

struct ParsedCommandLine {
    ConvertOptions options;
    std::string error;  // empty when the command line is sound
};

// Parses the arguments after the program name.
ParsedCommandLine parseCommandLine(const std::vector<std::string> &arguments);

std::string usageText();

}  // namespace tqf::convert

#endif  // TQF_CONVERT_OPTIONS_H
