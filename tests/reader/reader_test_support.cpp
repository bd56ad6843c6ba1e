#include "reader_test_support.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

namespace tqftest {

std::vector<std::string> DoubleTest::log_lines() {
    std::vector<std::string> lines;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> DoubleTest::fetched_positions() {
    std::vector<std::string> positions;
    for (const std::string &line : log_lines()) {
        if (line.rfind("yelk_get_datablock_stream", 0) != 0)
            continue;
        // ...(handle, scale, x, y)
        std::string args = line.substr(line.find('(') + 1);
        args.pop_back();
        std::vector<std::string> parts;
        std::istringstream in(args);
        for (std::string part; std::getline(in, part, ',');)
            parts.push_back(part.substr(part.find_first_not_of(' ')));
        positions.push_back(parts.at(2) + "," + parts.at(3));
    }
    return positions;
}

CapturedStreams::CapturedStreams() : m_active(true) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
}

CapturedStreams::~CapturedStreams() { stop(); }

void CapturedStreams::stop() {
    if (!m_active)
        return;
    m_active = false;
    m_out = ::testing::internal::GetCapturedStdout();
    m_err = ::testing::internal::GetCapturedStderr();
}

const std::string &CapturedStreams::out() {
    stop();
    return m_out;
}

const std::string &CapturedStreams::err() {
    stop();
    return m_err;
}

std::string interleaved_output(const std::function<void()> &action) {
    std::fflush(stdout);
    std::fflush(stderr);
    FILE *file = std::tmpfile();
    const int saved_out = dup(STDOUT_FILENO), saved_err = dup(STDERR_FILENO);
    dup2(fileno(file), STDOUT_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    action();
    std::string written;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        written += static_cast<char>(c);
    // Whatever the action left buffered goes to the file, not the terminal.
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    std::fclose(file);
    return written;
}

std::vector<unsigned char> encode(const cv::Mat &image, const std::string &extension, const std::vector<int> &params) {
    std::vector<unsigned char> bytes;
    cv::imencode(extension, image, bytes, params);
    return bytes;
}

void set_tile(unsigned scale, int x, int y, const std::vector<unsigned char> &stream) {
    yelk_double_set_tile(scale, x, y, stream.data(), static_cast<unsigned>(stream.size()),
                         static_cast<unsigned>(stream.size()));
}

cv::Mat pattern_image(unsigned scale, int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            yelk_double_pattern_pixel(scale, c, r, image.ptr<unsigned char>(r) + 3 * c);
    return image;
}

cv::Mat read_region(tqfio::reader &reader, int x, int y, int w, int h, double scale, int *length) {
    unsigned char *data = nullptr;
    int bytes = -1;
    reader.ReadRoi(x, y, w, h, scale, &data, &bytes);
    if (length)
        *length = bytes;
    if (bytes != w * h * 3 || !data)
        return cv::Mat();
    return cv::Mat(h, w, CV_8UC3, data).clone();
}

bool all_white(const cv::Mat &image) {
    for (int r = 0; r < image.rows; ++r)
        for (int c = 0; c < image.cols * 3; ++c)
            if (image.ptr<unsigned char>(r)[c] != 255)
                return false;
    return true;
}

}  // namespace tqftest
