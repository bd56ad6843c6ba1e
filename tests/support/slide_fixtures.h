// The one slide-making fixture of the C++ tests: temporary directories,
// tissue images made from the stained-tissue sample of python3-skimage,
// slides written with the writer, and slides and tiles read back through the
// slide library's operations.
#ifndef TQF_TESTS_SLIDE_FIXTURES_H
#define TQF_TESTS_SLIDE_FIXTURES_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "private_directory.h"
#include "tqf_format.h"
#include "tqf_writer.h"
#include "yelk.h"

namespace tqf::testing {

// A directory of the test's own under $TMPDIR (or /tmp), removed with
// everything in it, whatever permissions a test left there.
class TempDirectory : public io::PrivateDirectory {
public:
    TempDirectory() : io::PrivateDirectory("tqf-test-") {}
    std::vector<std::string> entries() const;  // names in the directory, sorted
};

// A width x height BGR image tiled from 300-pixel crops of the
// stained-tissue sample (not a divisor of the tile edge), flipped and turned
// so that neighbouring patches differ; the same image for the same size.
cv::Mat tissueImage(int width, int height);

// Writes a slide and fails the calling test (via the returned path being
// empty) when the writer reports an error.
std::string writeSlideOrFail(const cv::Mat &image, const std::string &path, const SlideWriteOptions &options = {});

std::vector<uint8_t> readFileBytes(const std::string &path);
void writeFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);

struct SlideUnloader {
    void operator()(TQF *slide) const { yelk_unload_image(slide, 0); }
};
using SlideHandle = std::unique_ptr<TQF, SlideUnloader>;
SlideHandle loadSlide(const std::string &path, int readAll);

enum class FetchOperation { kReadAll, kSingle };
struct Fetched {
    int result = -1;
    UINT32 length = 0;
    std::vector<char> stream;  // the first `length` bytes of the buffer
};
Fetched fetchTile(TQF *slide, FetchOperation operation, UINT32 scale, INT32 x, INT32 y);

// Level k of the image, each level the 2 x 2 mean of the one above (a plain
// reference computation, independent of the writer's).
cv::Mat referenceLevel(const cv::Mat &image, int k);

double psnr(const cv::Mat &a, const cv::Mat &b);
// PSNR of the luminance alone, where JPEG spends its bits.
double lumaPsnr(const cv::Mat &a, const cv::Mat &b);

// Loads the file with both read-all flags and, where it loads, fetches every
// tile position of every level with both operations and writes the preview
// and label into `scratch`. Returns how many loads succeeded. Out-of-bounds
// access shows under AddressSanitizer.
int exerciseSlideFile(const std::string &path, const TempDirectory &scratch);

}  // namespace tqf::testing

#endif  // TQF_TESTS_SLIDE_FIXTURES_H
