// Fuzz target of the stand-in slide library: arbitrary bytes as a slide
// file (in memory, by a path in the workspace), loaded both ways (read-all and not); where a load succeeds, every
// tile of every level, positions around and beyond them, and scales no level
// has are fetched with both operations, and the preview and label are
// exported. Beyond memory safety it checks the library's promises: a stream
// never longer than the buffer, lengths that match the results, exported
// images of the stored length, and no temporary file left behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "fuzz_workspace.h"
#include "yelk.h"
#include "yelk_results.h"

namespace {

using tqf::fuzz::workspace;

constexpr INT32 kTile = 256;
constexpr UINT32 kUntouched = 0xA5A5A5A5u;

[[noreturn]] void broken(const char *promise) {
    std::fprintf(stderr, "slide library broke a promise: %s\n", promise);
    std::abort();
}

void fetch(TQF *slide, bool readAll, UINT32 scale, INT32 x, INT32 y, std::vector<char> &buffer) {
    auto operation = readAll ? yelk_get_datablock_stream : yelk_get_datablock_stream_single;
    UINT32 length = kUntouched;
    const int result = operation(slide, scale, x, y, buffer.data(), &length);
    if (result == YELK_OK && (length == 0 || length > YELK_TILE_STREAM_CAPACITY))
        broken("a delivered stream has a length between 1 and the buffer's capacity");
    if (result == YELK_NOT_STORED && length != kUntouched)
        broken("the length is left alone when nothing is stored");
    if ((result == YELK_STREAM_TOO_LONG || result == YELK_READ_FAILED) && length != 0)
        broken("the length is 0 when a stored stream cannot be delivered");
}

// The positions of every tile of every level the header's size calls for,
// a tile beyond each level's right and bottom edge, and positions that are
// negative, not multiples of the tile edge or at the ends of INT32.
void fetchEverything(TQF *slide, bool readAll) {
    std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY);
    const TQF_HEADER &header = *slide->header;
    int64_t width = header.imageWidth, height = header.imageHeight;
    double magnification = header.scanScale;
    for (;;) {
        const UINT32 address = static_cast<UINT32>(magnification);
        for (int64_t y = 0; y < height + kTile; y += kTile)
            for (int64_t x = 0; x < width + kTile; x += kTile)
                fetch(slide, readAll, address, static_cast<INT32>(x), static_cast<INT32>(y), buffer);
        for (const INT32 odd : {-kTile, -1, 1, kTile - 1, INT32_MAX, INT32_MIN, INT32_MAX - kTile + 1}) {
            fetch(slide, readAll, address, odd, 0, buffer);
            fetch(slide, readAll, address, 0, odd, buffer);
        }
        if (width <= kTile && height <= kTile)
            break;
        width = (width + 1) / 2;
        height = (height + 1) / 2;
        magnification /= 2;
    }
    for (const UINT32 scale : {0u, static_cast<UINT32>(header.scanScale) + 1, 3u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        fetch(slide, readAll, scale, 0, 0, buffer);
    if (yelk_get_datablock_stream(slide, 0, 0, 0, nullptr, nullptr) != YELK_BAD_ARGUMENT)
        broken("a null buffer is refused");
}

long long fileSize(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// Names in the workspace that start with '.': the exports' temporaries.
bool temporariesLeft() {
    bool found = false;
    if (DIR *dir = opendir(workspace().c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name[0] == '.')
                found = true;
        }
        closedir(dir);
    }
    return found;
}

template <typename ImageHeader>
void exportImage(TQF *slide, int (*operation)(TQF *, const char *), const ImageHeader *stored,
                 const std::string &target) {
    std::remove(target.c_str());
    const int result = operation(slide, target.c_str());
    if (result == YELK_OK) {
        if (stored == nullptr || !stored->exist || fileSize(target) != static_cast<long long>(stored->length))
            broken("an exported image holds exactly the stored bytes");
    } else if (fileSize(target) != -1) {
        broken("a failed export leaves no target");
    }
    if (temporariesLeft())
        broken("no temporary file outlives an export");
    if (operation(slide, "") != YELK_BAD_ARGUMENT || operation(slide, nullptr) != YELK_BAD_ARGUMENT)
        broken("an empty or null file name is refused");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &path = tqf::fuzz::memoryFile("slide.tqf", data, size);
    for (const bool readAll : {false, true}) {
        TQF *slide = yelk_load_image(path.c_str(), readAll ? 1 : 0);
        if (slide == nullptr)
            continue;
        if (slide->header == nullptr)
            broken("a loaded slide has a header");
        fetchEverything(slide, readAll);
        exportImage(slide, yelk_get_preview_image, slide->previewHeader, workspace() + "/preview.jpg");
        exportImage(slide, yelk_get_label_image, slide->labelHeader, workspace() + "/label.jpg");
        // Unloading with the other flag must release the slide all the same.
        yelk_unload_image(slide, readAll ? 0 : 1);
    }
    return 0;
}
