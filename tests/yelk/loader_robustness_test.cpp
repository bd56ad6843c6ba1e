// The loader on files that are not slides, damaged slides and hostile
// records: it returns no handle, or a slide whose every operation stays in
// bounds. Run under AddressSanitizer to catch out-of-bounds reads.
#include "process_isolation.h"
#include "slide_fixtures.h"
#include "yelk_results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tqf::testing {
namespace {

using tqftest::ChildOutcome;
using tqftest::dropPrivileges;
using tqftest::runInChild;

// Loads quietly and returns what the library wrote to standard error.
// The library's reason for refusing a file, which it writes to standard
// error only when asked to with YELK_VERBOSE.
std::string loadFailureMessage(const std::string &path, int readAll) {
    setenv("YELK_VERBOSE", "1", 1);
    ::testing::internal::CaptureStderr();
    SlideHandle slide = loadSlide(path, readAll);
    const std::string message = ::testing::internal::GetCapturedStderr();
    unsetenv("YELK_VERBOSE");
    return slide ? std::string() : message;
}

int quietlyExercise(const std::string &path, const TempDirectory &scratch) {
    ::testing::internal::CaptureStderr();
    const int loaded = exerciseSlideFile(path, scratch);
    ::testing::internal::GetCapturedStderr();
    return loaded;
}

class DamagedSlide : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = new TempDirectory;
        // 600 x 400: levels of 6, 2 and 1 tiles; an extension record.
        SlideWriteOptions options;
        options.sourceProperties = {{"aperio.AppMag", "20"}, {"tiff.Make", "a scanner"}};
        const std::string path = writeSlideOrFail(tissueImage(600, 400), directory->file("original.tqf"), options);
        original = new std::vector<uint8_t>(readFileBytes(path));
    }
    static void TearDownTestSuite() {
        delete original;
        delete directory;
    }

    template <typename Record>
    Record recordAt(int64_t position) const {
        Record record;
        std::memcpy(&record, original->data() + position, sizeof record);
        return record;
    }
    TQF_HEADER header() const { return recordAt<TQF_HEADER>(0); }
    format::ExtensionDirectory extensions() const {
        format::ExtensionDirectory found;
        std::memcpy(&found, recordAt<TQF_PREVIEW_HEADER>(format::kPreviewHeaderPosition).reserved, sizeof found);
        return found;
    }
    int64_t blockPosition(int index) const {
        return header().dataBlockPos + index * static_cast<int64_t>(sizeof(TQF_DATABLOCK_HEADER));
    }

    // Offsets at which every record and every field of a record starts and ends.
    std::set<size_t> recordBoundaries() const {
        std::set<size_t> offsets;
        const size_t headerFields[] = {0, 4, 12, 16, 20, 24, 28, 32, 40, 44, 52, 56, 60, 68, 76, 80, 88, 92, 96};
        const size_t imageFields[] = {0, 4, 8, 12, 16, 20, 24, 32, 48, 52};
        const size_t blockFields[] = {0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 44, 60, 64};
        offsets.insert(std::begin(headerFields), std::end(headerFields));
        for (int64_t start :
             {format::kPreviewHeaderPosition, format::kLabelHeaderPosition, format::kThumbnailHeaderPosition})
            for (size_t field : imageFields)
                offsets.insert(static_cast<size_t>(start) + field);
        const TQF_HEADER slide = header();
        for (int index = 0; index < slide.dataBlockCount; ++index) {
            const TQF_DATABLOCK_HEADER block = recordAt<TQF_DATABLOCK_HEADER>(blockPosition(index));
            offsets.insert(static_cast<size_t>(block.position));
            offsets.insert(static_cast<size_t>(block.position + block.length));
            for (size_t field : blockFields)
                offsets.insert(static_cast<size_t>(blockPosition(index)) + field);
        }
        const format::ExtensionDirectory table = extensions();
        for (uint32_t i = 0; i < table.count; ++i) {
            const int64_t at = table.tablePosition + i * static_cast<int64_t>(sizeof(format::ExtensionEntry));
            const format::ExtensionEntry entry = recordAt<format::ExtensionEntry>(at);
            for (size_t field : {0, 4, 8, 16})
                offsets.insert(static_cast<size_t>(at) + field);
            offsets.insert(static_cast<size_t>(entry.position));
            offsets.insert(static_cast<size_t>(entry.position + entry.length));
        }
        for (int64_t image :
             {format::kPreviewHeaderPosition, format::kLabelHeaderPosition, format::kThumbnailHeaderPosition}) {
            const TQF_PREVIEW_HEADER stored = recordAt<TQF_PREVIEW_HEADER>(image);
            offsets.insert(static_cast<size_t>(stored.position));
            offsets.insert(static_cast<size_t>(stored.position + stored.length));
        }
        return offsets;
    }

    std::string writeVariant(const std::vector<uint8_t> &bytes) const {
        const std::string path = directory->file("variant.tqf");
        writeFileBytes(path, bytes);
        return path;
    }

    static TempDirectory *directory;
    static std::vector<uint8_t> *original;
};
TempDirectory *DamagedSlide::directory = nullptr;
std::vector<uint8_t> *DamagedSlide::original = nullptr;

TEST_F(DamagedSlide, TruncatedAnywhereIsRefused) {
    std::set<size_t> offsets = recordBoundaries();
    for (size_t offset = 1; offset < original->size(); offset += original->size() / 150)
        offsets.insert(offset);
    offsets.insert(original->size() - 1);
    ASSERT_GT(offsets.size(), 200u);
    for (size_t offset : offsets) {
        if (offset >= original->size())
            continue;
        const std::string path = writeVariant(std::vector<uint8_t>(original->begin(), original->begin() + offset));
        EXPECT_EQ(quietlyExercise(path, *directory), 0) << "truncated to " << offset << " bytes";
    }
}

TEST_F(DamagedSlide, TruncatedWithTheRecordedSizeAdjustedStaysInBounds) {
    // With the recorded size made to agree, the remaining checks must catch
    // every record that now points past the end.
    for (size_t offset : recordBoundaries()) {
        if (offset < sizeof(TQF_HEADER) || offset >= original->size())
            continue;
        std::vector<uint8_t> bytes(original->begin(), original->begin() + offset);
        const int64_t size = static_cast<int64_t>(offset);
        std::memcpy(bytes.data() + offsetof(TQF_HEADER, freeInfo), &size, sizeof size);
        EXPECT_EQ(quietlyExercise(writeVariant(bytes), *directory), 0) << "truncated to " << offset << " bytes";
    }
}

TEST_F(DamagedSlide, FlippedBytesInAnyRecordStayInBounds) {
    std::vector<size_t> offsets;
    for (size_t offset = 0; offset < static_cast<size_t>(format::kFirstDataPosition); ++offset)
        offsets.push_back(offset);
    for (size_t offset = static_cast<size_t>(header().dataBlockPos); offset < original->size(); ++offset)
        offsets.push_back(offset);
    const std::string path = writeVariant(*original);
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    int loaded = 0;
    for (size_t offset : offsets) {
        for (uint8_t mask : {0xff, 0x01, 0x80}) {
            const uint8_t flipped = (*original)[offset] ^ mask;
            ASSERT_EQ(pwrite(fd, &flipped, 1, static_cast<off_t>(offset)), 1);
            loaded += quietlyExercise(path, *directory);
            ASSERT_EQ(pwrite(fd, &(*original)[offset], 1, static_cast<off_t>(offset)), 1);
        }
    }
    close(fd);
    // Fields the reader does not depend on (scan time, reserved bytes, ...)
    // may change without the slide being refused; the rest may not.
    EXPECT_GT(loaded, 0);
    EXPECT_LT(loaded, static_cast<int>(offsets.size() * 3 * 2 / 2));
}

TEST_F(DamagedSlide, StreamLengthsAtAndPastTheBufferAndAbsentTiles) {
    // Pad the file so that a stream of more than the buffer's size fits in it.
    std::vector<uint8_t> bytes = *original;
    bytes.resize(std::max<size_t>(bytes.size(), format::kFirstDataPosition + 2 * YELK_TILE_STREAM_CAPACITY), 0x5a);
    const int64_t size = static_cast<int64_t>(bytes.size());
    std::memcpy(bytes.data() + offsetof(TQF_HEADER, freeInfo), &size, sizeof size);
    const auto setBlock = [&](int index, uint32_t length, int64_t position) {
        const size_t at = static_cast<size_t>(blockPosition(index));
        std::memcpy(bytes.data() + at + offsetof(TQF_DATABLOCK_HEADER, length), &length, sizeof length);
        std::memcpy(bytes.data() + at + offsetof(TQF_DATABLOCK_HEADER, position), &position, sizeof position);
    };
    setBlock(0, YELK_TILE_STREAM_CAPACITY + 1, format::kFirstDataPosition);  // tile (0, 0)
    setBlock(1, YELK_TILE_STREAM_CAPACITY, format::kFirstDataPosition);      // tile (256, 0)
    setBlock(2, 0, 0);                                                       // tile (512, 0): not stored
    const std::string path = writeVariant(bytes);

    constexpr size_t kGuard = 64;
    for (int readAll = 0; readAll <= 1; ++readAll) {
        SlideHandle slide = loadSlide(path, readAll);
        ASSERT_TRUE(slide) << readAll;
        const struct {
            INT32 x;
            int result;
            UINT32 length;
        } cases[] = {
            {0, YELK_STREAM_TOO_LONG, 0},
            {256, YELK_OK, YELK_TILE_STREAM_CAPACITY},
            {512, YELK_NOT_STORED, 777},
        };
        for (const auto &c : cases) {
            std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY + kGuard, '\x11');
            UINT32 length = 777;
            EXPECT_EQ(yelk_get_datablock_stream(slide.get(), 40, c.x, 0, buffer.data(), &length), c.result) << c.x;
            EXPECT_EQ(length, c.length) << c.x;
            EXPECT_EQ(std::count(buffer.end() - kGuard, buffer.end(), '\x11'), static_cast<long>(kGuard)) << c.x;
        }
    }
}

struct HostileField {
    const char *name;
    int record;  // -1: slide header; -2, -3: preview, label header; -4: extension table; k >= 0: block k
    size_t offset;
    int64_t value;
    int size;  // bytes written
    const char *reason;
};

class HostileRecord : public DamagedSlide, public ::testing::WithParamInterface<HostileField> {};

TEST_P(HostileRecord, IsRefusedWithAReason) {
    const HostileField &field = GetParam();
    std::vector<uint8_t> bytes = *original;
    int64_t start = 0;
    if (field.record == -4)
        start = extensions().tablePosition;
    else if (field.record == -2)
        start = format::kPreviewHeaderPosition;
    else if (field.record == -3)
        start = format::kLabelHeaderPosition;
    else if (field.record >= 0)
        start = blockPosition(field.record);
    int64_t value = field.value;
    if (value == -1000)  // the file's size
        value = static_cast<int64_t>(bytes.size());
    std::memcpy(bytes.data() + start + field.offset, &value, static_cast<size_t>(field.size));
    const std::string path = writeVariant(bytes);
    for (int readAll = 0; readAll <= 1; ++readAll)
        EXPECT_NE(loadFailureMessage(path, readAll).find(field.reason), std::string::npos)
            << field.name << ": " << loadFailureMessage(path, readAll);
}

constexpr int64_t kFileSize = -1000;

INSTANTIATE_TEST_SUITE_P(
    Fields, HostileRecord,
    ::testing::Values(
        HostileField{"start marker", -1, offsetof(TQF_HEADER, startFlag), 0, 4, "start marker"},
        HostileField{"format name", -1, offsetof(TQF_HEADER, fileFormat), 'X', 1, "format name"},
        HostileField{"major version 2", -1, offsetof(TQF_HEADER, version), 0x40000000, 4, "version"},
        HostileField{"compression", -1, offsetof(TQF_HEADER, compressType), 'P', 1, "compression"},
        HostileField{"tile edge", -1, offsetof(TQF_HEADER, imageBlockLen), 512, 4, "tile size"},
        HostileField{"zero magnification", -1, offsetof(TQF_HEADER, scanScale), 0, 4, "magnification"},
        HostileField{"huge magnification", -1, offsetof(TQF_HEADER, scanScale), 1001, 4, "magnification"},
        HostileField{"zero width", -1, offsetof(TQF_HEADER, imageWidth), 0, 4, "not positive"},
        HostileField{"huge width", -1, offsetof(TQF_HEADER, imageWidth), INT32_MAX, 4, "calls for"},
        HostileField{"huge height", -1, offsetof(TQF_HEADER, imageHeight), INT32_MAX, 4, "calls for"},
        HostileField{"huge tile count", -1, offsetof(TQF_HEADER, dataBlockCount), INT32_MAX, 4, "calls for"},
        HostileField{"negative tile count", -1, offsetof(TQF_HEADER, dataBlockCount), -1, 4, "not positive"},
        HostileField{"recorded size", -1, offsetof(TQF_HEADER, freeInfo), 1, 8, "truncated or appended"},
        HostileField{"index at the end", -1, offsetof(TQF_HEADER, dataBlockPos), kFileSize, 8, "tile index"},
        HostileField{"index before the data", -1, offsetof(TQF_HEADER, dataBlockPos), 0, 8, "tile index"},
        HostileField{"negative index", -1, offsetof(TQF_HEADER, dataBlockPos), INT64_MIN, 8, "tile index"},
        HostileField{"preview header outside", -1, offsetof(TQF_HEADER, previewPos), kFileSize, 4,
                     "preview header position"},
        HostileField{"label header in the header", -1, offsetof(TQF_HEADER, labelPos), 8, 4, "label header position"},
        HostileField{"thumbnail header negative", -1, offsetof(TQF_HEADER, thumbnailPos), -52, 8,
                     "thumbnail header position"},
        HostileField{"preview presence", -2, offsetof(TQF_PREVIEW_HEADER, exist), 2, 4, "presence"},
        HostileField{"preview too long", -2, offsetof(TQF_PREVIEW_HEADER, length), UINT32_MAX, 4, "outside the file"},
        HostileField{"preview far away", -2, offsetof(TQF_PREVIEW_HEADER, position), INT64_MAX, 8, "outside the file"},
        HostileField{"label channels", -3, offsetof(TQF_LABEL_HEADER, channel), 4, 4, "channels"},
        HostileField{"label markers", -3, offsetof(TQF_LABEL_HEADER, stopFlag), 0, 4, "markers"},
        HostileField{"block markers", 0, offsetof(TQF_DATABLOCK_HEADER, startFlag), 0, 4, "markers"},
        HostileField{"block position x", 3, offsetof(TQF_DATABLOCK_HEADER, posX), 1, 4, "recorded at x"},
        HostileField{"edge block width", 2, offsetof(TQF_DATABLOCK_HEADER, width), 256, 4, "recorded as"},
        HostileField{"block magnification", 7, offsetof(TQF_DATABLOCK_HEADER, scaleRatio), 0x42200000, 4,
                     "magnification"},
        HostileField{"block offset", 1, offsetof(TQF_DATABLOCK_HEADER, offsetX), 5, 4, "offset"},
        HostileField{"block too long", 5, offsetof(TQF_DATABLOCK_HEADER, length), kFileSize, 4, "outside the file"},
        HostileField{"block negative", 5, offsetof(TQF_DATABLOCK_HEADER, position), -1, 8, "outside the file"},
        HostileField{"block in the header", 8, offsetof(TQF_DATABLOCK_HEADER, position), 10, 8, "outside the file"},
        HostileField{"no extension records", -2, offsetof(TQF_PREVIEW_HEADER, reserved) + 4, 0, 4, "lists 0 records"},
        HostileField{"too many extension records", -2, offsetof(TQF_PREVIEW_HEADER, reserved) + 4, 65, 4,
                     "lists 65 records"},
        HostileField{"extension table outside", -2, offsetof(TQF_PREVIEW_HEADER, reserved) + 8, kFileSize, 8,
                     "extension table"},
        HostileField{"extension table in the header", -2, offsetof(TQF_PREVIEW_HEADER, reserved) + 8, 100, 8,
                     "extension table"},
        HostileField{"extension record outside", -4, offsetof(format::ExtensionEntry, position), kFileSize, 8,
                     "extension record 0"},
        HostileField{"extension record too long", -4, offsetof(format::ExtensionEntry, length), (16 << 20) + 1, 4,
                     "more than 16777216"}),
    [](const ::testing::TestParamInfo<HostileField> &info) {
        std::string name = info.param.name;
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST_F(DamagedSlide, ReservedBytesWithoutTheExtensionMarkerAreIgnored) {
    SlideHandle sound = loadSlide(writeVariant(*original), 0);
    ASSERT_TRUE(sound);
    ASSERT_EQ(sound->extension->extCount, 1u);
    EXPECT_EQ(sound->extension->data[0].id, format::kSourcePropertiesRecord);
    EXPECT_EQ(sound->extensionLength, sizeof(TQF_EXTENSION));
    sound.reset();
    std::vector<uint8_t> bytes = *original;
    bytes[format::kPreviewHeaderPosition + offsetof(TQF_PREVIEW_HEADER, reserved)] ^= 0x20;  // the marker
    SlideHandle slide = loadSlide(writeVariant(bytes), 1);
    ASSERT_TRUE(slide) << "reserved bytes are the business of whoever marks them";
    EXPECT_EQ(slide->extension->extCount, 0u);
    EXPECT_EQ(slide->extensionLength, 0u);
}

// Fails the test (by SIGALRM ending its process) rather than letting it hang.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
};

TEST(NotASlide, IsRefusedPromptly) {
    const Watchdog watchdog(600);  // a blocking open of a FIFO would wait for ever
    TempDirectory directory;
    writeFileBytes(directory.file("empty.tqf"), {});
    writeFileBytes(directory.file("short.tqf"), std::vector<uint8_t>(251, 0));
    writeFileBytes(directory.file("zeros.tqf"), std::vector<uint8_t>(4096, 0));
    ASSERT_EQ(mkfifo(directory.file("fifo.tqf").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(directory.file("held-fifo.tqf").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(directory.file("dir.tqf").c_str(), 0700), 0);
    ASSERT_EQ(symlink("fifo.tqf", directory.file("link-to-fifo.tqf").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", directory.file("link-to-zero.tqf").c_str()), 0);
    // A FIFO with a writer attached: opening it succeeds, and reading would
    // wait for data that never comes.
    const int heldWriter = open(directory.file("held-fifo.tqf").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(heldWriter, 0);
    const struct {
        std::string path;
        const char *reason;
    } cases[] = {
        {directory.file("missing.tqf"), "No such file"},
        {directory.file("empty.tqf"), "too short"},
        {directory.file("short.tqf"), "too short"},
        {directory.file("zeros.tqf"), "start marker"},
        {directory.file("fifo.tqf"), "not a regular file"},  // must not wait for a writer
        {directory.file("held-fifo.tqf"), "not a regular file"},
        {directory.file("link-to-fifo.tqf"), "not a regular file"},
        {directory.file("dir.tqf"), "directory"},
        {"/dev/null", "not a regular file"},
        {"/dev/zero", "not a regular file"},  // endless: reading it whole would never end
        {directory.file("link-to-zero.tqf"), "not a regular file"},
        {"", "no path"},
    };
    for (const auto &c : cases)
        for (int readAll = 0; readAll <= 1; ++readAll)
            EXPECT_NE(loadFailureMessage(c.path, readAll).find(c.reason), std::string::npos) << c.path;
    close(heldWriter);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(yelk_load_image(nullptr, 0), nullptr);
    ::testing::internal::GetCapturedStderr();
}

// Root reads any file, so the loads run in a child that gave up root.
TEST(NotASlide, UnreadableFileIsRefused) {
    TempDirectory directory;
    ASSERT_EQ(chmod(directory.path().c_str(), 0755), 0);  // enterable once root is given up
    const std::string open = writeSlideOrFail(tissueImage(300, 300), directory.file("open.tqf"));
    ASSERT_FALSE(open.empty());
    writeFileBytes(directory.file("locked.tqf"), readFileBytes(open));
    ASSERT_EQ(chmod(directory.file("locked.tqf").c_str(), 0), 0);
    ASSERT_EQ(mkdir(directory.file("closed").c_str(), 0700), 0);
    writeFileBytes(directory.file("closed/inside.tqf"), readFileBytes(open));
    ASSERT_EQ(chmod(directory.file("closed/inside.tqf").c_str(), 0644), 0);
    ASSERT_EQ(chmod(directory.file("closed").c_str(), 0), 0);  // a readable file in a directory not to be entered
    ASSERT_EQ(chmod(open.c_str(), 0644), 0);

    const ChildOutcome child = runInChild([&] {
        std::string report = dropPrivileges();
        for (const char *name : {"open.tqf", "locked.tqf", "closed/inside.tqf"})
            for (int readAll = 0; readAll <= 1; ++readAll) {
                const std::string message = loadFailureMessage(directory.file(name), readAll);
                report += std::string(name) + (readAll ? " read all: " : ": ") +
                          (message.empty()                                          ? "loaded"
                           : message.find("Permission denied") != std::string::npos ? "Permission denied"
                                                                                    : message) +
                          "\n";
            }
        return report;
    });
    chmod(directory.file("closed").c_str(), 0700);
    ASSERT_TRUE(child.ok()) << child.describe();
    EXPECT_EQ(child.report, "open.tqf: loaded\nopen.tqf read all: loaded\n"
                            "locked.tqf: Permission denied\nlocked.tqf read all: Permission denied\n"
                            "closed/inside.tqf: Permission denied\nclosed/inside.tqf read all: Permission denied\n");
}

TEST(NotASlide, RefusalIsSilentUnlessAskedFor) {
    TempDirectory scratch;
    ::testing::internal::CaptureStderr();
    SlideHandle slide = loadSlide(scratch.file("missing.tqf"), 0);
    EXPECT_FALSE(slide);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(loadFailureMessage(scratch.file("missing.tqf"), 0).find("missing.tqf"), std::string::npos);
}

}  // namespace
}  // namespace tqf::testing
