// Preview and label images written to files: contents, atomic replacement,
// and the cases in which nothing may be written.
#include "process_isolation.h"
#include "slide_fixtures.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <random>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace tqf::testing {
namespace {

using ExportOperation = int (*)(TQF *, const char *);

std::vector<uint8_t> storedBytes(const std::vector<uint8_t> &file, int64_t position, uint32_t length) {
    return std::vector<uint8_t>(file.begin() + position, file.begin() + position + length);
}

class ImageExport : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        SlideWriteOptions options;
        options.label = tissueImage(320, 200);
        slidePath = writeSlideOrFail(tissueImage(700, 500), slides.file("slide.tqf"), options);
        ASSERT_FALSE(slidePath.empty());
        label = options.label;
    }
    TempDirectory slides;
    TempDirectory output;
    std::string slidePath;
    cv::Mat label;
};

TEST_P(ImageExport, WritesTheStoredImagesAndLeavesNoTemporaryFile) {
    SlideHandle slide = loadSlide(slidePath, GetParam());
    ASSERT_TRUE(slide);
    const std::vector<uint8_t> file = readFileBytes(slidePath);
    writeFileBytes(output.file("preview_temp.jpg"), {'o', 'l', 'd'});  // replaced, not appended to

    ASSERT_EQ(yelk_get_preview_image(slide.get(), output.file("preview_temp.jpg").c_str()), YELK_OK);
    ASSERT_EQ(yelk_get_label_image(slide.get(), output.file("label_temp.jpg").c_str()), YELK_OK);
    EXPECT_EQ(output.entries(), (std::vector<std::string>{"label_temp.jpg", "preview_temp.jpg"}));

    const TQF_PREVIEW_HEADER &preview = *slide->previewHeader;
    EXPECT_EQ(readFileBytes(output.file("preview_temp.jpg")), storedBytes(file, preview.position, preview.length));
    const cv::Mat previewImage = cv::imread(output.file("preview_temp.jpg"), cv::IMREAD_COLOR);
    EXPECT_EQ(previewImage.size(), cv::Size(700, 500));  // smaller than 1024: kept at full size

    const cv::Mat labelImage = cv::imread(output.file("label_temp.jpg"), cv::IMREAD_COLOR);
    ASSERT_EQ(labelImage.size(), label.size());
    EXPECT_GT(psnr(labelImage, label), 35.0);
    EXPECT_EQ(slide->labelHeader->width, 320u);
}

TEST_P(ImageExport, FailuresLeaveTheTargetAsItWas) {
    SlideHandle slide = loadSlide(slidePath, GetParam());
    ASSERT_TRUE(slide);
    const std::string target = output.file("preview_temp.jpg");
    writeFileBytes(target, {'k', 'e', 'e', 'p'});

    EXPECT_EQ(yelk_get_preview_image(nullptr, target.c_str()), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_label_image(nullptr, target.c_str()), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_preview_image(slide.get(), nullptr), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_preview_image(slide.get(), ""), YELK_BAD_ARGUMENT);
    EXPECT_EQ(yelk_get_preview_image(slide.get(), output.file("missing/preview.jpg").c_str()), YELK_WRITE_FAILED);
    ASSERT_EQ(mkdir(output.file("a-directory").c_str(), 0755), 0);
    EXPECT_EQ(yelk_get_label_image(slide.get(), output.file("a-directory").c_str()), YELK_WRITE_FAILED);
    EXPECT_EQ(yelk_get_label_image(slide.get(), (output.path() + "/").c_str()), YELK_WRITE_FAILED);

    EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(output.entries(), (std::vector<std::string>{"a-directory", "preview_temp.jpg"}));
}

TEST_P(ImageExport, AnImageTheSlideLacksWritesNothing) {
    // Mark the label absent in the file, as a slide without one stores it.
    std::vector<uint8_t> file = readFileBytes(slidePath);
    TQF_LABEL_HEADER absent;
    std::memcpy(&absent, file.data() + format::kLabelHeaderPosition, sizeof absent);
    absent.exist = 0;
    absent.width = absent.height = absent.length = 0;
    absent.position = 0;
    std::memcpy(file.data() + format::kLabelHeaderPosition, &absent, sizeof absent);
    writeFileBytes(slidePath, file);

    SlideHandle slide = loadSlide(slidePath, GetParam());
    ASSERT_TRUE(slide);
    const std::string target = output.file("label_temp.jpg");
    writeFileBytes(target, {'k', 'e', 'e', 'p'});
    EXPECT_EQ(yelk_get_label_image(slide.get(), target.c_str()), YELK_NOT_STORED);
    EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(yelk_get_preview_image(slide.get(), output.file("preview_temp.jpg").c_str()), YELK_OK);
}

INSTANTIATE_TEST_SUITE_P(ReadAll, ImageExport, ::testing::Values(0, 1));

TEST(ImageExportFromTheFile, ASlideTruncatedWhileOpenFailsCleanly) {
    TempDirectory directory;
    const std::string path = writeSlideOrFail(tissueImage(600, 400), directory.file("slide.tqf"));
    SlideHandle slide = loadSlide(path, 0);
    ASSERT_TRUE(slide);
    ASSERT_EQ(truncate(path.c_str(), 300), 0);

    const std::string target = directory.file("preview_temp.jpg");
    writeFileBytes(target, {'k', 'e', 'e', 'p'});
    EXPECT_EQ(yelk_get_preview_image(slide.get(), target.c_str()), YELK_READ_FAILED);
    EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(directory.entries(), (std::vector<std::string>{"preview_temp.jpg", "slide.tqf"}));

    // Tile reads of the vanished data fail the same way: length 0, nothing read past it.
    const Fetched tile = fetchTile(slide.get(), FetchOperation::kSingle, 40, 256, 256);
    EXPECT_EQ(tile.result, YELK_READ_FAILED);
    EXPECT_EQ(tile.length, 0u);
}

// The images written to a full disk: YELK_WRITE_FAILED, the target as it
// was, and no temporary file left beside it. The disk is a full tmpfs in a
// private mount namespace where one can be made, and in any case a file
// size limit, under which writes fail as on a full disk.
class ImageExportOnAFullDisk : public ::testing::TestWithParam<bool> {};

TEST_P(ImageExportOnAFullDisk, FailsAndLeavesTheTargetAndNoTemporary) {
    const bool tmpfs = GetParam();
    std::string why;
    if (tmpfs && !tqftest::mountNamespacesAvailable(&why))
        GTEST_SKIP() << "no private mount namespace here (" << why << "); the FileSizeLimit case covers this";
    TempDirectory slides;
    const std::string path = writeSlideOrFail(tissueImage(600, 400), slides.file("slide.tqf"));
    ASSERT_FALSE(path.empty());
    TempDirectory disk;
    const tqftest::ChildOutcome child = tqftest::runInChild([&] {
        std::string problem;
        if (tmpfs) {
            problem = tqftest::enterPrivateMountNamespace();
            if (problem.empty())
                problem = tqftest::mountTmpfs(disk.path(), 64 * 1024);
        }
        if (!problem.empty())
            return problem;
        writeFileBytes(disk.file("preview_temp.jpg"), {'k', 'e', 'e', 'p'});
        problem = tmpfs ? tqftest::fillDisk(disk.file("filler")) : tqftest::limitFileSize(1024);
        if (!problem.empty())
            return problem;
        const std::vector<std::string> before = disk.entries();
        std::string report;
        for (int readAll = 0; readAll <= 1; ++readAll) {
            SlideHandle slide = loadSlide(path, readAll);
            if (!slide)
                return std::string("cannot load the slide");
            report += std::to_string(yelk_get_preview_image(slide.get(), disk.file("preview_temp.jpg").c_str())) + " " +
                      std::to_string(yelk_get_label_image(slide.get(), disk.file("label_temp.jpg").c_str())) + "; ";
        }
        if (readFileBytes(disk.file("preview_temp.jpg")) != std::vector<uint8_t>{'k', 'e', 'e', 'p'})
            report += "the target changed; ";
        if (disk.entries() != before)
            report += "files were left; ";
        return report;
    });
    ASSERT_TRUE(child.ok()) << child.describe();
    const std::string failed = std::to_string(YELK_WRITE_FAILED);
    EXPECT_EQ(child.report, failed + " " + failed + "; " + failed + " " + failed + "; ");
}

INSTANTIATE_TEST_SUITE_P(Disks, ImageExportOnAFullDisk, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Tmpfs" : "FileSizeLimit");
                         });

// A change made to the slide file while a handle to it is open. `apply`
// makes it and returns the bytes the handle's descriptor now reaches: the
// old file's when the name was removed or pointed elsewhere (the open file
// lives on), the new contents when the file itself was changed.
struct FileChange {
    const char *name;
    std::function<std::vector<uint8_t>(const std::string &path, const std::vector<uint8_t> &original,
                                       const TempDirectory &directory)>
        apply;
};

void PrintTo(const FileChange &change, std::ostream *out) { *out << change.name; }

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t &byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

// Rewrites the file in place (the same inode), as a writer that opens it
// with O_TRUNC would.
std::vector<uint8_t> rewriteInPlace(const std::string &path, const std::vector<uint8_t> &bytes) {
    writeFileBytes(path, bytes);
    return bytes;
}

std::vector<uint8_t> truncateTo(const std::string &path, const std::vector<uint8_t> &original, size_t size) {
    EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
    return std::vector<uint8_t>(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(size));
}

std::vector<FileChange> fileChanges() {
    using Bytes = std::vector<uint8_t>;
    return {
        {"Removed",
         [](const std::string &path, const Bytes &original, const TempDirectory &) {
             EXPECT_EQ(unlink(path.c_str()), 0);
             return original;
         }},
        {"ReplacedByRenamingAnotherSlideOverIt",
         [](const std::string &path, const Bytes &original, const TempDirectory &directory) {
             const std::string other = writeSlideOrFail(tissueImage(900, 700), directory.file("other.tqf"));
             EXPECT_EQ(std::rename(other.c_str(), path.c_str()), 0);
             return original;
         }},
        {"TruncatedToNothing", [](const std::string &path, const Bytes &original,
                                  const TempDirectory &) { return truncateTo(path, original, 0); }},
        {"TruncatedMidway", [](const std::string &path, const Bytes &original,
                               const TempDirectory &) { return truncateTo(path, original, original.size() / 2); }},
        {"TruncatedByOneByte", [](const std::string &path, const Bytes &original,
                                  const TempDirectory &) { return truncateTo(path, original, original.size() - 1); }},
        {"TruncatedAndGrownBackWithZeros",
         [](const std::string &path, const Bytes &original, const TempDirectory &) {
             Bytes seen = truncateTo(path, original, original.size() / 4);
             EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(original.size())), 0);
             seen.resize(original.size(), 0);
             return seen;
         }},
        {"RewrittenWithRandomBytesOfTheSameSize",
         [](const std::string &path, const Bytes &original, const TempDirectory &) {
             return rewriteInPlace(path, randomBytes(original.size(), 7));
         }},
        {"RewrittenWithZerosOfTheSameSize",
         [](const std::string &path, const Bytes &original, const TempDirectory &) {
             return rewriteInPlace(path, Bytes(original.size(), 0));
         }},
        {"RewrittenLongerWithRandomBytes",
         [](const std::string &path, const Bytes &original, const TempDirectory &) {
             return rewriteInPlace(path, randomBytes(original.size() * 3 / 2, 8));
         }},
        {"RewrittenShorterWithRandomBytes",
         [](const std::string &path, const Bytes &original, const TempDirectory &) {
             return rewriteInPlace(path, randomBytes(original.size() / 3, 9));
         }},
        {"RewrittenWithAnotherSlide",
         [](const std::string &path, const Bytes &, const TempDirectory &directory) {
             const std::string other = writeSlideOrFail(tissueImage(900, 700), directory.file("other.tqf"));
             return rewriteInPlace(path, readFileBytes(other));
         }},
    };
}

class ASlideChangedWhileOpen : public ::testing::TestWithParam<std::tuple<FileChange, int>> {};

// Every tile of every level through both fetch operations, and both stored
// images, give what the handle can still reach: a handle that read all of
// the file keeps its copy; one that reads on demand gets the bytes now at
// the recorded positions, or YELK_READ_FAILED with length 0 where the file
// no longer reaches. A failed export leaves its target and no temporary.
TEST_P(ASlideChangedWhileOpen, GivesWhatTheFileStillHoldsOrFailsCleanly) {
    const FileChange &change = std::get<0>(GetParam());
    const int readAll = std::get<1>(GetParam());
    TempDirectory directory;
    TempDirectory output;
    SlideWriteOptions options;
    options.label = tissueImage(200, 150);
    const std::string path = writeSlideOrFail(tissueImage(1300, 700), directory.file("slide.tqf"), options);
    ASSERT_FALSE(path.empty());
    const std::vector<uint8_t> original = readFileBytes(path);
    SlideHandle slide = loadSlide(path, readAll);
    ASSERT_TRUE(slide);

    const std::vector<uint8_t> changed = change.apply(path, original, directory);
    const std::vector<uint8_t> &reachable = readAll ? original : changed;
    const auto expectedStream = [&](int64_t position, uint32_t length, std::vector<char> &stream) {
        if (static_cast<uint64_t>(position) + length > reachable.size())
            return false;
        stream.assign(reachable.begin() + position, reachable.begin() + position + length);
        return true;
    };

    const TQF &record = *slide;
    int readable = 0, failed = 0;
    for (int i = 0; i < record.header->dataBlockCount; ++i) {
        const TQF_DATABLOCK_HEADER &block = record.dataBlockHeader[i];
        std::vector<char> expected;
        const bool reachableTile = expectedStream(block.position, block.length, expected);
        (reachableTile ? readable : failed) += 1;
        for (FetchOperation operation : {FetchOperation::kReadAll, FetchOperation::kSingle}) {
            const Fetched tile = fetchTile(slide.get(), operation, static_cast<UINT32>(block.scaleRatio), block.posX,
                                           block.posY);
            const std::string where = "tile " + std::to_string(i) + " at " + std::to_string(block.posX) + ", " +
                                      std::to_string(block.posY) + " of magnification " +
                                      std::to_string(block.scaleRatio);
            if (reachableTile) {
                EXPECT_EQ(tile.result, YELK_OK) << where;
                EXPECT_TRUE(tile.stream == expected) << where;
            } else {
                EXPECT_EQ(tile.result, YELK_READ_FAILED) << where;
                EXPECT_EQ(tile.length, 0u) << where;
            }
        }
    }
    EXPECT_GT(readable + failed, 10);

    const struct {
        const char *name;
        ExportOperation operation;
        int64_t position;
        uint32_t length;
    } images[] = {{"preview", yelk_get_preview_image, record.previewHeader->position, record.previewHeader->length},
                  {"label", yelk_get_label_image, record.labelHeader->position, record.labelHeader->length}};
    for (const auto &image : images) {
        const std::string target = output.file(std::string(image.name) + "_temp.jpg");
        writeFileBytes(target, {'k', 'e', 'e', 'p'});
        std::vector<char> expected;
        if (expectedStream(image.position, image.length, expected)) {
            EXPECT_EQ(image.operation(slide.get(), target.c_str()), YELK_OK) << image.name;
            const std::vector<uint8_t> written = readFileBytes(target);
            EXPECT_TRUE(std::vector<char>(written.begin(), written.end()) == expected) << image.name;
        } else {
            EXPECT_EQ(image.operation(slide.get(), target.c_str()), YELK_READ_FAILED) << image.name;
            EXPECT_EQ(readFileBytes(target), (std::vector<uint8_t>{'k', 'e', 'e', 'p'})) << image.name;
        }
    }
    EXPECT_EQ(output.entries(), (std::vector<std::string>{"label_temp.jpg", "preview_temp.jpg"}));
}

INSTANTIATE_TEST_SUITE_P(Changes, ASlideChangedWhileOpen,
                         ::testing::Combine(::testing::ValuesIn(fileChanges()), ::testing::Values(0, 1)),
                         [](const ::testing::TestParamInfo<std::tuple<FileChange, int>> &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_ReadAll" : "_OnDemand");
                         });

}  // namespace
}  // namespace tqf::testing
