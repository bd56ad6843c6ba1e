// tqf-convert: its command line and the program run as a process.
#include "convert_options.h"
#include "jpeg_level_copy.h"
#include "source_time.h"
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

TEST(ConvertCommandLine, ReadsOptionsInEveryForm) {
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

TEST(ConvertCommandLine, RefusesBadArguments) {
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

TEST(ConvertCommandLine, ReadsTheSourceAndExportOptions) {
    const auto parsed = parseCommandLine({"--mpp", "0.2527", "--quiet", "in.svs", "out.tqf"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_DOUBLE_EQ(*parsed.options.micronsPerPixel, 0.2527);
    EXPECT_TRUE(parsed.options.quiet);
    EXPECT_FALSE(parsed.options.magnificationGiven);
    EXPECT_TRUE(parseCommandLine({"-m", "40", "in.svs", "out.tqf"}).options.magnificationGiven);
    const auto exported = parseCommandLine({"--export-tiff", "-j", "2", "in.tqf", "out.TIFF"});
    ASSERT_EQ(exported.error, "");
    EXPECT_TRUE(exported.options.exportTiff);
    EXPECT_FALSE(parsed.options.reencode);
    EXPECT_TRUE(parseCommandLine({"--reencode", "in.svs", "out.tqf"}).options.reencode);

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
        {{"--export-tiff", "--reencode", "in.tqf", "out.tif"}, "--reencode does not apply"},
    };
    for (const auto &c : refused) {
        const std::string error = parseCommandLine(c.arguments).error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << "got: " << error;
    }
}

// tqf-convert with these arguments; standard output and error together.
ProgramOutcome runConvert(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TQF_CONVERT_PATH);
    return runProgram(arguments, 120);
}

std::string joined(const std::vector<std::string> &arguments) {
    std::string line;
    for (const std::string &argument : arguments)
        line += (line.empty() ? "" : " ") + argument;
    return line;
}

TEST(SourceTime, ComesFromTheSourcesDateFields) {
    using Properties = std::vector<std::pair<std::string, std::string>>;
    const Properties aperio = {{"aperio.Date", "03/14/24"}, {"aperio.Time", "09:26:53"}};
    const auto with = [](Properties properties, const std::string &name, const std::string &value) {
        properties.emplace_back(name, value);
        return properties;
    };
    const int64_t utc = 1710408413;  // 2024-03-14 09:26:53 UTC
    const struct {
        const char *name;
        Properties properties;
        std::optional<int64_t> expected;
    } cases[] = {
        {"Aperio's date and time, no zone: UTC", aperio, utc},
        {"a zone east", with(aperio, "aperio.Time Zone", "GMT+01:00"), utc - 3600},
        {"a zone west without a colon", with(aperio, "aperio.Time Zone", "GMT-0800"), utc + 8 * 3600},
        {"a zone by name: UTC", with(aperio, "aperio.Time Zone", "Pacific Standard Time"), utc},
        {"a year of four digits", {{"aperio.Date", "03/14/2024"}, {"aperio.Time", "09:26:53"}}, utc},
        {"a year of two digits below 70", {{"aperio.Date", "12/31/69"}, {"aperio.Time", "00:00:00"}}, 3155673600},
        {"February 30th", {{"aperio.Date", "02/30/24"}, {"aperio.Time", "09:26:53"}}, std::nullopt},
        {"a date without a time", {{"aperio.Date", "03/14/24"}}, std::nullopt},
        {"the TIFF DateTime tag", {{"tiff.DateTime", "2024:03:14 09:26:53"}}, utc},
        {"Aperio's fields before the tag", with(aperio, "tiff.DateTime", "2001:01:01 00:00:00"), utc},
        {"a tag with more in it", {{"tiff.DateTime", "2024:03:14 09:26:53 local"}}, std::nullopt},
        {"nothing", {{"aperio.AppMag", "20"}}, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(convert::scanTimeOf(c.properties), c.expected) << c.name;
}

TEST(JpegTables, OnlyQuantisationAndHuffmanTablesGoInFrontOfATile) {
    const auto segment = [](uint8_t marker, size_t bodyBytes) {
        std::vector<uint8_t> bytes = {0xFF, marker, static_cast<uint8_t>((bodyBytes + 2) >> 8),
                                      static_cast<uint8_t>(bodyBytes + 2)};
        bytes.insert(bytes.end(), bodyBytes, marker);
        return bytes;
    };
    const auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const auto &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const std::vector<uint8_t> soi = {0xFF, 0xD8}, eoi = {0xFF, 0xD9}, fill = {0xFF, 0xFF};
    const std::vector<uint8_t> dqt = segment(0xDB, 65), dht = segment(0xC4, 30);
    const struct {
        const char *name;
        std::vector<uint8_t> tables;
        std::vector<uint8_t> kept;  // empty with a reason: refused
        const char *reason;
    } cases[] = {
        {"tables", join({soi, dqt, dht, eoi}), join({dqt, dht}), nullptr},
        {"restart interval, APP14 and a comment dropped",
         join({soi, segment(0xDD, 2), dqt, segment(0xEE, 12), fill, dht, segment(0xFE, 5), eoi}), join({dqt, dht}),
         nullptr},
        {"a frame in the tables", join({soi, dqt, segment(0xC0, 15), eoi}), {}, "0xC0 segment"},
        {"no start", join({dqt, eoi}), {}, "does not start as a JPEG stream"},
        {"cut inside a segment",
         join({soi, std::vector<uint8_t>(dqt.begin(), dqt.end() - 3)}),
         {},
         "runs past its end"},
        {"no end", join({soi, dqt}), {}, "without a marker"},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> kept;
        std::string error;
        const bool ok = convert::jpegTableSegments(c.tables.data(), c.tables.size(), kept, error);
        EXPECT_EQ(ok, c.reason == nullptr) << c.name << ": " << error;
        EXPECT_EQ(kept, c.kept) << c.name;
        if (c.reason != nullptr) {
            EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
        }
    }
    const std::vector<uint8_t> tile = join({soi, segment(0xC0, 15), segment(0xDA, 10), {1, 2, 3}, eoi});
    std::vector<uint8_t> merged;
    std::string error;
    ASSERT_TRUE(convert::mergeJpegTables(join({dqt, dht}), tile.data(), tile.size(), merged, error));
    EXPECT_EQ(merged, join({soi, dqt, dht, std::vector<uint8_t>(tile.begin() + 2, tile.end())}));
    EXPECT_FALSE(convert::mergeJpegTables(dqt, dqt.data(), dqt.size(), merged, error));
}

TEST(ConvertProgram, ConvertsAnImageWithGivenLabelAndPreview) {
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

TEST(ConvertProgram, RefusesBadInputWithAMessageAndNoOutput) {
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

TEST_P(InterruptedConversion, LeavesNoFilesAndSaysSo) {
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
        EXPECT_NE(run.output.find("tqf-convert: interrupted; no slide was written"), std::string::npos) << run.output;
        EXPECT_EQ(directory.entries(), std::vector<std::string>{"in.png"}) << signal.name;
    }
}

INSTANTIATE_TEST_SUITE_P(ConvertProgram, InterruptedConversion, ::testing::Values("", TQF_THREAD_AT_LOAD_PATH),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return *info.param ? "WithAThreadStartedAtLoad" : "AsLinked";
                         });

}  // namespace
}  // namespace tqf::testing
