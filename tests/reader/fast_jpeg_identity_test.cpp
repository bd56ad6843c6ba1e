// The libjpeg-turbo fast path gives the same pixels and the same messages as
// decoding every tile with cv::imdecode, over many streams: plain ones of
// every subsampling, progressive and grayscale ones, and streams it must hand
// on (corrupt, truncated, oriented, CMYK, larger than a tile, not JPEG).
#include <random>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "codec/fast_jpeg_decoder.h"
#include "reader_test_support.h"

namespace tqftest {
namespace {

cv::Mat textured(int width, int height, std::mt19937 &random) {
    cv::Mat image(height, width, CV_8UC3);
    cv::randu(image, 0, 256);
    cv::Mat smooth(height, width, CV_8UC3);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            smooth.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<unsigned char>(c), static_cast<unsigned char>(r),
                                                   static_cast<unsigned char>((c + r) / 2));
    cv::addWeighted(image, (random() % 100) / 100.0, smooth, 1.0, 0, image);
    return image;
}

std::vector<unsigned char> tj_encode(const cv::Mat &image, int pixel_format, int subsampling, int quality, int flags) {
    tjhandle handle = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    const int status = tjCompress2(handle, image.data, image.cols, static_cast<int>(image.step), image.rows,
                                   pixel_format, &jpeg, &size, subsampling, quality, flags);
    std::vector<unsigned char> out;
    if (status == 0)
        out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

// An APP1 segment holding an orientation tag, inserted after SOI.
std::vector<unsigned char> with_orientation(std::vector<unsigned char> jpeg, unsigned char orientation) {
    const unsigned char exif[] = {0xFF, 0xE1, 0x00, 0x22, 'E',         'x', 'i', 'f', 0,    0,    'I', 'I',
                                  0x2A, 0,    8,    0,    0,           0,   1,   0,   0x12, 0x01, 3,   0,
                                  1,    0,    0,    0,    orientation, 0,   0,   0,   0,    0,    0,   0};
    jpeg.insert(jpeg.begin() + 2, exif, exif + sizeof(exif));
    return jpeg;
}

struct Stream {
    std::string name;
    std::vector<unsigned char> bytes;
    bool plain;  // the fast path must take it
};

std::vector<Stream> make_streams() {
    std::mt19937 random(7);
    std::vector<Stream> streams;
    const int sizes[][2] = {{256, 256}, {200, 256}, {256, 77}, {1, 1}, {17, 33}, {255, 255}, {256, 1}};
    const int subsamplings[] = {TJSAMP_444, TJSAMP_422, TJSAMP_420, TJSAMP_440, TJSAMP_411, TJSAMP_GRAY};
    const int qualities[] = {30, 75, 90, 100};
    for (const auto &size : sizes) {
        const cv::Mat image = textured(size[0], size[1], random);
        for (int subsampling : subsamplings)
            for (int quality : qualities)
                for (int flags : {0, TJFLAG_PROGRESSIVE}) {
                    const std::string name = std::to_string(size[0]) + "x" + std::to_string(size[1]) + " s" +
                                             std::to_string(subsampling) + " q" + std::to_string(quality) +
                                             (flags ? " progressive" : "");
                    streams.push_back({name, tj_encode(image, TJPF_BGR, subsampling, quality, flags), true});
                }
    }
    const cv::Mat base = textured(256, 256, random);
    const std::vector<unsigned char> plain = tj_encode(base, TJPF_BGR, TJSAMP_420, 90, 0);
    const std::vector<unsigned char> progressive = tj_encode(base, TJPF_BGR, TJSAMP_422, 80, TJFLAG_PROGRESSIVE);
    cv::Mat gray;
    cv::cvtColor(base, gray, cv::COLOR_BGR2GRAY);
    streams.push_back({"opencv gray", encode(gray, ".jpg"), true});
    streams.push_back({"opencv colour", encode(base, ".jpg"), true});
    for (int cut : {2, 100, 300, 600, 1000, 2000, 4000, 8000}) {
        for (const auto *source : {&plain, &progressive}) {
            std::vector<unsigned char> truncated(source->begin(),
                                                 source->begin() + std::min<size_t>(cut, source->size()));
            streams.push_back({"truncated at " + std::to_string(cut), truncated, false});
            // The rest of an earlier tile behind the cut, as in a reused buffer.
            std::vector<unsigned char> stale = truncated;
            stale.insert(stale.end(), plain.begin() + std::min<size_t>(cut, plain.size()), plain.end());
            streams.push_back({"truncated with stale bytes at " + std::to_string(cut), stale, false});
        }
    }
    for (int n = 0; n < 300; ++n) {
        std::vector<unsigned char> flipped = n % 2 ? plain : progressive;
        const size_t at = random() % flipped.size();
        flipped[at] ^= static_cast<unsigned char>(1u << (random() % 8));
        streams.push_back({"bit flip at " + std::to_string(at), flipped, false});
    }
    for (unsigned char orientation = 1; orientation <= 8; ++orientation)
        streams.push_back({"orientation " + std::to_string(orientation), with_orientation(plain, orientation), false});
    cv::Mat cmyk(256, 256, CV_8UC4);
    cv::randu(cmyk, 0, 256);
    streams.push_back({"cmyk", tj_encode(cmyk, TJPF_CMYK, TJSAMP_444, 90, 0), false});
    const cv::Mat large = textured(300, 260, random);
    streams.push_back({"larger than a tile", tj_encode(large, TJPF_BGR, TJSAMP_420, 90, 0), false});
    streams.push_back({"png", encode(base, ".png"), false});
    streams.push_back({"junk", std::vector<unsigned char>(3000, 0xFF), false});
    streams.push_back({"soi only", {0xFF, 0xD8}, false});
    return streams;
}

// One cell as the reference assembly makes it: the whole zero-padded
// buffer decoded with cv::imdecode and pasted into white.
cv::Mat reference_cell(const std::vector<unsigned char> &stream, std::string *messages) {
    std::vector<unsigned char> buffer(YELK_TILE_STREAM_CAPACITY, 0);
    std::copy(stream.begin(), stream.begin() + std::min(stream.size(), buffer.size()), buffer.begin());
    cv::Mat cell(256, 256, CV_8UC3, cv::Scalar::all(255));
    CapturedStreams captured;
    const cv::Mat tile = cv::imdecode(buffer, cv::IMREAD_COLOR);
    std::string report;
    if (!tile.empty()) {
        try {
            tile.copyTo(cell(cv::Rect(0, 0, tile.cols, tile.rows)));
        } catch (const cv::Exception &e) {
            // A tile larger than the one-cell canvas, read at (256, 256).
            report = std::string(e.what()) + "  identity.tqf     256     256\n1       1\n";
        }
    }
    *messages = captured.err() + report;
    return cell;
}

class FastJpegIdentity : public DoubleTest {};

TEST_F(FastJpegIdentity, MosaicMatchesImdecodeForEveryStream) {
    yelk_double_set_slide(1024, 1024, 40);
    tqfio::reader reader;
    ASSERT_TRUE(reader.ReadInfo("identity.tqf"));
    tqf::codec::FastJpegDecoder decoder;
    int plain_taken = 0;
    for (const Stream &stream : make_streams()) {
        SCOPED_TRACE(stream.name);
        ASSERT_FALSE(stream.bytes.empty());
        std::string expected_messages;
        const cv::Mat expected = reference_cell(stream.bytes, &expected_messages);
        set_tile(40, 256, 256, stream.bytes);

        // Straight into the result (whole cell), and through the scratch
        // tile (a rectangle cutting the cell).
        std::string messages;
        cv::Mat whole, part;
        {
            CapturedStreams captured;
            whole = read_region(reader, 256, 256, 256, 256, 40);
            messages = captured.err();
        }
        ASSERT_EQ(whole.size(), expected.size());
        EXPECT_EQ(cv::norm(whole, expected, cv::NORM_INF), 0);
        EXPECT_EQ(messages, expected_messages);
        {
            CapturedStreams captured;
            part = read_region(reader, 300, 270, 100, 150, 40);
        }
        EXPECT_EQ(cv::norm(part, expected(cv::Rect(44, 14, 100, 150)), cv::NORM_INF), 0);

        int w = 0, h = 0;
        std::vector<unsigned char> buffer(stream.bytes);
        buffer.resize(YELK_TILE_STREAM_CAPACITY, 0);
        if (stream.plain) {
            EXPECT_TRUE(decoder.probe(buffer.data(), buffer.size(), &w, &h)) << "the fast path must take it";
            ++plain_taken;
        }
    }
    EXPECT_GT(plain_taken, 300);
}

// A window decoded alone has the pixels of the same window of the whole
// image, in every pixel order, for every stream the fast path takes.
TEST(FastJpegWindow, MatchesTheWholeDecodeForEveryPlainStream) {
    tqf::codec::FastJpegDecoder decoder;
    std::mt19937 random(17);
    int windows = 0;
    for (const Stream &stream : make_streams()) {
        int w = 0, h = 0;
        if (!decoder.probe(stream.bytes.data(), stream.bytes.size(), &w, &h))
            continue;
        SCOPED_TRACE(stream.name);
        for (const auto order : {tqf::codec::PixelOrder::bgr, tqf::codec::PixelOrder::rgba}) {
            const int channels = tqf::codec::bytes_per_pixel(order);
            cv::Mat whole(h, w, CV_8UC(channels));
            if (!decoder.decode(stream.bytes.data(), stream.bytes.size(), whole.data, w, h, whole.step, order))
                continue;  // a warning: the window must say no too
            for (int n = 0; n < 4; ++n) {
                const int x0 = random() % w, y0 = random() % h;
                const int x1 = x0 + 1 + random() % (w - x0), y1 = y0 + 1 + random() % (h - y0);
                cv::Mat window(y1 - y0, x1 - x0, CV_8UC(channels), cv::Scalar::all(7));
                ASSERT_TRUE(decoder.decode_window(stream.bytes.data(), stream.bytes.size(), x0, y0, x1, y1, window.data,
                                                  window.step, order));
                EXPECT_EQ(cv::norm(window, whole(cv::Rect(x0, y0, x1 - x0, y1 - y0)), cv::NORM_INF), 0)
                    << "window " << x0 << ", " << y0 << " to " << x1 << ", " << y1;
                ++windows;
            }
        }
    }
    EXPECT_GT(windows, 2000);
    unsigned char pixel[4];
    const std::vector<unsigned char> any = make_streams().front().bytes;
    EXPECT_FALSE(decoder.decode_window(any.data(), any.size(), 0, 0, 0, 1, pixel, 3, tqf::codec::PixelOrder::bgr));
    EXPECT_FALSE(decoder.decode_window(any.data(), any.size(), 0, 0, 257, 1, pixel, 3, tqf::codec::PixelOrder::bgr));
}

}  // namespace
}  // namespace tqftest
