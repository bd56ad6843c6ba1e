// The slide writer: refusals, no partial output, odd sizes, stored images.
#include "process_isolation.h"
#include "slide_fixtures.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace tqf::testing {
namespace {

using tqftest::ChildOutcome;
using tqftest::dropPrivileges;
using tqftest::ProgramOutcome;
using tqftest::runInChild;
using tqftest::runProgram;

struct BadWrite {
    const char *name;
    cv::Mat image;
    SlideWriteOptions options;
    const char *reason;
};

std::vector<BadWrite> badWrites() {
    const cv::Mat good(10, 10, CV_8UC3, cv::Scalar(1, 2, 3));
    std::vector<BadWrite> cases;
    auto add = [&](const char *name, cv::Mat image, auto change, const char *reason) {
        SlideWriteOptions options;
        change(options);
        cases.push_back({name, image, options, reason});
    };
    const auto same = [](SlideWriteOptions &) {};
    add("empty image", cv::Mat(), same, "image is empty");
    add("grey image", cv::Mat(10, 10, CV_8UC1), same, "CV_8UC3");
    add("16-bit image", cv::Mat(10, 10, CV_16UC3), same, "CV_8UC3");
    add("four channels", cv::Mat(10, 10, CV_8UC4), same, "CV_8UC3");
    add(
        "magnification 0", good, [](SlideWriteOptions &o) { o.scanMagnification = 0; }, "magnification 0");
    add(
        "magnification 1001", good, [](SlideWriteOptions &o) { o.scanMagnification = 1001; }, "magnification 1001");
    add(
        "quality 0", good, [](SlideWriteOptions &o) { o.jpegQuality = 0; }, "quality 0");
    add(
        "quality 101", good, [](SlideWriteOptions &o) { o.jpegQuality = 101; }, "quality 101");
    add(
        "preview size 0", good, [](SlideWriteOptions &o) { o.previewMaxSide = 0; }, "preview size 0");
    add(
        "preview size 5000", good, [](SlideWriteOptions &o) { o.previewMaxSide = 5000; }, "preview size 5000");
    add(
        "too many threads", good, [](SlideWriteOptions &o) { o.threads = 257; }, "thread count 257");
    add(
        "grey label", good, [](SlideWriteOptions &o) { o.label = cv::Mat(5, 5, CV_8UC1); }, "label image");
    add(
        "float preview", good, [](SlideWriteOptions &o) { o.preview = cv::Mat(5, 5, CV_32FC3); }, "preview image");
    return cases;
}

TEST(SlideWriter, RefusesBadInputAndWritesNothing) {
    TempDirectory directory;
    for (const BadWrite &bad : badWrites()) {
        const SlideWriteResult result = writeSlide(bad.image, directory.file("out.tqf"), bad.options);
        EXPECT_NE(result.error.find(bad.reason), std::string::npos) << bad.name << ": " << result.error;
    }
    EXPECT_NE(writeSlide(cv::Mat(4, 4, CV_8UC3), "").error.find("no output path"), std::string::npos);
    EXPECT_TRUE(directory.entries().empty());
}

TEST(SlideWriter, AnUnwritableDestinationLeavesNothingBehind) {
    TempDirectory directory;
    writeFileBytes(directory.file("plain-file"), {'x'});
    const cv::Mat image = tissueImage(300, 300);
    const struct {
        std::string path;
        const char *reason;
    } cases[] = {
        {directory.file("missing/out.tqf"), "No such file"},
        {directory.file("plain-file/out.tqf"), "Not a directory"},
        {directory.path() + "/", "names a directory"},
    };
    for (const auto &c : cases) {
        const SlideWriteResult result = writeSlide(image, c.path);
        EXPECT_NE(result.error.find(c.reason), std::string::npos) << c.path << ": " << result.error;
    }
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"plain-file"});
}

// Root writes into read-only directories, so the write runs in a child
// that gave up root.
TEST(SlideWriter, AReadOnlyDirectoryIsReported) {
    TempDirectory directory;
    ASSERT_EQ(chmod(directory.path().c_str(), 0555), 0);
    const cv::Mat image = tissueImage(300, 300);
    const ChildOutcome child = runInChild([&] {
        const std::string problem = dropPrivileges();
        return problem.empty() ? writeSlide(image, directory.file("out.tqf")).error : problem;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_NE(child.report.find("Permission denied"), std::string::npos) << child.report;
    EXPECT_TRUE(directory.entries().empty());
}

TEST(SlideWriter, AFullDiskKeepsTheOldSlideAndRemovesTheTemporary) {
    TempDirectory directory;
    const std::string path = writeSlideOrFail(tissueImage(300, 300), directory.file("slide.tqf"));
    const std::vector<uint8_t> before = readFileBytes(path);

    // A file size limit makes writes fail as on a full disk, for root too.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const SlideWriteResult result = writeSlide(tissueImage(1500, 1100), path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_NE(result.error.find("File too large"), std::string::npos) << result.error;
    EXPECT_EQ(readFileBytes(path), before);
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"slide.tqf"});
}

// A disk that fills up while a slide is written, through the writer and
// through tqf-convert: both say "No space left on device", and the disk is
// left holding the earlier slide at the target, unchanged, and nothing else.
struct FullDisk {
    const char *name;
    size_t bytes;         // size of the tmpfs
    const char *options;  // further mount options
    bool fillUp;          // fill the disk to the last byte before writing
};

void PrintTo(const FullDisk &disk, std::ostream *out) { *out << disk.name; }

// The disk after a failed write, as a report line: "unchanged" when only
// the earlier slide is there with its old bytes.
std::string diskState(const TempDirectory &disk, const std::vector<uint8_t> &earlier,
                      const std::vector<std::string> &expectedEntries) {
    const std::vector<std::string> entries = disk.entries();
    if (entries != expectedEntries) {
        std::string names;
        for (const std::string &name : entries)
            names += " " + name;
        return "entries:" + names;
    }
    return readFileBytes(disk.file("slide.tqf")) == earlier ? "unchanged" : "the earlier slide changed";
}

// What a write on a full disk reported, and what it left there.
std::string failedWrites(const TempDirectory &disk, const std::vector<uint8_t> &earlier,
                         const std::vector<std::string> &entries, const cv::Mat &image, const std::string &input,
                         const std::string &expectedReason = "No space left on device") {
    const auto reason = [&](const std::string &error) {
        return error.find(expectedReason) != std::string::npos ? expectedReason : "other: " + error;
    };
    const std::string written = reason(writeSlide(image, disk.file("slide.tqf")).error);
    std::string report = "writer: " + written + "; " + diskState(disk, earlier, entries) + "\n";
    const ProgramOutcome convert = runProgram({TQF_CONVERT_PATH, input, disk.file("slide.tqf")}, 120);
    report += "tqf-convert: status " + std::to_string(convert.status) + ", " + reason(convert.output) + "; " +
              diskState(disk, earlier, entries) + "\n";
    return report;
}

class AFullDisk : public ::testing::TestWithParam<FullDisk> {
protected:
    void SetUp() override {
        image = tissueImage(1500, 1100);
        ASSERT_TRUE(cv::imwrite(inputs.file("in.png"), image));
    }
    TempDirectory inputs;
    cv::Mat image;
    const std::string expected = "writer: No space left on device; unchanged\n"
                                 "tqf-convert: status 1, No space left on device; unchanged\n";
};

TEST_P(AFullDisk, IsReportedAndLeavesTheEarlierSlideAlone) {
    std::string why;
    if (!tqftest::mountNamespacesAvailable(&why))
        GTEST_SKIP() << "no private mount namespace for a small tmpfs here (" << why
                     << "); AFullDisk.SimulatedByAFileSizeLimit covers the full disk without one";
    const FullDisk &disk = GetParam();
    TempDirectory mountPoint;
    const ChildOutcome child = runInChild([&] {
        std::string problem = tqftest::enterPrivateMountNamespace();
        if (problem.empty())
            problem = tqftest::mountTmpfs(mountPoint.path(), disk.bytes, false, disk.options);
        if (!problem.empty())
            return problem;
        const TempDirectory &mounted = mountPoint;
        const SlideWriteResult earlier = writeSlide(tissueImage(256, 256), mounted.file("slide.tqf"));
        if (!earlier.ok())
            return "the earlier slide does not fit: " + earlier.error;
        std::vector<std::string> entries{"slide.tqf"};
        if (disk.fillUp) {
            if (!(problem = tqftest::fillDisk(mounted.file("filler"))).empty())
                return problem;
            entries.insert(entries.begin(), "filler");
        }
        return failedWrites(mounted, readFileBytes(mounted.file("slide.tqf")), entries, image, inputs.file("in.png"));
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_EQ(child.report, expected);
    EXPECT_TRUE(mountPoint.entries().empty()) << "the tmpfs stayed in the child's namespace";
}

INSTANTIATE_TEST_SUITE_P(Disks, AFullDisk,
                         ::testing::Values(FullDisk{"RoomForTheEarlierSlideOnly", 256 * 1024, "", false},
                                           FullDisk{"FullToTheLastByte", 256 * 1024, "", true},
                                           FullDisk{"NoInodeLeft", 4 * 1024 * 1024, "nr_inodes=2", false}),
                         [](const ::testing::TestParamInfo<FullDisk> &info) { return std::string(info.param.name); });

// Where no mount namespace can be made: a file size limit makes writes
// fail as on a full disk, only with EFBIG ("File too large").
TEST_F(AFullDisk, SimulatedByAFileSizeLimit) {
    TempDirectory disk;
    const std::string earlierPath = writeSlideOrFail(tissueImage(256, 256), disk.file("slide.tqf"));
    ASSERT_FALSE(earlierPath.empty());
    const std::vector<uint8_t> earlier = readFileBytes(earlierPath);
    const ChildOutcome child = runInChild([&] {
        const std::string problem = tqftest::limitFileSize(64 * 1024);
        return problem.empty()
                   ? failedWrites(disk, earlier, {"slide.tqf"}, image, inputs.file("in.png"), "File too large")
                   : problem;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_EQ(child.report, "writer: File too large; unchanged\n"
                            "tqf-convert: status 1, File too large; unchanged\n");
}

// Sizes around the tile edge, down to a single pixel.
class OddSize : public ::testing::TestWithParam<cv::Size> {};

TEST_P(OddSize, RoundTripsEveryTileAtItsTrueSize) {
    const cv::Size size = GetParam();
    TempDirectory directory;
    const cv::Mat image = tissueImage(size.width, size.height);
    const std::string path = writeSlideOrFail(image, directory.file("odd.tqf"));
    SlideHandle slide = loadSlide(path, 1);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->header->imageWidth, size.width);
    EXPECT_EQ(slide->header->imageHeight, size.height);
    const std::vector<format::Level> levels = format::pyramidLevels(size.width, size.height, 40);
    EXPECT_LE(std::max(levels.back().width, levels.back().height), 256);
    for (const format::Level &level : levels) {
        const cv::Mat reference = referenceLevel(image, level.index);
        for (int y = 0; y < level.height; y += 256) {
            for (int x = 0; x < level.width; x += 256) {
                const Fetched tile = fetchTile(slide.get(), FetchOperation::kReadAll, level.address, x, y);
                ASSERT_EQ(tile.result, YELK_OK);
                const cv::Mat decoded = cv::imdecode(tile.stream, cv::IMREAD_COLOR);
                const cv::Rect area(x, y, std::min(256, int(level.width) - x), std::min(256, int(level.height) - y));
                ASSERT_EQ(decoded.size(), area.size()) << "level " << level.index;
                EXPECT_GT(lumaPsnr(decoded, reference(area)), 35.0) << "level " << level.index;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OddSize,
                         ::testing::Values(cv::Size(1, 1), cv::Size(257, 1), cv::Size(1, 257), cv::Size(256, 256),
                                           cv::Size(257, 257), cv::Size(513, 300), cv::Size(2049, 3)));

TEST(SlideWriter, NoiseAtFullQualityStillFitsTheTileBuffer) {
    cv::Mat noise(512, 512, CV_8UC3);
    cv::randu(noise, 0, 2);
    noise *= 255;
    TempDirectory directory;
    SlideWriteOptions options;
    options.jpegQuality = 100;
    const std::string path = writeSlideOrFail(noise, directory.file("noise.tqf"), options);
    SlideHandle slide = loadSlide(path, 0);
    ASSERT_TRUE(slide);
    for (int i = 0; i < slide->header->dataBlockCount; ++i)
        EXPECT_LE(slide->dataBlockHeader[i].length, static_cast<UINT32>(YELK_TILE_STREAM_CAPACITY));
    EXPECT_EQ(fetchTile(slide.get(), FetchOperation::kSingle, 40, 256, 256).result, YELK_OK);
}

TEST(SlideWriter, TheNumberOfThreadsDoesNotChangeTheFile) {
    TempDirectory directory;
    const cv::Mat image = tissueImage(1300, 900);
    SlideWriteOptions options;
    options.scanTime = 1;
    options.labelText = "same label";
    options.threads = 1;
    const std::string one = writeSlideOrFail(image, directory.file("one.tqf"), options);
    options.threads = 5;
    const std::string five = writeSlideOrFail(image, directory.file("five.tqf"), options);
    EXPECT_EQ(readFileBytes(one), readFileBytes(five));
}

TEST(SlideWriter, StoresGivenAndGeneratedImagesWithinTheirSizes) {
    TempDirectory directory;
    SlideWriteOptions options;
    options.previewMaxSide = 300;
    options.label = cv::Mat(100, 5000, CV_8UC3, cv::Scalar(0, 0, 255));
    const std::string path = writeSlideOrFail(tissueImage(1500, 1100), directory.file("sized.tqf"), options);
    SlideHandle slide = loadSlide(path, 0);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->previewHeader->width, 300u);
    EXPECT_EQ(slide->previewHeader->height, 220u);
    EXPECT_EQ(slide->labelHeader->width, 4096u);
    EXPECT_EQ(slide->labelHeader->height, 82u);

    options = {};
    options.preview = tissueImage(64, 48);
    options.labelText = "case 17";
    const std::string second = writeSlideOrFail(tissueImage(400, 400), directory.file("given.tqf"), options);
    slide = loadSlide(second, 1);
    ASSERT_TRUE(slide);
    EXPECT_EQ(slide->previewHeader->width, 64u);
    ASSERT_EQ(yelk_get_label_image(slide.get(), directory.file("label.jpg").c_str()), YELK_OK);
    const cv::Mat card = cv::imread(directory.file("label.jpg"), cv::IMREAD_COLOR);
    ASSERT_FALSE(card.empty());
    EXPECT_LT(cv::mean(card)[0], 254.0);  // not blank: the text is drawn
    EXPECT_GT(cv::mean(card)[0], 200.0);  // but mostly white
}

}  // namespace
}  // namespace tqf::testing
