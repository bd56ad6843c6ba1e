#include "slide_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <random>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#ifndef TQF_TISSUE_IMAGE
#error "TQF_TISSUE_IMAGE names the stained tissue image the test slides are made from"
#endif

namespace tqf::testing {

std::vector<std::string> TempDirectory::entries() const {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path().c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

cv::Mat tissueImage(int width, int height) {
    static const cv::Mat sample = cv::imread(TQF_TISSUE_IMAGE, cv::IMREAD_COLOR);
    if (sample.empty())
        throw std::runtime_error("cannot read the tissue sample " TQF_TISSUE_IMAGE);
    constexpr int kPatch = 300;  // not a divisor of the tile edge
    std::mt19937 random(12345);
    cv::Mat image(height, width, CV_8UC3);
    for (int top = 0; top < height; top += kPatch) {
        for (int left = 0; left < width; left += kPatch) {
            const int ox = static_cast<int>(random() % (sample.cols - kPatch));
            const int oy = static_cast<int>(random() % (sample.rows - kPatch));
            cv::Mat patch = sample(cv::Rect(ox, oy, kPatch, kPatch)).clone();
            const unsigned turn = random() % 4;
            if (turn != 3)
                cv::flip(patch, patch, static_cast<int>(turn) - 1);
            const cv::Rect target(left, top, std::min(kPatch, width - left), std::min(kPatch, height - top));
            patch(cv::Rect(0, 0, target.width, target.height)).copyTo(image(target));
        }
    }
    return image;
}

std::string writeSlideOrFail(const cv::Mat &image, const std::string &path, const SlideWriteOptions &options) {
    const SlideWriteResult result = writeSlide(image, path, options);
    EXPECT_TRUE(result.ok()) << result.error;
    return result.ok() ? path : std::string();
}

std::vector<uint8_t> readFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

SlideHandle loadSlide(const std::string &path, int readAll) {
    return SlideHandle(yelk_load_image(path.c_str(), readAll));
}

Fetched fetchTile(TQF *slide, FetchOperation operation, UINT32 scale, INT32 x, INT32 y) {
    std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY, 0);
    Fetched fetched;
    fetched.result = operation == FetchOperation::kReadAll
                         ? yelk_get_datablock_stream(slide, scale, x, y, buffer.data(), &fetched.length)
                         : yelk_get_datablock_stream_single(slide, scale, x, y, buffer.data(), &fetched.length);
    fetched.stream.assign(buffer.begin(), buffer.begin() + std::min<size_t>(fetched.length, buffer.size()));
    return fetched;
}

cv::Mat referenceLevel(const cv::Mat &image, int k) {
    cv::Mat level = image;
    for (int i = 0; i < k; ++i) {
        cv::Mat half((level.rows + 1) / 2, (level.cols + 1) / 2, CV_8UC3);
        for (int y = 0; y < half.rows; ++y) {
            for (int x = 0; x < half.cols; ++x) {
                for (int c = 0; c < 3; ++c) {
                    int sum = 0, count = 0;
                    for (int dy = 0; dy < 2; ++dy)
                        for (int dx = 0; dx < 2; ++dx)
                            if (2 * y + dy < level.rows && 2 * x + dx < level.cols) {
                                sum += level.at<cv::Vec3b>(2 * y + dy, 2 * x + dx)[c];
                                ++count;
                            }
                    half.at<cv::Vec3b>(y, x)[c] = static_cast<uchar>((sum + count / 2) / count);
                }
            }
        }
        level = half;
    }
    return level;
}

double psnr(const cv::Mat &a, const cv::Mat &b) { return cv::PSNR(a, b); }

double lumaPsnr(const cv::Mat &a, const cv::Mat &b) {
    cv::Mat lumaA, lumaB;
    cv::cvtColor(a, lumaA, cv::COLOR_BGR2GRAY);
    cv::cvtColor(b, lumaB, cv::COLOR_BGR2GRAY);
    return cv::PSNR(lumaA, lumaB);
}

int exerciseSlideFile(const std::string &path, const TempDirectory &scratch) {
    int loaded = 0;
    for (int readAll = 0; readAll <= 1; ++readAll) {
        SlideHandle slide = loadSlide(path, readAll);
        if (!slide)
            continue;
        ++loaded;
        const TQF_HEADER &header = *slide->header;
        for (const format::Level &level :
             format::pyramidLevels(header.imageWidth, header.imageHeight, header.scanScale))
            for (int64_t y = 0; y <= level.height; y += format::kTileSize)
                for (int64_t x = 0; x <= level.width; x += format::kTileSize)
                    for (FetchOperation operation : {FetchOperation::kReadAll, FetchOperation::kSingle})
                        fetchTile(slide.get(), operation, level.address, static_cast<INT32>(x), static_cast<INT32>(y));
        yelk_get_preview_image(slide.get(), scratch.file("preview.jpg").c_str());
        yelk_get_label_image(slide.get(), scratch.file("label.jpg").c_str());
    }
    return loaded;
}

}  // namespace tqf::testing
