#include "image_decoding.h"

#include "fast_jpeg_decoder.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace tqf::codec {

namespace {

const unsigned char kJpegSignature[] = {0xFF, 0xD8, 0xFF};
const unsigned char kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool starts_with(const unsigned char *data, size_t size, const unsigned char *prefix, size_t length) {
    return size >= length && std::memcmp(data, prefix, length) == 0;
}

// Reads the whole file; false when it is not a regular file or a read fails.
bool read_regular_file(const std::string &path, std::vector<unsigned char> &bytes) {
    // O_NONBLOCK: a FIFO put in the file's place must not block the open.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= INT_MAX;
    if (ok) {
        bytes.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got > 0)
                done += static_cast<size_t>(got);
            else if (got == 0)
                bytes.resize(done);  // shrank meanwhile: take what is there
            else if (errno != EINTR)
                ok = false;
        }
    }
    close(fd);
    return ok;
}

}  // namespace

ImageFormat image_format_of(const unsigned char *data, size_t size) {
    if (starts_with(data, size, kJpegSignature, sizeof kJpegSignature))
        return ImageFormat::jpeg;
    if (starts_with(data, size, kPngSignature, sizeof kPngSignature))
        return ImageFormat::png;
    return ImageFormat::other;
}

cv::Mat decode_slide_image(const unsigned char *data, size_t size) {
    if (image_format_of(data, size) == ImageFormat::other || size > INT_MAX)
        return cv::Mat();
    const cv::Mat stream(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char *>(data));
    return cv::imdecode(stream, cv::IMREAD_COLOR);
}

cv::Mat read_slide_image_file(const std::string &path) {
    std::vector<unsigned char> bytes;
    if (!read_regular_file(path, bytes))
        return cv::Mat();
    return decode_slide_image(bytes.data(), bytes.size());
}

bool read_whole_file(const std::string &path, std::vector<unsigned char> &bytes) {
    return read_regular_file(path, bytes);
}

bool stated_image_size(const unsigned char *data, size_t size, int64_t *width, int64_t *height) {
    switch (image_format_of(data, size)) {
    case ImageFormat::jpeg: {
        int w = 0, h = 0;
        if (!FastJpegDecoder::stated_size(data, size, &w, &h))
            return false;
        *width = w;
        *height = h;
        return true;
    }
    case ImageFormat::png: {
        // The signature, then the first chunk, IHDR: length, type, width, height.
        if (size < 24 || std::memcmp(data + 12, "IHDR", 4) != 0)
            return false;
        const auto big_endian = [&](size_t at) {
            return (int64_t{data[at]} << 24) | (int64_t{data[at + 1]} << 16) | (int64_t{data[at + 2]} << 8) |
                   int64_t{data[at + 3]};
        };
        *width = big_endian(16);
        *height = big_endian(20);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace tqf::codec
