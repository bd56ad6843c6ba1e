/*
 * tqf-convert: converts an image file into a .tqf slide.
 */
#include "convert_options.h"
#include "interruption.h"
#include "tqf_writer.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>

namespace {

constexpr const char *kProgram = "tqf-convert";

// Reads an image file, or says why it cannot be read.
bool readImage(const std::string &path, const char *what, cv::Mat &image, std::string &error)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        error = std::string("cannot read the ") + what + " '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = std::string("the ") + what + " '" + path + "' is not a regular file";
        return false;
    }
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

int fail(const std::string &message, int status)
{
    std::cerr << kProgram << ": " << message << '\n';
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
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
    tqf::SlideWriteOptions writeOptions;
    writeOptions.scanMagnification = options.magnification;
    writeOptions.jpegQuality = options.quality;
    writeOptions.previewMaxSide = options.previewSize;
    writeOptions.threads = options.threads;
    std::string error;
    if (!options.labelPath.empty() && !readImage(options.labelPath, "label image", writeOptions.label, error))
        return fail(error, 1);
    if (!options.previewPath.empty() && !readImage(options.previewPath, "preview image", writeOptions.preview, error))
        return fail(error, 1);
    cv::Mat image;
    if (!readImage(options.input, "input image", image, error))
        return fail(error, 1);
    const int width = image.cols;
    const int height = image.rows;

    const tqf::SlideWriteResult result = tqf::writeSlide(std::move(image), options.output, writeOptions);
    if (!result.ok())
        return fail("cannot write '" + options.output + "': " + result.error, 1);
    std::cout << "wrote " << options.output << ": " << width << " x " << height << " pixels at "
              << options.magnification << "x, " << result.levelCount << " levels, " << result.tileCount
              << " tiles, " << result.fileSize << " bytes\n";
    return 0;
}
