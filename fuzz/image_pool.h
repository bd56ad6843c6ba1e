// Warm memory for the images an input decodes.
//
// Under AddressSanitizer every allocation of 128 KiB or more is mapped
// afresh and unmapped when it leaves the quarantine, and on the development
// machine (a virtual machine) each fresh page costs about 20 µs: a decoded
// 256 x 256 tile (192 KiB) costs about a millisecond in page faults alone,
// more than its decoding. The image library's default allocator is replaced
// by one that keeps freed images of 64 KiB or more in a pool and hands them
// out again, oldest first, once enough others of their size wait behind
// them. While an image waits in the pool its memory is poisoned, so that a
// use after free is still reported, as it is while freed memory waits in the
// sanitizer's own quarantine (which also hands memory out again in the end).
//
// Only in sanitizer builds; elsewhere (the replays under other compilers and
// valgrind) poolLargeImages does nothing.
#ifndef TQF_FUZZ_IMAGE_POOL_H
#define TQF_FUZZ_IMAGE_POOL_H

namespace tqf::fuzz {

// Installs the pooling allocator as the image library's default. Call once,
// before the first image is made.
void poolLargeImages();

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_IMAGE_POOL_H
