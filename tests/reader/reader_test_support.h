// Shared helpers of the reader tests: the recording slide library double,
// captured standard streams and tile streams made in memory.
#ifndef TQF_READER_TEST_SUPPORT_H
#define TQF_READER_TEST_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "tqf_reader.h"
#include "yelk_double.h"

namespace tqftest {

// Resets the double before every test and checks afterwards that no
// handle was unloaded twice.
class DoubleTest : public ::testing::Test {
protected:
    void SetUp() override { yelk_double_reset(); }
    void TearDown() override { EXPECT_EQ(yelk_double_bad_unloads(), 0); }

    static std::string log() { return yelk_double_log(); }
    static std::vector<std::string> log_lines();
    // The fetch lines of the log, as "x,y" pairs in call order.
    static std::vector<std::string> fetched_positions();
};

// Standard output and error written while it is alive.
class CapturedStreams {
public:
    CapturedStreams();
    ~CapturedStreams();
    // Stops capturing (once) and returns what was written.
    const std::string &out();
    const std::string &err();

private:
    void stop();
    bool m_active;
    std::string m_out, m_err;
};

// What reaches the standard output and error descriptors, interleaved in
// one file, while `action` runs. Bytes still held in a stream buffer when it
// returns are not counted.
std::string interleaved_output(const std::function<void()> &action);

// Encoded streams for the double.
std::vector<unsigned char> encode(const cv::Mat &image, const std::string &extension,
                                  const std::vector<int> &params = {});
void set_tile(unsigned scale, int x, int y, const std::vector<unsigned char> &stream);

// A tile-level image of the double's pattern level at `scale`.
cv::Mat pattern_image(unsigned scale, int width, int height);

// Region read result as an image (rows x cols x 3), copied out of the buffer.
cv::Mat read_region(tqfio::reader &reader, int x, int y, int w, int h, double scale, int *length = nullptr);

bool all_white(const cv::Mat &image);

}  // namespace tqftest

#endif  // TQF_READER_TEST_SUPPORT_H
