// What differs between libopenslide.so.0 and libopenslide.so.1: each is
// linked with one definition of kAbi (abi_3.cpp, abi_4.cpp) besides the
// same code.
#ifndef TQF_OPENSLIDE_ABI_H
#define TQF_OPENSLIDE_ABI_H

namespace tqf::openslide {

struct Abi {
    // The OpenSlide major version whose interface the library provides.
    int major;
    // What openslide_get_version() returns.
    const char *version;
    // The system OpenSlide library files to hand other files to, in order
    // of preference, null-terminated; each is looked for in the system's
    // library folders.
    const char *const *system_libraries;
};

extern const Abi kAbi;

}  // namespace tqf::openslide

#endif  // TQF_OPENSLIDE_ABI_H
