// The core on its own: the mosaic over an in-memory tile source, the tile
// cache and the thread pool.
#include <atomic>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/jpeg_stream.h"
#include "core/mosaic.h"
#include "core/slide_levels.h"
#include "core/source_properties.h"
#include "core/thread_pool.h"
#include "core/tile_cache.h"
#include "tqf_format.h"

namespace {

using namespace tqfio::core;

// Tiles of one level cut from an image and encoded as PNG or JPEG; counts
// its fetches. decoded() is the level as its tiles decode whole.
class ImageTiles final : public TileSource {
public:
    explicit ImageTiles(const cv::Mat &bgr, const char *extension = ".png") : m_decoded(bgr.size(), CV_8UC3) {
        for (int y = 0; y < bgr.rows; y += kTileEdge)
            for (int x = 0; x < bgr.cols; x += kTileEdge) {
                const cv::Rect cell = cv::Rect(x, y, kTileEdge, kTileEdge) & cv::Rect(0, 0, bgr.cols, bgr.rows);
                std::vector<unsigned char> &stream = m_streams[{x, y}];
                cv::imencode(extension, bgr(cell), stream);
                cv::imdecode(stream, cv::IMREAD_COLOR).copyTo(m_decoded(cell));
            }
    }
    const cv::Mat &decoded() const { return m_decoded; }
    uint32_t fetch(uint32_t, int32_t x, int32_t y, unsigned char *buffer) override {
        ++fetches;
        const auto found = m_streams.find({x, y});
        if (found == m_streams.end() || found->second.size() > kTileStreamCapacity)
            return 0;
        std::copy(found->second.begin(), found->second.end(), buffer);
        return static_cast<uint32_t>(found->second.size());
    }
    std::atomic<int> fetches{0};

private:
    std::map<std::pair<int, int>, std::vector<unsigned char>> m_streams;
    cv::Mat m_decoded;
};

// Never white, so white can only come from outside the tiles; smooth
// enough that a tile's PNG fits the stream buffer.
cv::Mat pattern(int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x % 250), static_cast<uchar>(y % 250),
                                                  static_cast<uchar>((x * 7 + y * 3) % 250));
    return image;
}

cv::Mat assemble(ImageTiles &tiles, const cv::Rect &r, PixelOrder order, TileCache *cache = nullptr) {
    CellRequest request;
    request.source = &tiles;
    request.x = r.x;
    request.y = r.y;
    request.width = r.width;
    request.height = r.height;
    request.order = order;
    request.cache = cache;
    cv::Mat out(r.height, r.width, order == PixelOrder::rgba ? CV_8UC4 : CV_8UC3, cv::Scalar::all(7));
    TileScratch scratch;
    assemble_in_cells(request, out, scratch);
    return out;
}

// PNG tiles, and JPEG tiles, which the mosaic may decode whole (into the
// destination or the cache) or only in part.
class MosaicSplits : public ::testing::TestWithParam<const char *> {};

TEST_P(MosaicSplits, AnySplitOfARectangleAssemblesTheSamePixels) {
    ImageTiles tiles(pattern(700, 600), GetParam());
    const cv::Mat &image = tiles.decoded();
    TileCache cache(64 << 20);
    std::mt19937 random(5);
    for (int n = 0; n < 40; ++n) {
        const int x = random() % 800, y = random() % 700, w = 1 + random() % 400, h = 1 + random() % 400;
        cv::Mat expected(h, w, CV_8UC3, cv::Scalar::all(255));
        const cv::Rect inside = cv::Rect(x, y, w, h) & cv::Rect(0, 0, image.cols, image.rows);
        if (!inside.empty())
            image(inside).copyTo(expected(inside - cv::Point(x, y)));
        for (TileCache *with : {static_cast<TileCache *>(nullptr), &cache}) {
            EXPECT_EQ(cv::norm(assemble(tiles, {x, y, w, h}, PixelOrder::bgr, with), expected, cv::NORM_INF), 0);
            // The same rectangle as two pieces split at a random column.
            const int split = 1 + static_cast<int>(random() % std::max(1, w - 1));
            cv::Mat pieces;
            cv::hconcat(assemble(tiles, {x, y, std::min(split, w), h}, PixelOrder::bgr, with),
                        w > split ? assemble(tiles, {x + split, y, w - split, h}, PixelOrder::bgr, with)
                                  : cv::Mat(h, 0, CV_8UC3),
                        pieces);
            EXPECT_EQ(cv::norm(pieces, expected, cv::NORM_INF), 0) << x << ", " << y << " split at " << split;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, MosaicSplits, ::testing::Values(".png", ".jpg"));

TEST(Mosaic, PixelOrdersAndTheCacheSparingFetches) {
    const cv::Mat image = pattern(512, 512);
    ImageTiles tiles(image);
    const cv::Rect part(100, 100, 300, 300);  // touches four tiles, none wholly
    const cv::Mat bgr = assemble(tiles, part, PixelOrder::bgr);
    cv::Mat rgb_swapped, rgba_as_bgr;
    cv::cvtColor(assemble(tiles, part, PixelOrder::rgb), rgb_swapped, cv::COLOR_RGB2BGR);
    cv::cvtColor(assemble(tiles, part, PixelOrder::rgba), rgba_as_bgr, cv::COLOR_RGBA2BGR);
    EXPECT_EQ(cv::norm(rgb_swapped, bgr, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(rgba_as_bgr, bgr, cv::NORM_INF), 0);

    TileCache cache(64 << 20);
    tiles.fetches = 0;
    assemble(tiles, part, PixelOrder::rgb, &cache);
    EXPECT_EQ(tiles.fetches, 4);
    EXPECT_EQ(cv::norm(assemble(tiles, part, PixelOrder::bgr, &cache), bgr, cv::NORM_INF), 0);
    EXPECT_EQ(tiles.fetches, 4) << "partly covered tiles come from the cache the second time";
    assemble(tiles, {0, 0, 256, 256}, PixelOrder::rgb, &cache);
    EXPECT_EQ(tiles.fetches, 4) << "a cached tile is used also where the read covers it wholly";
    TileCache empty(64 << 20);
    assemble(tiles, {256, 256, 256, 256}, PixelOrder::rgb, &empty);
    EXPECT_EQ(empty.size_bytes(), 0u) << "a tile the read covers wholly is not kept";
}

TEST(TileCache, KeepsWithinItsBudgetDroppingTheLeastRecentlyUsed) {
    const auto tile = [] {
        auto t = std::make_shared<DecodedTile>();
        t->width = t->height = 16;
        t->rgb.resize(16 * 16 * 3);
        return t;
    };
    const size_t cost = TileCache::cost(*tile());
    TileCache cache(3 * cost);
    for (int i = 0; i < 3; ++i)
        cache.insert({1, i, 0}, tile());
    ASSERT_TRUE(cache.find({1, 0, 0}));  // now the most recently used
    cache.insert({1, 3, 0}, tile());
    EXPECT_TRUE(cache.find({1, 0, 0}));
    EXPECT_FALSE(cache.find({1, 1, 0}));
    EXPECT_EQ(cache.size_bytes(), 3 * cost);
    cache.set_capacity(cost);
    EXPECT_EQ(cache.size_bytes(), cost);

    // Kept tiles that are never read again: partly covered tiles stop being
    // kept, but for an occasional probe; read again, they are kept anew.
    EXPECT_TRUE(cache.admits_partly_covered());
    for (int i = 0; i < 200; ++i)
        cache.insert({3, i, 0}, tile());
    int admitted = 0;
    for (int i = 0; i < 160; ++i)
        admitted += cache.admits_partly_covered();
    EXPECT_EQ(admitted, 10);
    for (int i = 0; i < 200; ++i) {
        cache.insert({4, i, 0}, tile());
        cache.find({4, i, 0});
    }
    EXPECT_TRUE(cache.admits_partly_covered());
    cache.set_capacity(0);
    cache.insert({2, 0, 0}, tile());
    EXPECT_EQ(cache.size_bytes(), 0u);
}

TEST(ThreadPool, RunsEveryIndexOnceAndPassesTheFirstFailureOn) {
    std::vector<std::atomic<int>> runs(1000);
    parallel_for(runs.size(), 4, [&](size_t i) { ++runs[i]; });
    for (const auto &count : runs)
        ASSERT_EQ(count, 1);
    EXPECT_THROW(parallel_for(100, 2,
                              [](size_t i) {
                                  if (i == 17)
                                      throw std::runtime_error("seventeen");
                              }),
                 std::runtime_error);
    parallel_for(0, 2, [](size_t) { FAIL(); });
}

TEST(SlideLevels, AddressesAndRecordsThatCannotBeRight) {
    EXPECT_EQ(level_address(40), 40u);
    EXPECT_EQ(level_address(2.5), 2u);
    EXPECT_EQ(level_address(0.625), 0u);
    EXPECT_EQ(level_address(-1), 0u);

    TQF_HEADER header{};
    header.scanScale = 20;
    header.imageWidth = 600;
    header.imageHeight = 300;
    const auto block = [](int x, int y, unsigned w, unsigned h, float magnification) {
        TQF_DATABLOCK_HEADER b{};
        b.posX = x;
        b.posY = y;
        b.width = w;
        b.height = h;
        b.scaleRatio = magnification;
        return b;
    };
    std::vector<TQF_DATABLOCK_HEADER> blocks = {
        block(0, 0, 256, 256, 20), block(512, 256, 88, 44, 20), block(0, 0, 256, 150, 10), block(256, 0, 44, 150, 10),
        block(0, 0, 75, 38, 2.5),  block(0, 0, 150, 75, 5),     block(0, 0, 10, 10, NAN),  block(0, 0, 10, 10, 40),
        block(-256, 0, 10, 10, 5), block(0, 0, 300, 10, 5),     block(0, 0, 2, 2, 0.5),    block(0, 0, 1, 1, 0.25),
    };
    header.dataBlockCount = static_cast<INT32>(blocks.size());
    TQF record{};
    record.header = &header;
    record.dataBlockHeader = blocks.data();
    const std::vector<SlideLevel> levels = slide_levels(record);
    const double expected[][3] = {{20, 600, 300}, {10, 300, 150}, {5, 150, 75}, {2.5, 75, 38}, {0.5, 2, 2}};
    ASSERT_EQ(levels.size(), std::size(expected));
    for (size_t i = 0; i < levels.size(); ++i) {
        EXPECT_EQ(levels[i].magnification, expected[i][0]);
        EXPECT_EQ(levels[i].downsample, 20 / expected[i][0]);
        EXPECT_EQ(levels[i].width, expected[i][1]);
        EXPECT_EQ(levels[i].height, expected[i][2]);
    }
    record.dataBlockHeader = nullptr;
    EXPECT_EQ(slide_levels(record).size(), 1u) << "no records: full resolution alone";
}

// A JPEG stream with one marker segment changed: `edit` gets the stream
// and the position of the segment's marker byte (after 0xFF).
std::vector<unsigned char> edited(unsigned char marker,
                                  const std::function<void(std::vector<unsigned char> &, size_t)> &edit) {
    std::vector<unsigned char> stream;
    cv::imencode(".jpg", pattern(40, 30), stream, {cv::IMWRITE_JPEG_QUALITY, 90});
    for (size_t at = 2; at + 1 < stream.size();) {
        if (stream[at + 1] == marker) {
            edit(stream, at + 1);
            return stream;
        }
        at += 2 + ((stream[at + 2] << 8) | stream[at + 3]);
    }
    ADD_FAILURE() << "no marker " << int(marker);
    return stream;
}

// The stream with every segment of `marker` made a comment.
std::vector<unsigned char> without(unsigned char marker) {
    std::vector<unsigned char> stream = edited(marker, [](std::vector<unsigned char> &, size_t) {});
    for (size_t at = 2; at + 1 < stream.size() && stream[at + 1] != 0xDA;) {
        if (stream[at + 1] == marker)
            stream[at + 1] = 0xFE;
        at += 2 + ((stream[at + 2] << 8) | stream[at + 3]);
    }
    return stream;
}

TEST(JpegStream, WhatBrowsersDecodeAlikeIsTakenAsItIs) {
    using Stream = std::vector<unsigned char>;
    const auto unchanged = [](Stream &, size_t) {};
    const struct {
        const char *name;
        Stream stream;
        bool taken;
    } cases[] = {
        {"baseline", edited(0xC0, unchanged), true},
        {"extended", edited(0xC0, [](Stream &s, size_t at) { s[at] = 0xC1; }), true},
        {"progressive marker", edited(0xC0, [](Stream &s, size_t at) { s[at] = 0xC2; }), true},
        {"lossless", edited(0xC0, [](Stream &s, size_t at) { s[at] = 0xC3; }), false},
        {"arithmetic", edited(0xC0, [](Stream &s, size_t at) { s[at] = 0xC9; }), false},
        {"12-bit", edited(0xC0, [](Stream &s, size_t at) { s[at + 3] = 12; }), false},
        {"RGB components",
         edited(0xC0, [](Stream &s, size_t at) { s[at + 9] = 'R', s[at + 12] = 'G', s[at + 15] = 'B'; }), false},
        {"no height (DNL)", edited(0xC0, [](Stream &s, size_t at) { s[at + 4] = s[at + 5] = 0; }), false},
        {"orientation", edited(0xE0, [](Stream &s, size_t at) { s[at] = 0xE1; }), false},
        {"Adobe", edited(0xE0, [](Stream &s, size_t at) { s[at] = 0xEE; }), false},
        {"comment", edited(0xE0, [](Stream &s, size_t at) { s[at] = 0xFE; }), true},
        {"no Huffman tables", without(0xC4), false},
        {"no quantisation tables", without(0xDB), false},
        {"segment past the end", edited(0xDB, [](Stream &s, size_t at) { s[at + 1] = 0xFF; }), false},
        {"trailing zeros", edited(0xC0, [](Stream &s, size_t) { s.insert(s.end(), 7, 0); }), true},
        {"cut short", edited(0xC0, [](Stream &s, size_t) { s.resize(s.size() - 3); }), false},
        {"garbage after the end", edited(0xC0, [](Stream &s, size_t) { s.push_back(1); }), false},
    };
    for (const auto &c : cases) {
        JpegStreamInfo info;
        EXPECT_EQ(inspect_jpeg_stream(c.stream.data(), c.stream.size(), &info), c.taken) << c.name;
        if (c.taken) {
            EXPECT_EQ(info.width, 40) << c.name;
            EXPECT_EQ(info.height, 30) << c.name;
            EXPECT_EQ(info.components, 3) << c.name;
            EXPECT_LE(info.length, c.stream.size()) << c.name;
        }
    }
    // Cut in the DCT domain: the blocks kept decode to the same pixels.
    const Stream whole = cases[0].stream;
    Stream cut;
    ASSERT_TRUE(crop_jpeg_stream(whole.data(), whole.size(), 33, 17, cut));
    const cv::Mat a = cv::imdecode(whole, cv::IMREAD_COLOR), b = cv::imdecode(cut, cv::IMREAD_COLOR);
    ASSERT_EQ(b.size(), cv::Size(33, 17));
    // Odd sizes: chroma upsampling at the new edge sees nothing beyond either.
    EXPECT_EQ(cv::norm(a(cv::Rect(0, 0, 33, 17)), b, cv::NORM_INF), 0);
    for (const auto &size : {std::pair{41, 30}, std::pair{40, 31}, std::pair{0, 30}})
        EXPECT_FALSE(crop_jpeg_stream(whole.data(), whole.size(), size.first, size.second, cut));
}

// The source's properties from the extension records a library hands on:
// the first sound record of the id; other ids, and unsound records, skipped.
TEST(SourceProperties, TakeTheFirstSoundRecordOfTheirId) {
    using Properties = std::vector<std::pair<std::string, std::string>>;
    const uint32_t id = tqf::format::kSourcePropertiesRecord;
    const auto bytes = [](const std::string &text) { return std::vector<unsigned char>(text.begin(), text.end()); };
    const std::string sound("a\0"
                            "1\0"
                            "b\0"
                            "\0",
                            7);
    const Properties soundProperties = {{"a", "1"}, {"b", ""}};
    const struct {
        const char *name;
        std::vector<std::pair<uint32_t, std::vector<unsigned char>>> records;
        Properties expected;
    } cases[] = {
        {"a sound record", {{id, bytes(sound)}}, soundProperties},
        {"after a record of another id",
         {{id + 1, bytes(sound)},
          {id, bytes(std::string("c\0"
                                 "3\0",
                                 4))}},
         {{"c", "3"}}},
        {"another id alone", {{id + 1, bytes(sound)}}, {}},
        {"an empty record", {{id, {}}}, {}},
        {"no last NUL, then a sound one",
         {{id, bytes(std::string("a\0"
                                 "1",
                                 3))},
          {id, bytes(sound)}},
         soundProperties},
        {"a name without a value",
         {{id, bytes(std::string("a\0"
                                 "1\0"
                                 "b\0",
                                 6))}},
         {}},
        {"an empty name",
         {{id, bytes(std::string("\0"
                                 "1\0",
                                 3))}},
         {}},
        {"a name twice",
         {{id, bytes(std::string("a\0"
                                 "1\0"
                                 "a\0"
                                 "2\0",
                                 8))}},
         {}},
        {"bytes that are not UTF-8",
         {{id, bytes(std::string("n\xff\0"
                                 "\xC0\x80"
                                 "ok\0",
                                 8))}},
         {{"n\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBDok"}}},
    };
    for (const auto &c : cases) {
        std::vector<TQF_EXTENSION_FIELD> fields;
        for (const auto &[recordId, data] : c.records)
            fields.push_back({recordId, static_cast<UINT32>(data.size()), const_cast<unsigned char *>(data.data())});
        TQF_EXTENSION list{static_cast<UINT32>(fields.size()), fields.data()};
        TQF record{};
        record.extension = &list;
        EXPECT_EQ(source_properties(record), c.expected) << c.name;
    }
    TQF none{};
    EXPECT_TRUE(source_properties(none).empty()) << "a library without the list";
    TQF_EXTENSION_FIELD lost{id, 8, nullptr};
    TQF_EXTENSION list{1, &lost};
    none.extension = &list;
    EXPECT_TRUE(source_properties(none).empty()) << "a record without its bytes";
}

TEST(SourceProperties, InvalidUtf8BecomesReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"\xC2\xB5m \xE2\x82\xAC \xF0\x9F\x94\xAC", "\xC2\xB5m \xE2\x82\xAC \xF0\x9F\x94\xAC"},
        {"\xC0\x80", replacement + replacement},                                      // overlong NUL
        {"\xE0\x80\xAF", replacement + replacement + replacement},                    // overlong slash
        {"\xED\xA0\x80", replacement + replacement + replacement},                    // a surrogate
        {"\xF4\x90\x80\x80", replacement + replacement + replacement + replacement},  // above U+10FFFF
        {"ab\xE2\x82", "ab" + replacement + replacement},                             // cut short at the end
        {"\x80x", replacement + "x"},                                                 // a lone continuation byte
        {"\xE9t\xE9", replacement + "t" + replacement},                               // Latin-1
    };
    for (const auto &c : cases)
        EXPECT_EQ(valid_utf8(c.in), c.out) << c.in;
}

}  // namespace
