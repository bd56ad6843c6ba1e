// FIFOs and devices where tqf-convert, the writer and the image export
// expect ordinary files: refused or replaced, never opened and waited on.
#include "process_isolation.h"
#include "slide_fixtures.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace tqf::testing {
namespace {

using tqftest::ProgramOutcome;
using tqftest::runProgram;

// A regular file is there and is a slide the library loads.
bool isSlide(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && loadSlide(path, 0) != nullptr;
}

bool isFifo(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

class FifosAndDevices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cv::imwrite(directory.file("in.png"), tissueImage(300, 200)));
        ASSERT_EQ(mkfifo(fifo().c_str(), 0600), 0);
        ASSERT_EQ(symlink("fifo", directory.file("link-to-fifo.png").c_str()), 0);
    }
    std::string fifo() const { return directory.file("fifo"); }
    ProgramOutcome convert(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), TQF_CONVERT_PATH);
        return runProgram(arguments, 120);  // a conversion that waits on a FIFO meets the bound
    }
    TempDirectory directory;
};

TEST_F(FifosAndDevices, TqfConvertRefusesFifosAndDevicesAsItsImages) {
    const std::string in = directory.file("in.png"), out = directory.file("out.tqf");
    const struct {
        std::vector<std::string> arguments;
        const char *message;
    } cases[] = {
        {{fifo(), out}, "is not a regular file"},
        {{directory.file("link-to-fifo.png"), out}, "is not a regular file"},
        {{"/dev/zero", out}, "is not a regular file"},
        {{"/dev/null", out}, "is not a regular file"},
        {{"--label", fifo(), in, out}, "label image"},
        {{"--preview", directory.file("link-to-fifo.png"), in, out}, "preview image"},
    };
    for (const auto &c : cases) {
        const ProgramOutcome run = convert(c.arguments);
        EXPECT_FALSE(run.timedOut) << c.arguments.front() << " " << c.arguments[1];
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
    EXPECT_TRUE(isFifo(fifo()));
    EXPECT_FALSE(isSlide(out));
}

// The output is written beside the target and renamed over it, so a FIFO
// there (or a link to one) is replaced by the slide, never opened.
TEST_F(FifosAndDevices, AFifoAtTheOutputIsReplacedWithoutWaiting) {
    ASSERT_EQ(mkfifo(directory.file("out.tqf").c_str(), 0600), 0);
    ASSERT_EQ(symlink("fifo", directory.file("link.tqf").c_str()), 0);
    for (const char *name : {"out.tqf", "link.tqf"}) {
        const ProgramOutcome run = convert({directory.file("in.png"), directory.file(name)});
        EXPECT_FALSE(run.timedOut) << name;
        EXPECT_EQ(run.status, 0) << name << ": " << run.output;
        EXPECT_TRUE(isSlide(directory.file(name))) << name;
    }
    EXPECT_TRUE(isFifo(fifo())) << "the link is replaced, not what it points to";

    ASSERT_EQ(unlink(directory.file("out.tqf").c_str()), 0);
    ASSERT_EQ(mkfifo(directory.file("out.tqf").c_str(), 0600), 0);
    const SlideWriteResult written = writeSlide(tissueImage(300, 200), directory.file("out.tqf"));
    EXPECT_TRUE(written.ok()) << written.error;
    EXPECT_TRUE(isSlide(directory.file("out.tqf")));
}

TEST_F(FifosAndDevices, ImagesExportedOverAFifoReplaceIt) {
    SlideHandle slide = loadSlide(writeSlideOrFail(tissueImage(300, 200), directory.file("slide.tqf")), 0);
    ASSERT_TRUE(slide);
    ASSERT_EQ(mkfifo(directory.file("preview.jpg").c_str(), 0600), 0);
    ASSERT_EQ(yelk_get_preview_image(slide.get(), directory.file("preview.jpg").c_str()), YELK_OK);
    EXPECT_EQ(cv::imread(directory.file("preview.jpg")).size(), cv::Size(300, 200));
}

}  // namespace
}  // namespace tqf::testing
