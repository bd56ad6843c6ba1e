#include "convert_options.h"

#include <cerrno>
#include <cstdlib>

namespace tqf::convert {

namespace {

constexpr const char *kTqfSuffix = ".tqf";
constexpr const char *kTiffSuffixes[] = {".tif", ".tiff", ".TIF", ".TIFF"};
// Coarser than a millimetre per pixel is no microscope's.
constexpr double kLargestMicronsPerPixel = 1000;

bool endsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A whole decimal number within [low, high], or an error naming the option.
std::string parseNumber(const std::string &option, const std::string &text, long low, long high, long &value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return option + ": '" + text + "' is not a whole number";
    errno = 0;
    value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < low || value > high)
        return option + ": " + text + " is outside " + std::to_string(low) + ".." + std::to_string(high);
    return {};
}

// A positive decimal number up to `high`, or an error naming the option.
std::string parsePositive(const std::string &option, const std::string &text, double high, double &value) {
    char *end = nullptr;
    errno = 0;
    value = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || text.find_first_of("xXnNiI") != std::string::npos)
        return option + ": '" + text + "' is not a number";
    if (errno == ERANGE || !(value > 0) || value > high)
        return option + ": " + text + " is outside (0, " + std::to_string(static_cast<int>(high)) + "]";
    return {};
}

struct ValueOption {
    const char *shortName;
    const char *longName;
};
constexpr ValueOption kMagnification{"-m", "--magnification"};
constexpr ValueOption kQuality{"-q", "--quality"};
constexpr ValueOption kLabel{"-l", "--label"};
constexpr ValueOption kPreview{"-p", "--preview"};
constexpr ValueOption kPreviewSize{nullptr, "--preview-size"};
constexpr ValueOption kThreads{"-j", "--threads"};
constexpr ValueOption kMicronsPerPixel{nullptr, "--mpp"};
constexpr ValueOption kValueOptions[] = {kMagnification, kQuality, kLabel,          kPreview,
                                         kPreviewSize,   kThreads, kMicronsPerPixel};

bool sameOption(const ValueOption &a, const ValueOption &b) { return a.longName == b.longName; }

std::string applyValue(const ValueOption &option, const std::string &value, ConvertOptions &options) {
    long number = 0;
    std::string problem;
    if (sameOption(option, kLabel)) {
        if (value.empty())
            return "--label: no file name given";
        options.labelPath = value;
    } else if (sameOption(option, kPreview)) {
        if (value.empty())
            return "--preview: no file name given";
        options.previewPath = value;
    } else if (sameOption(option, kMagnification)) {
        if ((problem = parseNumber(option.longName, value, 1, 1000, number)).empty()) {
            options.magnification = static_cast<int>(number);
            options.magnificationGiven = true;
        }
    } else if (sameOption(option, kMicronsPerPixel)) {
        double microns = 0;
        if ((problem = parsePositive(option.longName, value, kLargestMicronsPerPixel, microns)).empty())
            options.micronsPerPixel = microns;
    } else if (sameOption(option, kQuality)) {
        if ((problem = parseNumber(option.longName, value, 1, 100, number)).empty())
            options.quality = static_cast<int>(number);
    } else if (sameOption(option, kPreviewSize)) {
        if ((problem = parseNumber(option.longName, value, 1, 4096, number)).empty())
            options.previewSize = static_cast<int>(number);
    } else if (sameOption(option, kThreads)) {
        if ((problem = parseNumber(option.longName, value, 1, 256, number)).empty())
            options.threads = static_cast<unsigned>(number);
    }
    return problem;
}

// The export copies a slide as it is: the options that shape a new slide
// have nothing to act on there.
std::string exportConflicts(const std::vector<std::string> &arguments) {
    for (const std::string &argument : arguments) {
        if (argument == "--")
            break;
        const std::string name = argument.substr(0, argument.find('='));
        for (const ValueOption &option : kValueOptions) {
            if (sameOption(option, kThreads))
                continue;
            if (name == option.longName || (option.shortName != nullptr && name == option.shortName))
                return std::string("--export-tiff copies the slide as it is; ") + option.longName + " does not apply";
        }
    }
    return {};
}

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string> &arguments) {
    ParsedCommandLine parsed;
    ConvertOptions &options = parsed.options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            options.help = true;
            return parsed;
        }
        if (argument == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (argument == "--export-tiff") {
            options.exportTiff = true;
            continue;
        }
        if (argument == "--reencode") {
            options.reencode = true;
            continue;
        }
        // "--name value", "--name=value" or "-x value".
        const size_t equals = argument.find('=');
        const std::string name = argument.rfind("--", 0) == 0 ? argument.substr(0, equals) : argument;
        const ValueOption *match = nullptr;
        for (const ValueOption &option : kValueOptions)
            if (name == option.longName || (option.shortName != nullptr && name == option.shortName))
                match = &option;
        if (match == nullptr) {
            parsed.error = "unknown option '" + argument + "'";
            return parsed;
        }
        std::string value;
        if (name != argument) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            parsed.error = std::string(match->longName) + " needs a value";
            return parsed;
        }
        parsed.error = applyValue(*match, value, options);
        if (!parsed.error.empty())
            return parsed;
    }
    if (positional.size() != 2) {
        parsed.error = positional.size() < 2 ? "an input image and an output slide are needed"
                                             : "too many arguments: '" + positional[2] + "'";
        return parsed;
    }
    options.input = positional[0];
    options.output = positional[1];
    if (options.exportTiff) {
        parsed.error = exportConflicts(arguments);
        if (parsed.error.empty() && options.reencode)
            parsed.error = "--export-tiff copies the slide as it is; --reencode does not apply";
        bool tiff = false;
        for (const char *suffix : kTiffSuffixes)
            tiff = tiff || endsWith(options.output, suffix);
        if (parsed.error.empty() && !tiff)
            parsed.error = "the output '" + options.output + "' does not end in \".tif\" or \".tiff\"";
    } else if (!endsWith(options.output, kTqfSuffix)) {
        parsed.error = "the output '" + options.output + "' does not end in \".tqf\"";
    }
    return parsed;
}

std::string usageText() {
    return "Usage: tqf-convert [OPTIONS] INPUT OUTPUT.tqf\n"
           "       tqf-convert --export-tiff [--quiet] SLIDE.tqf OUTPUT.tiff\n"
           "Converts a slide or image into a tiled slide: 256-pixel JPEG tiles at the scan\n"
           "magnification and at every halved level, with preview and label images. INPUT is\n"
           "any slide OpenSlide reads (Aperio SVS, Hamamatsu NDPI, MIRAX, Leica SCN, generic\n"
           "tiled TIFF, ...), any tiled or striped TIFF, or any image OpenCV reads. Slides and\n"
           "TIFF files are read in bands, so memory stays bounded whatever their size; other\n"
           "images are decoded whole. The source's objective power and microns per pixel\n"
           "become the slide's magnification and resolution, its label and macro images the\n"
           "slide's label and preview, its thumbnail the slide's; transparent areas become\n"
           "white. Every property of the source is kept in the slide (readers show it as\n"
           "source.NAME), and its date becomes the slide's scan time.\n"
           "\n"
           "Levels of an Aperio SVS or a tiled TIFF held as 256-pixel YCbCr JPEG tiles of a\n"
           "slide level's size are copied tile for tile, not encoded again: they read exactly\n"
           "as OpenSlide reads the source. The other levels are made from the level above\n"
           "and encoded at --quality; the summary says which levels were copied.\n"
           "\n"
           "With --export-tiff, writes the slide as a pyramidal tiled TIFF that OpenSlide,\n"
           "libvips and QuPath read, copying every reachable level's JPEG tiles as stored\n"
           "(no re-encoding), with resolution tags and the label and preview as extra pages.\n"
           "\n"
           "Options:\n"
           "  -m, --magnification N  scan magnification of INPUT, 1..1000 (default: the\n"
           "                         source's objective power, else 40 with a warning)\n"
           "      --mpp X            micrometres per pixel of INPUT (default: the source's,\n"
           "                         else the nominal 10 / magnification)\n"
           "  -q, --quality N        JPEG quality, 1..100 (default 90)\n"
           "  -l, --label FILE       label image (default: the source's label, else a card\n"
           "                         with the file name)\n"
           "  -p, --preview FILE     preview image (default: the source's macro image, else\n"
           "                         an overview of INPUT)\n"
           "      --preview-size N   longer side of the generated preview, 1..4096 (default 1024)\n"
           "  -j, --threads N        encoder threads, 1..256 (default: one per core)\n"
           "      --reencode         encode every level at --quality, copying no tiles\n"
           "      --export-tiff      export SLIDE.tqf to OUTPUT.tiff (.tif) instead\n"
           "      --quiet            no progress and no summary; warnings and errors only\n"
           "  -h, --help             show this help\n"
           "\n"
           "Progress goes to standard error: a line that updates itself on a terminal,\n"
           "one summary line otherwise. Exit status: 0 done, 1 failed (nothing is left\n"
           "at OUTPUT), 2 bad command line, 128 + N interrupted by signal N.\n";
}

}  // namespace tqf::convert
