// The reader when things go wrong around it: the slide file removed,
// truncated or rewritten while open; files that are not slides; a working
// directory where the preview and label cannot be written. Every result
// keeps its promised size, nothing hangs, and under AddressSanitizer nothing
// is read out of bounds. Work that needs another working directory,
// credentials or mounts runs in a forked child.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "process_isolation.h"
#include "slide_fixtures.h"
#include "tqf_reader.h"
#include "tqf_writer.h"

namespace {

using tqftest::ChildOutcome;
using tqftest::runInChild;
using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 1800, kHeight = 1300;  // 8 x 6 tiles at the scan level
const cv::Size kPreview(160, 120), kLabel(70, 90);

using tqf::testing::readFileBytes;

cv::Mat tissue(int width, int height) { return tqf::testing::tissueImage(width, height); }

// Rewrites the file in place (the same inode); returns what failed, or "".
std::string write_bytes(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out ? "" : "cannot write " + path;
}

// "" when a system call returned 0, otherwise what failed.
std::string system_call(int result, const char *name) {
    return result == 0 ? "" : std::string(name) + ": " + std::strerror(errno);
}

Bytes random_bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t &byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

// A temporary directory that a child which gave up root can read.
class Directory : public tqf::testing::TempDirectory {
public:
    Directory() { chmod(path().c_str(), 0755); }
};

std::string make_slide(const Directory &directory, const char *name, const cv::Mat &image, cv::Scalar preview,
                       cv::Scalar label) {
    tqf::SlideWriteOptions options;
    options.preview = cv::Mat(kPreview, CV_8UC3, preview);
    options.label = cv::Mat(kLabel, CV_8UC3, label);
    const std::string path = directory.file(name);
    const tqf::SlideWriteResult result = tqf::writeSlide(image, path, options);
    if (!result.ok())
        throw std::runtime_error("cannot write " + path + ": " + result.error);
    chmod(path.c_str(), 0644);
    return path;
}

// A region read; empty when the result does not have w * h * 3 bytes.
cv::Mat read_region(tqfio::reader &reader, int x, int y, int w, int h, double scale) {
    unsigned char *data = nullptr;
    int length = -1;
    reader.ReadRoi(x, y, w, h, scale, &data, &length);
    if (length != w * h * 3 || !data)
        return cv::Mat();
    return cv::Mat(h, w, CV_8UC3, data).clone();
}

bool all_white(const cv::Mat &image) { return !image.empty() && cv::countNonZero(image.reshape(1) != 255) == 0; }

// Regions over many tiles, as a reader opened at the scan magnification
// reads them: the whole slide from its scan tiles, a half-size view over
// the slide's corner from the scan tiles, and a quarter-size view from the
// quarter level's own tiles.
struct Regions {
    cv::Mat whole, half, quarter;
};

Regions read_regions(tqfio::reader &reader) {
    Regions regions;
    reader.setReadScale(40);
    regions.whole = read_region(reader, 0, 0, kWidth, kHeight, 40);
    regions.half = read_region(reader, -100, -60, 800, 600, 20);
    reader.setReadScale(10);
    regions.quarter = read_region(reader, 0, 0, kWidth / 4, kHeight / 4, 10);
    reader.setReadScale(40);
    return regions;
}

// "W x H" of the preview or label the reader returns, "none" for width 0
// with an empty buffer, or what else came back.
std::string image_size(tqfio::reader &reader, bool preview) {
    unsigned char *data = nullptr;
    int length = -1;
    const int width = preview ? reader.ReadPreview(&data, &length) : reader.readLabelImage(&data, &length);
    std::string shown;
    if (width == 0 && length <= 0)
        shown = "none";  // the label's failure exit leaves the length as it was
    else if (width > 0 && length > 0 && length % (3 * width) == 0)
        shown = std::to_string(width) + " x " + std::to_string(length / (3 * width));
    else
        shown = "width " + std::to_string(width) + ", length " + std::to_string(length);
    delete[] data;
    return shown;
}

std::string images(tqfio::reader &reader) {
    return "preview " + image_size(reader, true) + ", label " + image_size(reader, false);
}

// Runs `action` with standard output going nowhere: the reader dumps the
// bytes of each path it fails to open there. Standard error stays, so that
// a sanitizer's report is seen.
template <typename Action>
auto quietly(Action action) {
    std::cout.flush();
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    struct Restore {
        int saved;
        ~Restore() {
            std::cout.flush();
            std::fflush(stdout);
            dup2(saved, STDOUT_FILENO);
            close(saved);
        }
    } restore{saved};
    return action();
}

// ---------------------------------------------------------------------------
// The slide file changed while a reader has it open.

// What a change leaves readable through the descriptor the reader holds.
enum class Left {
    kEverything,   // the open file lives on unchanged
    kNothing,      // no tile and no image decodes: white, no preview, no label
    kSomeTiles,    // scan tiles are each as before or white, both kinds present
    kOtherPixels,  // tiles decode to other pixels than before
};

struct SlideChange {
    const char *name;
    Left left;
    // Makes the change to the slide at `path` whose bytes were `original`;
    // returns what failed, or "".
    std::function<std::string(const std::string &path, const Bytes &original, const Directory &directory)> apply;
};

void PrintTo(const SlideChange &change, std::ostream *out) { *out << change.name; }

// The slide with a complete 300 x 300 JPEG at the start of every tile
// stream: tiles that decode, but larger than their cells.
Bytes with_oversized_tiles(const std::string &path, const Bytes &original) {
    std::vector<unsigned char> stream;
    cv::Mat big(300, 300, CV_8UC3);
    for (int r = 0; r < big.rows; ++r)
        for (int c = 0; c < big.cols; ++c)
            big.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uchar>(r), static_cast<uchar>(c), 90);
    cv::imencode(".jpg", big, stream, {cv::IMWRITE_JPEG_QUALITY, 40});
    TQF *slide = yelk_load_image(path.c_str(), 1);
    if (!slide)
        throw std::runtime_error("cannot load " + path);
    Bytes bytes = original;
    for (int i = 0; i < slide->header->dataBlockCount; ++i) {
        const TQF_DATABLOCK_HEADER &block = slide->dataBlockHeader[i];
        if (block.length >= stream.size())
            std::copy(stream.begin(), stream.end(), bytes.begin() + block.position);
    }
    yelk_unload_image(slide, 1);
    return bytes;
}

std::vector<SlideChange> slide_changes() {
    const auto truncate_to = [](size_t size) {
        return [size](const std::string &path, const Bytes &, const Directory &) {
            return system_call(truncate(path.c_str(), static_cast<off_t>(size)), "truncate");
        };
    };
    return {
        {"Removed", Left::kEverything,
         [](const std::string &path, const Bytes &, const Directory &) {
             return system_call(unlink(path.c_str()), "unlink");
         }},
        {"ReplacedByRenamingAnotherFileOverIt", Left::kEverything,
         [](const std::string &path, const Bytes &original, const Directory &directory) {
             const std::string problem = write_bytes(directory.file("other"), random_bytes(original.size(), 1));
             return !problem.empty()
                        ? problem
                        : system_call(std::rename(directory.file("other").c_str(), path.c_str()), "rename");
         }},
        {"TruncatedToNothing", Left::kNothing, truncate_to(0)},
        {"TruncatedToTheHeaders", Left::kNothing, truncate_to(252)},
        {"TruncatedMidway", Left::kSomeTiles,
         [](const std::string &path, const Bytes &original, const Directory &) {
             // The scan tiles come first in the file: about half of them stay.
             return system_call(truncate(path.c_str(), static_cast<off_t>(original.size() * 2 / 5)), "truncate");
         }},
        {"TruncatedAndGrownBackWithZeros", Left::kSomeTiles,
         [](const std::string &path, const Bytes &original, const Directory &) {
             return system_call(truncate(path.c_str(), static_cast<off_t>(original.size() * 2 / 5)) ||
                                    truncate(path.c_str(), static_cast<off_t>(original.size())),
                                "truncate");
         }},
        {"RewrittenWithRandomBytesOfTheSameSize", Left::kNothing,
         [](const std::string &path, const Bytes &original, const Directory &) {
             return write_bytes(path, random_bytes(original.size(), 2));
         }},
        {"RewrittenWithZerosOfTheSameSize", Left::kNothing,
         [](const std::string &path, const Bytes &original, const Directory &) {
             return write_bytes(path, Bytes(original.size(), 0));
         }},
        {"RewrittenLongerWithRandomBytes", Left::kNothing,
         [](const std::string &path, const Bytes &original, const Directory &) {
             return write_bytes(path, random_bytes(original.size() * 2, 3));
         }},
        {"RewrittenShorterWithRandomBytes", Left::kNothing,
         [](const std::string &path, const Bytes &original, const Directory &) {
             return write_bytes(path, random_bytes(original.size() / 3, 4));
         }},
        {"RewrittenWithAnotherSlide", Left::kOtherPixels,
         [](const std::string &path, const Bytes &, const Directory &directory) {
             const cv::Mat other = 255 - tissue(kWidth + 300, kHeight - 200);
             return write_bytes(path, readFileBytes(make_slide(directory, "other.tqf", other, {0, 0, 0}, {0, 0, 0})));
         }},
        {"RewrittenWithTilesLargerThanTheirCells", Left::kOtherPixels,
         [](const std::string &path, const Bytes &original, const Directory &) {
             return write_bytes(path, with_oversized_tiles(path, original));
         }},
    };
}

class ReaderOnAChangedSlide : public ::testing::TestWithParam<std::tuple<SlideChange, bool>> {
protected:
    static void SetUpTestSuite() { source = new cv::Mat(tissue(kWidth, kHeight)); }
    static void TearDownTestSuite() {
        delete source;
        source = nullptr;
    }
    static cv::Mat *source;
};
cv::Mat *ReaderOnAChangedSlide::source = nullptr;

// Each 256-pixel cell of the scan-level region is as before or all white.
// Returns how many cells were of each kind.
std::pair<int, int> same_or_white_cells(const cv::Mat &now, const cv::Mat &before) {
    int same = 0, white = 0;
    for (int y = 0; y < now.rows; y += 256)
        for (int x = 0; x < now.cols; x += 256) {
            const cv::Rect cell = cv::Rect(x, y, 256, 256) & cv::Rect(0, 0, now.cols, now.rows);
            if (cv::norm(now(cell), before(cell), cv::NORM_INF) == 0)
                ++same;
            else if (all_white(now(cell)))
                ++white;
            else
                ADD_FAILURE() << "the cell at " << x << ", " << y << " is neither as before nor white";
        }
    return {same, white};
}

TEST_P(ReaderOnAChangedSlide, ReadsWhatIsLeftAtTheirFullSize) {
    const SlideChange &change = std::get<0>(GetParam());
    const bool read_all = std::get<1>(GetParam());
    Directory directory;
    const std::string path = make_slide(directory, "slide.tqf", *source, {10, 200, 30}, {220, 20, 120});
    const Bytes original = readFileBytes(path);
    Directory scratch;  // the working directory of the preview and label reads

    const ChildOutcome child = runInChild([&] {
        if (chdir(scratch.path().c_str()) != 0)
            return std::string("cannot enter the scratch directory");
        tqfio::reader reader;
        if (!reader.ReadInfo(path, 0, read_all))
            return std::string("cannot open the slide");
        const Regions before = read_regions(reader);
        const std::string images_before = images(reader);
        const std::string problem = change.apply(path, original, directory);
        if (!problem.empty())
            return "cannot change the slide: " + problem;
        const Regions after = quietly([&] { return read_regions(reader); });
        const std::string images_after = quietly([&] { return images(reader); });

        std::string report;
        const cv::Mat *pairs[][2] = {
            {&before.whole, &after.whole}, {&before.half, &after.half}, {&before.quarter, &after.quarter}};
        for (const auto &pair : pairs)
            if (pair[0]->empty() || pair[1]->empty())
                report += "a region did not come back at its full size; ";
        if (!report.empty())
            return report;
        if (cv::PSNR(before.whole, *source) < 35)
            return std::string("the slide did not read back before the change");
        if (images_before != "preview 160 x 120, label 70 x 90")
            return "images before the change: " + images_before;

        const Left left = read_all ? Left::kEverything : change.left;
        if (left == Left::kEverything) {
            for (const auto &pair : pairs)
                if (cv::norm(*pair[0], *pair[1], cv::NORM_INF) != 0)
                    report += "a region changed; ";
            if (images_after != images_before)
                report += "images after: " + images_after + "; ";
        } else if (left == Left::kNothing) {
            for (const auto &pair : pairs)
                if (!all_white(*pair[1]))
                    report += "a region is not white; ";
            if (images_after != "preview none, label none")
                report += "images after: " + images_after + "; ";
        } else if (left == Left::kSomeTiles) {
            const auto [same, white] = same_or_white_cells(after.whole, before.whole);
            if (same == 0 || white == 0)
                report += std::to_string(same) + " cells as before, " + std::to_string(white) + " white; ";
            // The images are stored after the tiles, beyond the cut.
            if (images_after != "preview none, label none")
                report += "images after: " + images_after + "; ";
        } else {
            if (all_white(after.whole) || cv::norm(after.whole, before.whole, cv::NORM_INF) == 0)
                report += "the region shows no other pixels; ";
        }
        return report;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_EQ(child.report, "");
}

INSTANTIATE_TEST_SUITE_P(Changes, ReaderOnAChangedSlide,
                         ::testing::Combine(::testing::ValuesIn(slide_changes()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<SlideChange, bool>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_ReadAll" : "_OnDemand");
                         });

// Every tile stream's frame header rewritten to state 20000 x 20000 pixels:
// no such tile fits where it would be pasted, so each is refused (white,
// with the paste's error) without being decoded, rather than each taking
// over a gigabyte and a quarter of a second to decode only to be refused.
TEST(ReaderOnAChangedSlide, TilesStatingHugeSizesAreRefusedWithoutBeingDecoded) {
    Directory directory;
    const std::string path = make_slide(directory, "slide.tqf", tissue(kWidth, kHeight), {1, 2, 3}, {4, 5, 6});
    Bytes bytes = readFileBytes(path);
    TQF *slide = yelk_load_image(path.c_str(), 1);
    ASSERT_NE(slide, nullptr);
    int patched = 0;
    for (int i = 0; i < slide->header->dataBlockCount; ++i) {
        const TQF_DATABLOCK_HEADER &block = slide->dataBlockHeader[i];
        const auto stream = bytes.begin() + block.position;
        const uint8_t frame[] = {0xFF, 0xC0};
        const auto at = std::search(stream, stream + block.length, std::begin(frame), std::end(frame));
        if (at == stream + block.length)
            continue;
        at[5] = at[7] = 20000 >> 8;  // height, then width, big-endian
        at[6] = at[8] = 20000 & 0xFF;
        ++patched;
    }
    yelk_unload_image(slide, 1);
    ASSERT_EQ(patched, 48 + 12 + 4 + 1);

    const ChildOutcome child = runInChild([&] {
        tqfio::reader reader;
        if (!reader.ReadInfo(path, 0, false))
            return std::string("cannot open the slide");
        if (!write_bytes(path, bytes).empty())
            return std::string("cannot rewrite the slide");
        ::testing::internal::CaptureStderr();
        const Regions regions = read_regions(reader);
        const std::string messages = ::testing::internal::GetCapturedStderr();
        std::string report;
        for (const cv::Mat *region : {&regions.whole, &regions.half, &regions.quarter})
            report += all_white(*region) ? "white " : "not white ";
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        if (usage.ru_maxrss > 1024 * 1024)  // kilobytes: the decoded tiles would take more
            report += "peak memory " + std::to_string(usage.ru_maxrss / 1024) + " MiB ";
        if (messages.find("Assertion failed") == std::string::npos)
            report += "no tile error reported";
        return report;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    // A tile decoded at its stated size would have taken 1.2 GB: the peak
    // memory above shows that none was, whatever the machine's speed.
    EXPECT_EQ(child.report, "white white white ");
}

// A file cut short and written back over and over while regions are read:
// every tile comes back whole or white, every result at its full size.
TEST(ReaderOnAChangingSlide, EveryReadIsWholeWhileTheFileComesAndGoes) {
    Directory directory;
    const cv::Mat image = tissue(kWidth, kHeight);
    const std::string path = make_slide(directory, "slide.tqf", image, {1, 2, 3}, {4, 5, 6});
    const Bytes original = readFileBytes(path);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo(path, 0, false));
    const cv::Mat before = read_region(reader, 0, 0, kWidth, kHeight, 40);
    ASSERT_FALSE(before.empty());
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    // Cut short between reads: the tiles past the cut read white.
    for (const size_t cut : {original.size() / 4, original.size() / 2}) {
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(cut)), 0);
        const cv::Mat now = quietly([&] { return read_region(reader, 0, 0, kWidth, kHeight, 40); });
        ASSERT_FALSE(now.empty());
        EXPECT_GT(same_or_white_cells(now, before).second, 0) << "cut at " << cut;
        ASSERT_EQ(pwrite(fd, original.data() + cut, original.size() - cut, static_cast<off_t>(cut)),
                  static_cast<ssize_t>(original.size() - cut));
    }

    // Cut and written back during reads, from the first read on. Where the
    // reads meet the file is up to the machine, and so are the pixels of a tile
    // read while the kernel zeroes or refills its page: every read must still
    // come back whole, at its full size, and never bring the process down.
    std::atomic<bool> done{false};
    std::promise<void> changed;
    std::thread changer([&] {
        std::mt19937 random(5);
        bool first = true;
        while (!done) {
            const off_t cut = static_cast<off_t>(random() % original.size());
            if (ftruncate(fd, cut) != 0 || pwrite(fd, original.data() + cut, original.size() - cut, cut) !=
                                               static_cast<ssize_t>(original.size() - cut))
                break;
            if (first)
                changed.set_value();
            first = false;
        }
        if (first)
            changed.set_value();
    });
    changed.get_future().wait();
    for (int reads = 0; reads < 8; ++reads) {
        const cv::Mat now = quietly([&] { return read_region(reader, 0, 0, kWidth, kHeight, 40); });
        EXPECT_EQ(now.size(), before.size());
        EXPECT_FALSE(quietly([&] { return read_region(reader, 300, 200, 700, 500, 20); }).empty());
    }
    done = true;
    changer.join();
    close(fd);
}

// ---------------------------------------------------------------------------
// Files that are not slides, through ReadInfo.

// Fails the test (SIGALRM ends its process) rather than letting it hang.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
};

// Works in `directory` while alive.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string &directory) {
        if (!getcwd(m_previous, sizeof m_previous) || chdir(directory.c_str()) != 0)
            throw std::runtime_error("cannot work in " + directory);
    }
    ~WorkingDirectory() {
        if (chdir(m_previous) != 0)
            std::perror("cannot return to the earlier working directory");
    }
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;

private:
    char m_previous[4096];
};

// After the refusal the reader holds no slide: reads give white and no images.
std::string refused(tqfio::reader &reader, const std::string &path) {
    const bool opened = quietly([&] { return reader.ReadInfo(path, 20, false); });
    if (opened)
        return "opened";
    const cv::Mat region = quietly([&] { return read_region(reader, 10, 20, 300, 200, 20); });
    std::string shown = all_white(region) ? "refused, white" : "refused, region not white";
    shown += ", " + quietly([&] { return images(reader); });
    return shown;
}

TEST(ReaderOnNotASlide, IsRefusedPromptlyAndLeavesNoSlideOpen) {
    const Watchdog watchdog(600);  // a blocking open of a FIFO would wait for ever
    Directory directory;
    const std::string slide = make_slide(directory, "slide.tqf", tissue(600, 400), {1, 2, 3}, {4, 5, 6});
    ASSERT_EQ(mkfifo(directory.file("fifo.tqf").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(directory.file("held-fifo.tqf").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(directory.file("dir.tqf").c_str(), 0755), 0);
    ASSERT_EQ(symlink("fifo.tqf", directory.file("link-to-fifo.tqf").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", directory.file("null.tqf").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", directory.file("zero.tqf").c_str()), 0);
    const int held_writer = open(directory.file("held-fifo.tqf").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held_writer, 0);
    Directory scratch;
    const WorkingDirectory working(scratch.path());

    for (const char *name :
         {"fifo.tqf", "held-fifo.tqf", "link-to-fifo.tqf", "dir.tqf", "null.tqf", "zero.tqf", "missing.tqf"}) {
        tqfio::reader fresh;
        EXPECT_EQ(refused(fresh, directory.file(name)), "refused, white, preview none, label none") << name;
        // A reader that had a slide open lets it go.
        tqfio::reader used;
        ASSERT_TRUE(quietly([&] { return used.ReadInfo(slide, 20, false); }));
        EXPECT_EQ(refused(used, directory.file(name)), "refused, white, preview none, label none") << name;
    }
    close(held_writer);
}

// Root opens any file, so the reads run in a child that gave up root.
TEST(ReaderOnNotASlide, AnUnreadableSlideIsRefused) {
    Directory directory;
    const std::string slide = make_slide(directory, "slide.tqf", tissue(600, 400), {1, 2, 3}, {4, 5, 6});
    ASSERT_EQ(write_bytes(directory.file("locked.tqf"), readFileBytes(slide)), "");
    ASSERT_EQ(chmod(directory.file("locked.tqf").c_str(), 0), 0);
    Directory scratch;
    ASSERT_EQ(chmod(scratch.path().c_str(), 0777), 0);
    const ChildOutcome child = runInChild([&] {
        std::string problem = tqftest::dropPrivileges();
        if (!problem.empty() || chdir(scratch.path().c_str()) != 0)
            return "cannot prepare: " + problem;
        tqfio::reader reader;
        std::string report = "locked: " + refused(reader, directory.file("locked.tqf"));
        report += "; readable: " +
                  std::string(quietly([&] { return reader.ReadInfo(slide, 0, false); }) ? images(reader) : "refused");
        return report;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_EQ(child.report,
              "locked: refused, white, preview none, label none; readable: preview 160 x 120, label 70 x 90");
}

// ---------------------------------------------------------------------------
// A working directory where the preview and label cannot be written.

// Earlier scratch files of another slide, which must never be returned.
void leave_earlier_images(const std::string &directory) {
    cv::imwrite(directory + "/preview_temp.jpg", cv::Mat(33, 44, CV_8UC3, cv::Scalar::all(9)));
    cv::imwrite(directory + "/label_temp.jpg", cv::Mat(22, 11, CV_8UC3, cv::Scalar::all(9)));
}

// The working directory's entries with their sizes in bytes, and the
// width of each image among them.
std::string listing() {
    std::vector<std::string> lines;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(".", error)) {
        const std::string name = entry.path().filename().string();
        std::string line = name + " " + std::to_string(entry.file_size(error));
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0)
            line += " " + std::to_string(cv::imread(name).cols);
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string joined;
    for (const std::string &line : lines)
        joined += (joined.empty() ? "" : ", ") + line;
    return joined;
}

struct Workplace {
    const char *name;
    // Runs in the child before the reads, with the working directory made
    // but not yet entered; returns what failed, or "" when it is ready.
    std::function<std::string(const std::string &directory)> prepare;
    bool needs_mounts;
};

void PrintTo(const Workplace &place, std::ostream *out) { *out << place.name; }

std::string enter(const std::string &directory) {
    return chdir(directory.c_str()) == 0 ? "" : "cannot enter " + directory + ": " + std::strerror(errno);
}

std::vector<Workplace> unwritable_workplaces() {
    return {
        {"Removed",
         [](const std::string &directory) {
             std::string problem = enter(directory);
             if (problem.empty() && rmdir(directory.c_str()) != 0)
                 problem = std::string("cannot remove it: ") + std::strerror(errno);
             return problem;
         },
         false},
        {"ReadOnlyForTheUser",
         [](const std::string &directory) {
             leave_earlier_images(directory);
             if (chmod(directory.c_str(), 0555) != 0)
                 return std::string("cannot make it read-only");
             std::string problem = tqftest::dropPrivileges();
             return problem.empty() ? enter(directory) : problem;
         },
         false},
        {"FullDiskSimulatedByAFileSizeLimit",
         [](const std::string &directory) {
             std::string problem = enter(directory);
             return problem.empty() ? tqftest::limitFileSize(256) : problem;  // less than either image
         },
         false},
        {"ReadOnlyMount",
         [](const std::string &directory) {
             std::string problem = tqftest::enterPrivateMountNamespace();
             if (problem.empty())
                 problem = tqftest::mountTmpfs(directory, 1 << 20);
             if (!problem.empty())
                 return problem;
             leave_earlier_images(directory);
             problem = tqftest::remountReadOnly(directory);
             return problem.empty() ? enter(directory) : problem;
         },
         true},
        {"FullMount",
         [](const std::string &directory) {
             std::string problem = tqftest::enterPrivateMountNamespace();
             if (problem.empty())
                 problem = tqftest::mountTmpfs(directory, 64 * 1024);
             if (!problem.empty())
                 return problem;
             leave_earlier_images(directory);
             problem = tqftest::fillDisk(directory + "/filler");
             return problem.empty() ? enter(directory) : problem;
         },
         true},
    };
}

class UnwritableWorkingDirectory : public ::testing::TestWithParam<Workplace> {};

// The images cannot be written, so none is returned: width 0 and no bytes,
// never an earlier slide's image left in the directory, which stays as it
// was. Region reads, which need no working directory, go on.
TEST_P(UnwritableWorkingDirectory, GivesNoPreviewAndNoLabel) {
    const Workplace &place = GetParam();
    std::string why;
    if (place.needs_mounts && !tqftest::mountNamespacesAvailable(&why))
        GTEST_SKIP() << "no private mount namespace here (" << why
                     << "); the Removed, ReadOnlyForTheUser and FullDiskSimulatedByAFileSizeLimit cases cover this";
    Directory slides;
    const cv::Mat image = tissue(600, 400);
    const std::string slide = make_slide(slides, "slide.tqf", image, {1, 2, 3}, {4, 5, 6});
    Directory parent;
    const std::string directory = parent.file("work");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);

    const ChildOutcome child = runInChild([&] {
        const std::string problem = place.prepare(directory);
        if (!problem.empty())
            return "cannot prepare: " + problem;
        const std::string entries_before = listing();
        tqfio::reader reader;
        if (!reader.ReadInfo(slide, 0, false))
            return std::string("cannot open the slide");
        std::string report = quietly([&] { return images(reader); });
        const cv::Mat region = read_region(reader, 0, 0, 600, 400, 40);
        if (region.empty() || cv::PSNR(region, image) < 35)
            report += "; the region did not read";
        const std::string entries_after = listing();
        if (entries_after != entries_before)
            report += "; the working directory changed from [" + entries_before + "] to [" + entries_after + "]";
        return report;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_EQ(child.report, "preview none, label none");
    std::error_code ignored;
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
}

INSTANTIATE_TEST_SUITE_P(Places, UnwritableWorkingDirectory, ::testing::ValuesIn(unwritable_workplaces()),
                         [](const ::testing::TestParamInfo<Workplace> &info) { return std::string(info.param.name); });

// A FIFO where a scratch file goes is set aside or left alone, never opened.
TEST(ScratchFifo, NeitherBlocksNorComesBackAsAnImage) {
    Directory slides;
    const std::string slide = make_slide(slides, "slide.tqf", tissue(600, 400), {1, 2, 3}, {4, 5, 6});
    Directory parent;
    const std::string writable = parent.file("writable"), read_only = parent.file("read-only");
    for (const std::string &directory : {writable, read_only}) {
        ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
        ASSERT_EQ(mkfifo((directory + "/preview_temp.jpg").c_str(), 0644), 0);
        ASSERT_EQ(mkfifo((directory + "/label_temp.jpg").c_str(), 0644), 0);
    }
    ASSERT_EQ(chmod(read_only.c_str(), 0555), 0);
    ASSERT_EQ(chmod(writable.c_str(), 0777), 0);
    const ChildOutcome child = runInChild([&] {
        std::string problem = tqftest::dropPrivileges();
        if (!problem.empty())
            return problem;
        std::string report;
        for (const std::string &directory : {writable, read_only}) {
            if (chdir(directory.c_str()) != 0)
                return "cannot enter " + directory;
            tqfio::reader reader;
            if (!reader.ReadInfo(slide, 0, false))
                return std::string("cannot open the slide");
            report += quietly([&] { return images(reader); }) + "; ";
        }
        return report;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_EQ(child.report, "preview 160 x 120, label 70 x 90; preview none, label none; ");
    struct stat info;
    ASSERT_EQ(lstat((read_only + "/preview_temp.jpg").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    chmod(read_only.c_str(), 0755);
}

}  // namespace
