#include "slide_loader.h"

#include "positioned_io.h"
#include "record_checks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace tqf::library {

namespace {

std::string errorText() { return std::strerror(errno); }

// Opens without blocking, so a FIFO or a device that waits for a peer cannot
// hang the caller; only regular files are accepted.
int openRegularFile(const char *path, uint64_t &size, std::string &error) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open it: " + errorText();
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        error = "cannot inspect it: " + errorText();
        close(fd);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? "it is a directory" : "it is not a regular file";
        close(fd);
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    size = static_cast<uint64_t>(info.st_size);
    return fd;
}

bool readRecord(const SlideState &state, uint64_t offset, void *destination, size_t size) {
    if (offset > state.fileSize || size > state.fileSize - offset) {
        errno = EIO;
        return false;
    }
    return io::readFullyAt(state.fd, destination, size, offset);
}

template <typename ImageHeader>
std::string readImageHeader(const SlideState &state, int64_t position, const char *which, ImageHeader &image) {
    std::string problem = checkImageHeaderPosition(position, which, state.fileSize);
    if (!problem.empty())
        return problem;
    if (!readRecord(state, static_cast<uint64_t>(position), &image, sizeof image))
        return std::string("cannot read the ") + which + " header: " + errorText();
    return checkImageHeader(image, which, state.fileSize);
}

std::vector<int8_t> levelLookup(const std::vector<format::Level> &levels, int32_t scanMagnification) {
    std::vector<int8_t> byAddress(static_cast<size_t>(scanMagnification) + 1, -1);
    // Finest first, so where several levels truncate to one number the finest answers.
    for (const format::Level &level : levels)
        if (byAddress[level.address] < 0)
            byAddress[level.address] = static_cast<int8_t>(level.index);
    return byAddress;
}

// The extension records, read whole whether or not the slide is read all:
// they are small, and bounded by kMaxExtensionBytes.
std::string readExtensions(SlideState &state) {
    format::ExtensionDirectory directory;
    std::string problem;
    if (!readExtensionDirectory(state.previewHeader, state.fileSize, directory, problem))
        return {};
    if (!problem.empty())
        return problem;
    std::vector<format::ExtensionEntry> entries(directory.count);
    if (!readRecord(state, static_cast<uint64_t>(directory.tablePosition), entries.data(),
                    entries.size() * sizeof(format::ExtensionEntry)))
        return "cannot read the extension table: " + errorText();
    problem = checkExtensionEntries(entries, state.fileSize);
    if (!problem.empty())
        return problem;
    state.extensionBytes.resize(entries.size());
    state.extensionFields.resize(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::vector<unsigned char> &bytes = state.extensionBytes[i];
        bytes.resize(entries[i].length);
        if (!bytes.empty() &&
            !readRecord(state, static_cast<uint64_t>(entries[i].position), bytes.data(), bytes.size()))
            return "cannot read extension record " + std::to_string(i) + ": " + errorText();
        state.extensionFields[i] = TQF_EXTENSION_FIELD{entries[i].id, entries[i].length, bytes.data()};
    }
    state.extension.extCount = static_cast<UINT32>(entries.size());
    state.extension.data = state.extensionFields.data();
    return {};
}

std::string readSlide(SlideState &state) {
    if (state.fileSize < static_cast<uint64_t>(format::kFirstDataPosition))
        return "it is " + std::to_string(state.fileSize) + " bytes long, too short for a slide";
    if (!readRecord(state, 0, &state.header, sizeof state.header))
        return "cannot read the header: " + errorText();
    std::string problem = checkHeader(state.header, state.fileSize);
    if (problem.empty())
        problem = readImageHeader(state, state.header.previewPos, "preview", state.previewHeader);
    if (problem.empty())
        problem = readImageHeader(state, state.header.labelPos, "label", state.labelHeader);
    if (problem.empty())
        problem = readImageHeader(state, state.header.thumbnailPos, "thumbnail", state.thumbnailHeader);
    if (!problem.empty())
        return problem;

    state.levels = format::pyramidLevels(state.header.imageWidth, state.header.imageHeight, state.header.scanScale);
    problem = checkBlockIndexExtent(state.header, state.levels, state.fileSize);
    if (!problem.empty())
        return problem;
    // The count now is bounded by the file's size, so this allocation is too.
    state.blocks.resize(static_cast<size_t>(state.header.dataBlockCount));
    if (!readRecord(state, static_cast<uint64_t>(state.header.dataBlockPos), state.blocks.data(),
                    state.blocks.size() * sizeof(TQF_DATABLOCK_HEADER)))
        return "cannot read the tile index: " + errorText();
    problem = checkBlocks(state.blocks, state.levels, state.fileSize);
    if (!problem.empty())
        return problem;
    state.levelByAddress = levelLookup(state.levels, state.header.scanScale);
    problem = readExtensions(state);
    if (!problem.empty())
        return problem;

    // Only a file whose records are sound is read whole: a damaged or foreign
    // file never makes the library allocate its size.
    if (state.readAll) {
        state.contents.reset(new (std::nothrow) unsigned char[state.fileSize]);
        if (!state.contents)
            return "not enough memory to read all " + std::to_string(state.fileSize) + " bytes";
        if (!io::readFullyAt(state.fd, state.contents.get(), state.fileSize, 0))
            return "cannot read it: " + errorText();
    }
    return {};
}

void fillRecord(OpenSlide &slide) {
    SlideState &state = *slide.state;
    TQF &record = slide.record;
    std::memset(&record, 0, sizeof record);
    record.fileSize = state.fileSize;
    record.header = &state.header;
    record.headerLength = sizeof(TQF_HEADER);
    record.extension = &state.extension;
    record.extensionLength = state.extension.extCount > 0 ? sizeof(TQF_EXTENSION) : 0;
    record.previewHeader = &state.previewHeader;
    record.previewHeaderLength = sizeof(TQF_PREVIEW_HEADER);
    record.labelHeader = &state.labelHeader;
    record.labelHeaderLength = sizeof(TQF_LABEL_HEADER);
    record.thumbnailHeader = &state.thumbnailHeader;
    record.dataBlockHeader = state.blocks.data();
}

}  // namespace

OpenSlide *loadSlide(const char *path, bool readAll, std::string &error) {
    if (path == nullptr || path[0] == '\0') {
        error = "no path was given";
        return nullptr;
    }
    auto state = std::make_unique<SlideState>();
    state->readAll = readAll;
    state->fd = openRegularFile(path, state->fileSize, error);
    if (state->fd < 0)
        return nullptr;
    try {
        error = readSlide(*state);
    } catch (const std::bad_alloc &) {
        error = "not enough memory to read it";
    }
    // The record is allocated before the stream is made, so that nothing
    // that can fail comes between making the stream and handing it over.
    std::unique_ptr<OpenSlide> slide;
    if (error.empty()) {
        slide.reset(new (std::nothrow) OpenSlide);
        if (!slide)
            error = "not enough memory to open it";
    }
    FILE *file = error.empty() ? fdopen(state->fd, "rb") : nullptr;
    if (file == nullptr) {
        if (error.empty())
            error = "cannot open it as a stream: " + errorText();
        close(state->fd);
        return nullptr;
    }
    slide->state = state.release();
    fillRecord(*slide);
    slide->record.infile = file;
    return slide.release();
}

void releaseSlide(OpenSlide *slide) {
    if (slide == nullptr)
        return;
    if (slide->record.infile != nullptr)
        std::fclose(slide->record.infile);
    delete slide->state;
    delete slide;
}

}  // namespace tqf::library
