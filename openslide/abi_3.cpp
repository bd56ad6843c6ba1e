// libopenslide.so.0: OpenSlide 3.4.1's interface; other files go to the
// system's OpenSlide 3.
#include "abi.h"

namespace tqf::openslide {

namespace {
const char *const kSystemLibraries[] = {"libopenslide.so.0", nullptr};
}

const Abi kAbi = {3, "3.4.1", kSystemLibraries};

}  // namespace tqf::openslide
