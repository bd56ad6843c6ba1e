#include "convert_options.h"

#include <cerrno>
#include <cstdlib>

namespace tqf::convert {

namespace {

constexpr const char *kTqfSuffix = ".tqf";

bool endsWith(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A whole decimal number within [low, high], or an error naming the option.
std::string parseNumber(const std::string &option, const std::string &text, long low, long high, long &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return option + ": '" + text + "' is not a whole number";
    errno = 0;
    value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < low || value > high)
        return option + ": " + text + " is outside " + std::to_string(low) + ".." + std::to_string(high);
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
constexpr ValueOption kValueOptions[] = {kMagnification, kQuality, kLabel, kPreview, kPreviewSize, kThreads};

bool sameOption(const ValueOption &a, const ValueOption &b) { return a.longName == b.longName; }

std::string applyValue(const ValueOption &option, const std::string &value, ConvertOptions &options)
{
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
        if ((problem = parseNumber(option.longName, value, 1, 1000, number)).empty())
            options.magnification = static_cast<int>(number);
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

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string> &arguments)
{
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
    if (!endsWith(options.output, kTqfSuffix))
        parsed.error = "the output '" + options.output + "' does not end in \".tqf\"";
    return parsed;
}

std::string usageText()
{
    return "Usage: tqf-convert [OPTIONS] INPUT OUTPUT.tqf\n"
           "Converts an image that OpenCV reads into a tiled slide: 256-pixel JPEG tiles at\n"
           "the scan magnification and at every halved level, with preview and label images.\n"
           "\n"
           "Options:\n"
           "  -m, --magnification N  scan magnification of INPUT, 1..1000 (default 40)\n"
           "  -q, --quality N        JPEG quality, 1..100 (default 90)\n"
           "  -l, --label FILE       label image (default: a card with the file name)\n"
           "  -p, --preview FILE     preview image (default: an overview of INPUT)\n"
           "      --preview-size N   longer side of the generated preview, 1..4096 (default 1024)\n"
           "  -j, --threads N        encoder threads, 1..256 (default: one per core)\n"
           "  -h, --help             show this help\n";
}

}  // namespace tqf::convert
