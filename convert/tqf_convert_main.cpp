/*
 * tqf-convert: converts a slide or image file into a .tqf slide, or a .tqf
 * slide into a pyramidal TIFF (--export-tiff).
 */
#include "band_source.h"
#include "convert_options.h"
#include "interruption.h"
#include "jpeg_level_copy.h"
#include "progress.h"
#include "slide_conversion.h"
#include "tiff_export.h"
#include "tqf_format.h"
#include "tqf_writer.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <iostream>
#include <set>
#include <sys/stat.h>
#include <thread>

#include <opencv2/imgcodecs.hpp>

namespace {

constexpr const char *kProgram = "tqf-convert";
constexpr int kDefaultMagnification = 40;

// Says why a file cannot be an input, or nothing when it can.
std::string checkInputFile(const std::string &path, const char *what) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return std::string("cannot read the ") + what + " '" + path + "': " + std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return std::string("the ") + what + " '" + path + "' is not a regular file";
    return {};
}

// Reads an image file, or says why it cannot be read.
bool readImage(const std::string &path, const char *what, cv::Mat &image, std::string &error) {
    if (!(error = checkInputFile(path, what)).empty())
        return false;
    try {
        image = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception &e) {
        error = std::string("cannot decode the ") + what + " '" + path + "': " + e.what();
        return false;
    }
    if (image.empty()) {
        error = std::string("cannot decode the ") + what + " '" + path +
                "': unreadable, not an image OpenCV knows, or empty";
        return false;
    }
    return true;
}

int fail(const std::string &message, int status) {
    std::cerr << kProgram << ": " << message << '\n';
    return status;
}

void warn(const std::string &message) { std::cerr << kProgram << ": warning: " << message << '\n'; }

// The scan magnification: the option's, the source's objective power, or
// the default with a warning.
int chooseMagnification(const tqf::convert::ConvertOptions &options, const tqf::convert::SourceMetadata &source) {
    if (options.magnificationGiven)
        return options.magnification;
    if (source.objectivePower) {
        const double power = *source.objectivePower;
        const long whole = std::lround(power);
        if (whole >= 1 && whole <= 1000) {
            if (std::fabs(power - static_cast<double>(whole)) > 1e-6)
                warn("'" + options.input + "' gives an objective power of " + std::to_string(power) +
                     "; the slide records " + std::to_string(whole) + "x");
            return static_cast<int>(whole);
        }
        warn("'" + options.input + "' gives an objective power of " + std::to_string(power) +
             ", outside 1..1000; it is not used");
    }
    warn("'" + options.input + "' does not give its magnification; the slide records " +
         std::to_string(kDefaultMagnification) + "x (set it with --magnification)");
    return kDefaultMagnification;
}

std::optional<double> chooseMicronsPerPixel(const tqf::convert::ConvertOptions &options,
                                            const tqf::convert::SourceMetadata &source) {
    if (options.micronsPerPixel)
        return options.micronsPerPixel;
    if (!source.micronsPerPixelX || !(*source.micronsPerPixelX <= 1000))
        return std::nullopt;
    if (source.micronsPerPixelY && std::fabs(*source.micronsPerPixelY / *source.micronsPerPixelX - 1) > 0.01)
        warn("'" + options.input + "' has pixels of " + std::to_string(*source.micronsPerPixelX) + " x " +
             std::to_string(*source.micronsPerPixelY) + " micrometres; the slide records the width");
    return source.micronsPerPixelX;
}

// The source's properties as the slide can keep them: names once, and no
// more than a record holds (the longest values left out, with a warning).
std::vector<std::pair<std::string, std::string>> propertiesToStore(
    const tqf::convert::ConvertOptions &options, const std::vector<std::pair<std::string, std::string>> &properties) {
    std::vector<std::pair<std::string, std::string>> kept;
    std::set<std::string> names;
    uint64_t bytes = 0;
    for (const auto &[name, value] : properties) {
        if (name.empty() || !names.insert(name).second)
            continue;
        kept.emplace_back(name, value);
        bytes += name.size() + value.size() + 2;
    }
    size_t dropped = 0;
    while (bytes > tqf::format::kMaxExtensionRecordBytes) {
        auto longest = std::max_element(kept.begin(), kept.end(),
                                        [](const auto &a, const auto &b) { return a.second.size() < b.second.size(); });
        bytes -= longest->first.size() + longest->second.size() + 2;
        kept.erase(longest);
        ++dropped;
    }
    if (dropped > 0)
        warn("'" + options.input + "' has more property text than a slide keeps; its " + std::to_string(dropped) +
             " longest properties are left out");
    return kept;
}

// "levels 0, 2, 4" (the indices readers see), or "none".
std::string levelList(const std::vector<int> &levels) {
    if (levels.empty())
        return "none";
    std::string text = levels.size() == 1 ? "level " : "levels ";
    for (size_t i = 0; i < levels.size(); ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(levels[i]);
    return text;
}

// Which levels of the slide hold the source's tiles as they were, which were
// encoded, and why pages of the source were not copied.
void reportLevels(const tqf::SlideWriteResult &result, const std::vector<tqf::convert::LevelOutcome> &outcomes,
                  const std::vector<std::string> &notes) {
    std::vector<int> copied, encoded;
    uint64_t reencoded = 0;
    for (int k = 0; k < result.levelCount; ++k) {
        const bool copy = static_cast<size_t>(k) < outcomes.size() && outcomes[static_cast<size_t>(k)].copied;
        (copy ? copied : encoded).push_back(k);
        if (copy)
            reencoded += outcomes[static_cast<size_t>(k)].reencodedTiles;
    }
    std::cout << "  copied from the source's tiles: " << levelList(copied);
    if (!copied.empty())
        std::cout << " (" << result.copiedTileCount << " tiles"
                  << (reencoded > 0 ? ", " + std::to_string(reencoded) + " more encoded again" : std::string()) << ")";
    std::cout << "\n  made and encoded: " << levelList(encoded) << "\n";
    for (const std::string &note : notes)
        std::cout << "  " << note << "\n";
}

int exportSlide(const tqf::convert::ConvertOptions &options) {
    tqf::convert::Progress progress(kProgram, "exporting", options.quiet);
    const tqf::convert::TiffExportResult result = tqf::convert::exportTiff(
        options.input, options.output, [&](uint64_t done, uint64_t total) { progress.update(done, total); });
    if (!result.ok()) {
        progress.interrupt();
        return fail(result.error, 1);
    }
    progress.finish(result.tiles);
    if (!options.quiet)
        std::cout << "wrote " << options.output << ": " << result.levels << " levels, " << result.tiles
                  << " tiles copied (" << result.paddedTiles << " edge tiles padded), " << result.fileSize
                  << " bytes\n";
    return 0;
}

int convertImage(const tqf::convert::ConvertOptions &options) {
    tqf::SlideWriteOptions writeOptions;
    writeOptions.jpegQuality = options.quality;
    writeOptions.previewMaxSide = options.previewSize;
    writeOptions.threads = options.threads;
    std::string error;
    if (!options.labelPath.empty() && !readImage(options.labelPath, "label image", writeOptions.label, error))
        return fail(error, 1);
    if (!options.previewPath.empty() && !readImage(options.previewPath, "preview image", writeOptions.preview, error))
        return fail(error, 1);
    if (!(error = checkInputFile(options.input, "input image")).empty())
        return fail(error, 1);
    std::unique_ptr<tqf::convert::BandSource> source = tqf::convert::openSource(options.input, error);
    if (!source)
        return fail(error, 1);
    const tqf::convert::SourceMetadata &metadata = source->metadata();
    writeOptions.scanMagnification = chooseMagnification(options, metadata);
    writeOptions.micronsPerPixel = chooseMicronsPerPixel(options, metadata);
    if (writeOptions.label.empty())
        writeOptions.label = metadata.label;
    if (writeOptions.preview.empty())
        writeOptions.preview = metadata.macro;
    writeOptions.thumbnail = metadata.thumbnail;
    writeOptions.sourceProperties = propertiesToStore(options, metadata.properties);
    writeOptions.scanTime = metadata.scanTime;

    tqf::convert::CopyPlan copies;
    std::vector<tqf::convert::LevelGeometry> levels;
    for (const tqf::format::Level &level :
         tqf::format::pyramidLevels(source->width(), source->height(), writeOptions.scanMagnification))
        levels.push_back({level.width, level.height, level.magnification});
    if (metadata.copiesTiffLevels && !options.reencode)
        copies = tqf::convert::planCopies(
            options.input, levels,
            [&](int64_t width, int64_t height, int64_t x, int64_t y, cv::Mat &out) {
                return source->readLevel(width, height, x, y, out);
            },
            metadata.drawsMissingTiles ? tqf::convert::MissingTiles::drawnFromFinerLevel
                                       : tqf::convert::MissingTiles::transparent);
    if (!copies.error.empty())
        return fail(copies.error, 1);

    const unsigned readers = options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    tqf::convert::Progress progress(kProgram, "converting", options.quiet);
    std::vector<tqf::convert::LevelOutcome> outcomes;
    const tqf::SlideWriteResult result = tqf::convert::convertSource(
        *source, options.output, writeOptions, readers,
        [&](uint64_t done, uint64_t total) { progress.update(done, total); }, copies, &outcomes);
    if (!result.ok()) {
        progress.interrupt();
        return fail(result.error, 1);
    }
    progress.finish(result.tileCount);
    if (!options.quiet) {
        std::cout << "wrote " << options.output << ": " << source->width() << " x " << source->height() << " pixels at "
                  << writeOptions.scanMagnification << "x, " << result.levelCount << " levels, " << result.tileCount
                  << " tiles, " << result.fileSize << " bytes\n";
        if (metadata.copiesTiffLevels || options.reencode)
            reportLevels(result, outcomes, copies.notes);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Images OpenCV can only decode whole have no size limit here beyond
    // memory; the variable must be set before OpenCV first reads it.
    setenv("CV_IO_MAX_IMAGE_PIXELS", "1099511627776", 0);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const tqf::convert::ParsedCommandLine parsed = tqf::convert::parseCommandLine(arguments);
    if (!parsed.error.empty()) {
        std::cerr << kProgram << ": " << parsed.error << "\nTry '" << kProgram << " --help'.\n";
        return 2;
    }
    const tqf::convert::ConvertOptions &options = parsed.options;
    if (options.help) {
        std::cout << tqf::convert::usageText();
        return 0;
    }
    tqf::convert::removeTemporariesOnInterrupt();
    return options.exportTiff ? exportSlide(options) : convertImage(options);
}
