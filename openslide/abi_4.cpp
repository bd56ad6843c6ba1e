// libopenslide.so.1: OpenSlide 4.0's interface; other files go to the
// system's OpenSlide 4, or to its OpenSlide 3 where it has no other (which
// reads the same formats but DICOM, has no ICC profiles and keeps its own
// tile cache).
#include "abi.h"

namespace tqf::openslide {

namespace {
const char *const kSystemLibraries[] = {"libopenslide.so.1", "libopenslide.so.0", nullptr};
}

const Abi kAbi = {4, "4.0.0", kSystemLibraries};

}  // namespace tqf::openslide
