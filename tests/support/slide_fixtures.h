// Helpers for the slide library and writer tests: temporary directories,
// tissue images made from the immunohistochemistry sample, slides written
// with the writer, and tile fetches through the library.
#ifndef TQF_TESTS_SLIDE_FIXTURES_H
#define TQF_TESTS_SLIDE_FIXTURES_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "tqf_format.h"
#include "tqf_writer.h"
#include "yelk.h"

namespace tqf::testing {

class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;
    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const { return m_path + "/" + name; }
    std::vector<std::string> entries() const;  // names in the directory, sorted

private:
    std::string m_path;
};

// A width x height BGR image tiled from crops of the stained-tissue sample,
// flipped and turned so that neighbouring patches differ.
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
