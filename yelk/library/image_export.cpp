#include "image_export.h"

#include "positioned_io.h"
#include "sibling_temp_file.h"
#include "yelk_results.h"

#include <algorithm>
#include <vector>

namespace tqf::library {

namespace {
// Images are copied through a buffer of this size when read from the file.
constexpr size_t kCopyChunk = 64 * 1024;
}  // namespace

int exportStoredImage(const OpenSlide &slide, const StoredImage &image, const char *fileName) {
    if (fileName == nullptr || fileName[0] == '\0')
        return YELK_BAD_ARGUMENT;
    if (!image.exists)
        return YELK_NOT_STORED;
    const SlideState &state = *slide.state;
    io::SiblingTempFile output;
    if (!output.create(fileName))
        return YELK_WRITE_FAILED;
    if (state.contents) {
        if (!output.append(state.contents.get() + image.position, image.length))
            return YELK_WRITE_FAILED;
    } else {
        std::vector<unsigned char> chunk(kCopyChunk);
        for (uint64_t done = 0; done < image.length;) {
            const size_t size = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, image.length - done));
            if (!io::readFullyAt(state.fd, chunk.data(), size, image.position + done))
                return YELK_READ_FAILED;
            if (!output.append(chunk.data(), size))
                return YELK_WRITE_FAILED;
            done += size;
        }
    }
    // A scratch image need not survive a crash, only never be seen half-written.
    return output.commit(io::SiblingTempFile::Durability::kRenameOnly) ? YELK_OK : YELK_WRITE_FAILED;
}

}  // namespace tqf::library
