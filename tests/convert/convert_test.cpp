// tqf-convert: its command line and the program run as a process.
#include "convert_options.h"
#include "process_isolation.h"
#include "slide_fixtures.h"

#include <gtest/gtest.h>

#include <csignal>

#include <opencv2/imgcodecs.hpp>

namespace tqf::testing {
namespace {

using convert::parseCommandLine;
using tqftest::ProgramOutcome;
using tqftest::runProgram;

TEST(ConvertCommandLine, ReadsOptionsInEveryForm)
{
    const auto parsed = parseCommandLine({"-m", "20", "--quality=75", "--label", "l.png", "-p", "p.png",
                                          "--preview-size", "512", "-j", "3", "in.png", "out.tqf"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.magnification, 20);
    EXPECT_EQ(parsed.options.quality, 75);
    EXPECT_EQ(parsed.options.labelPath, "l.png");
    EXPECT_EQ(parsed.options.previewPath, "p.png");
    EXPECT_EQ(parsed.options.previewSize, 512);
    EXPECT_EQ(parsed.options.threads, 3u);
    EXPECT_EQ(parsed.options.input, "in.png");
    EXPECT_EQ(parsed.options.output, "out.tqf");

    const auto defaults = parseCommandLine({"--", "-in.png", "x.tqf"});
    ASSERT_EQ(defaults.error, "");
    EXPECT_EQ(defaults.options.input, "-in.png");
    EXPECT_EQ(defaults.options.magnification, 40);
    EXPECT_EQ(defaults.options.quality, 90);
    EXPECT_TRUE(parseCommandLine({"in.png", "--help"}).options.help);
}

TEST(ConvertCommandLine, RefusesBadArguments)
{
    const struct {
        std::vector<std::string> arguments;
        const char *reason;
    } cases[] = {
        {{}, "an input image and an output slide are needed"},
        {{"in.png"}, "an input image and an output slide are needed"},
        {{"in.png", "out.tqf", "more"}, "too many arguments"},
        {{"in.png", "out.tif"}, "does not end in \".tqf\""},
        {{"in.png", "out.TQF"}, "does not end in \".tqf\""},
        {{"--quality", "abc", "in.png", "out.tqf"}, "'abc' is not a whole number"},
        {{"-q", "0", "in.png", "out.tqf"}, "0 is outside 1..100"},
        {{"-q", "101", "in.png", "out.tqf"}, "101 is outside 1..100"},
        {{"-q", "-5", "in.png", "out.tqf"}, "not a whole number"},
        {{"-m", "99999999999999999999", "in.png", "out.tqf"}, "outside 1..1000"},
        {{"--magnification=0", "in.png", "out.tqf"}, "0 is outside 1..1000"},
        {{"--preview-size=9000", "in.png", "out.tqf"}, "outside 1..4096"},
        {{"-j", "0", "in.png", "out.tqf"}, "outside 1..256"},
        {{"--label=", "in.png", "out.tqf"}, "no file name"},
        {{"in.png", "out.tqf", "-q"}, "needs a value"},
        {{"--fast", "in.png", "out.tqf"}, "unknown option '--fast'"},
        {{"-x", "in.png", "out.tqf"}, "unknown option '-x'"},
    };
    for (const auto &c : cases) {
        const std::string error = parseCommandLine(c.arguments).error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << "got: " << error;
    }
}

TEST(ConvertCommandLine, ReadsTheSourceAndExportOptions)
{
    const auto parsed = parseCommandLine({"--mpp", "0.2527", "--quiet", "in.svs", "out.tqf"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_DOUBLE_EQ(*parsed.options.micronsPerPixel, 0.2527);
    EXPECT_TRUE(parsed.options.quiet);
    EXPECT_FALSE(parsed.options.magnificationGiven);
    EXPECT_TRUE(parseCommandLine({"-m", "40", "in.svs", "out.tqf"}).options.magnificationGiven);
    const auto exported = parseCommandLine({"--export-tiff", "-j", "2", "in.tqf", "out.TIFF"});
    ASSERT_EQ(exported.error, "");
    EXPECT_TRUE(exported.options.exportTiff);

    const struct {
        std::vector<std::string> arguments;
        const char *reason;
    } refused[] = {
        {{"--mpp", "abc", "in.svs", "out.tqf"}, "'abc' is not a number"},
        {{"--mpp", "nan", "in.svs", "out.tqf"}, "'nan' is not a number"},
        {{"--mpp=0", "in.svs", "out.tqf"}, "0 is outside (0, 1000]"},
        {{"--mpp", "1e9", "in.svs", "out.tqf"}, "outside (0, 1000]"},
        {{"--export-tiff", "in.tqf", "out.tqf"}, "does not end in \".tif\" or \".tiff\""},
        {{"--export-tiff", "--preview-size", "9", "in.tqf", "out.tif"}, "--preview-size does not apply"},
    };
    for (const auto &c : refused) {
        const std::string error = parseCommandLine(c.arguments).error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << "got: " << error;
    }
}

// tqf-convert with these arguments; standard output and error together.
ProgramOutcome runConvert(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), TQF_CONVERT_PATH);
    return runProgram(arguments, 120);
}

std::string joined(const std::vector<std::string> &arguments)
{
    std::string line;
    for (const std::string &argument : arguments)
        line += (line.empty() ? "" : " ") + argument;
    return line;
}

TEST(ConvertProgram, ConvertsAnImageWithGivenLabelAndPreview)
{
    TempDirectory directory;
    ASSERT_TRUE(cv::imwrite(directory.file("in.png"), tissueImage(900, 700)));
    ASSERT_TRUE(cv::imwrite(directory.file("label.png"), tissueImage(200, 120)));
    ASSERT_TRUE(cv::imwrite(directory.file("preview.jpg"), tissueImage(90, 70)));
    const ProgramOutcome run = runConvert({"-m", "20", "-q", "80", "--label", directory.file("label.png"), "--preview",
                                           directory.file("preview.jpg"), directory.file("in.png"),
                                           directory.file("out.tqf")});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("900 x 700 pixels at 20x"), std::string::npos) << run.output;
    SlideHandle slide = loadSlide(directory.file("out.tqf"), 0);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->header->scanScale, 20);
    EXPECT_EQ(slide->labelHeader->width, 200u);
    EXPECT_EQ(slide->previewHeader->width, 90u);
    EXPECT_EQ(directory.entries(), (std::vector<std::string>{"in.png", "label.png", "out.tqf", "preview.jpg"}));
}

TEST(ConvertProgram, RefusesBadInputWithAMessageAndNoOutput)
{
    TempDirectory directory;
    ASSERT_TRUE(cv::imwrite(directory.file("in.png"), tissueImage(300, 200)));
    writeFileBytes(directory.file("text.png"), {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    const std::string in = directory.file("in.png");
    const std::string out = directory.file("out.tqf");
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char *message;
    } cases[] = {
        {{}, 2, "an input image and an output slide are needed"},
        {{"--bogus", in, out}, 2, "unknown option"},
        {{"-q", "0", in, out}, 2, "outside 1..100"},
        {{in, directory.file("out.png")}, 2, "does not end in"},
        {{directory.file("missing.png"), out}, 1, "No such file"},
        {{directory.path(), out}, 1, "not a regular file"},
        {{directory.file("text.png"), out}, 1, "cannot decode the input image"},
        {{"--label", directory.file("missing.png"), in, out}, 1, "label image"},
        {{in, directory.file("no-such-dir/out.tqf")}, 1, "cannot create a temporary file"},
    };
    for (const auto &c : cases) {
        const ProgramOutcome run = runConvert(c.arguments);
        EXPECT_EQ(run.status, c.status) << joined(c.arguments) << "\n" << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << joined(c.arguments) << "\n" << run.output;
    }
    EXPECT_EQ(directory.entries(), (std::vector<std::string>{"in.png", "text.png"}));

    const ProgramOutcome help = runConvert({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: tqf-convert"), std::string::npos);
}

// Libraries that start threads when they are loaded (OpenBLAS, through
// OpenCV, does) leave threads that can take a signal before main runs: with
// such a library linked and with one preloaded, as without, a conversion
// interrupted while it writes the slide must clean up. The signal is sent
// while a thread of the converter is held before its first write to the
// slide's temporary file, so it always comes mid-way.
class InterruptedConversion : public ::testing::TestWithParam<const char *> {};

TEST_P(InterruptedConversion, LeavesNoFilesAndSaysSo)
{
    TempDirectory directory;
    ASSERT_TRUE(cv::imwrite(directory.file("in.png"), tissueImage(1200, 900)));
    std::vector<std::string> command = {TQF_SIGNAL_WHILE_WRITING_PATH, "", ".out.tqf.", "/usr/bin/env"};
    if (*GetParam() != '\0') {
        command.push_back(std::string("LD_PRELOAD=") + GetParam());
        // A sanitizer build wants its runtime first in the load order.
        command.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    command.insert(command.end(), {TQF_CONVERT_PATH, directory.file("in.png"), directory.file("out.tqf")});
    const struct {
        const char *name;
        int number;
    } signals[] = {{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
    for (const auto &signal : signals) {
        command[1] = signal.name;
        const ProgramOutcome run = runProgram(command, 120);
        EXPECT_EQ(run.status, 128 + signal.number) << signal.name << "\n" << run.output;
        EXPECT_NE(run.output.find("tqf-convert: interrupted; no slide was written"), std::string::npos)
            << run.output;
        EXPECT_EQ(directory.entries(), std::vector<std::string>{"in.png"}) << signal.name;
    }
}

INSTANTIATE_TEST_SUITE_P(ConvertProgram, InterruptedConversion,
                         ::testing::Values("", TQF_THREAD_AT_LOAD_PATH),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return *info.param ? "WithAThreadStartedAtLoad" : "AsLinked";
                         });

}  // namespace
}  // namespace tqf::testing
