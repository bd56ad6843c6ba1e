// tqfio::slide and tqfio::region_batch on slides made by the writer from a
// real tissue image, read through the stand-in slide library.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "slide_fixtures.h"
#include "tqf_slide.h"
#include "tqf_writer.h"

namespace {

using tqfio::pixel_format;
using Kind = tqfio::slide_error::kind;

struct MadeSlide {
    const char *name;
    int width, height, magnification;
    std::vector<double> magnifications;  // the levels expected
};

// A 40x slide, and a 5x one whose pyramid goes below 1x, where the levels
// 0.625, 0.3125 and 0.15625 share one address and only the finest is listed.
const MadeSlide kSlides[] = {
    {"forty.tqf", 2600, 1900, 40, {40, 20, 10, 5, 2.5}},
    {"five.tqf", 4100, 300, 5, {5, 2.5, 1.25, 0.625}},
};

class Slides : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = new tqf::testing::TempDirectory;
        for (const MadeSlide &made : kSlides) {
            sources().push_back(tqf::testing::tissueImage(made.width, made.height));
            tqf::SlideWriteOptions options;
            options.scanMagnification = made.magnification;
            options.preview = cv::Mat(120, 160, CV_8UC3, cv::Scalar(10, 200, 30));
            options.label = cv::Mat(90, 70, CV_8UC3, cv::Scalar(220, 20, 120));
            ASSERT_TRUE(tqf::writeSlide(sources().back().clone(), path(made.name), options).ok());
        }
    }
    static void TearDownTestSuite() { delete directory; }
    static std::string path(const std::string &name) { return directory->file(name); }
    static std::vector<cv::Mat> &sources() {
        static std::vector<cv::Mat> images;
        return images;
    }

    static cv::Mat read(const tqfio::slide &slide, int64_t x, int64_t y, int level, int w, int h,
                        pixel_format format = pixel_format::bgr) {
        cv::Mat out(h, w, tqfio::bytes_per_pixel(format) == 4 ? CV_8UC4 : CV_8UC3);
        slide.read_region(x, y, level, w, h, out.data, out.step, format);
        return out;
    }

    static tqf::testing::TempDirectory *directory;
};

tqf::testing::TempDirectory *Slides::directory = nullptr;

bool all_equal(const cv::Mat &image, const cv::Scalar &value) {
    cv::Mat difference;
    cv::absdiff(image, value, difference);
    return cv::countNonZero(difference.reshape(1)) == 0;
}

TEST_F(Slides, LevelsComeFromTheTileRecords) {
    for (size_t i = 0; i < std::size(kSlides); ++i) {
        const MadeSlide &made = kSlides[i];
        SCOPED_TRACE(made.name);
        tqfio::slide slide(path(made.name));
        ASSERT_EQ(slide.levels().size(), made.magnifications.size());
        for (size_t k = 0; k < made.magnifications.size(); ++k) {
            const tqfio::level_info &level = slide.levels()[k];
            EXPECT_EQ(level.magnification, made.magnifications[k]);
            EXPECT_EQ(level.downsample, double(1 << k));
            // Halved with rounding up, level by level.
            EXPECT_EQ(level.width, (made.width + (1 << k) - 1) >> k);
            EXPECT_EQ(level.height, (made.height + (1 << k) - 1) >> k);
        }
        EXPECT_EQ(slide.properties().scan_magnification, made.magnification);
        EXPECT_EQ(slide.properties().compression, "JPEG");
    }
}

// Each level shows the whole slide at its own magnification: the source
// halved k times, not a part of it zoomed.
TEST_F(Slides, EveryLevelShowsTheWholeSlide) {
    for (size_t i = 0; i < std::size(kSlides); ++i) {
        tqfio::slide slide(path(kSlides[i].name));
        cv::Mat expected = sources()[i];
        for (size_t k = 0; k < slide.levels().size(); ++k) {
            if (k > 0)
                cv::resize(expected, expected, cv::Size((expected.cols + 1) / 2, (expected.rows + 1) / 2), 0, 0,
                           cv::INTER_AREA);
            const cv::Mat level = read(slide, 0, 0, static_cast<int>(k), expected.cols, expected.rows);
            // JPEG at every level leaves small ones near 26 dB; a level
            // showing another part or scale of the slide is near 12 dB.
            EXPECT_GT(cv::PSNR(level, expected), 24.0) << kSlides[i].name << " level " << k;
        }
    }
}

TEST_F(Slides, PixelFormatsAndStridesAndOutsideValues) {
    tqfio::slide slide(path("forty.tqf"));
    const cv::Mat bgr = read(slide, 2500, 1800, 0, 200, 150);  // the slide ends at 100, 100
    cv::Mat rgb = read(slide, 2500, 1800, 0, 200, 150, pixel_format::rgb), swapped;
    cv::cvtColor(rgb, swapped, cv::COLOR_RGB2BGR);
    EXPECT_EQ(cv::norm(bgr, swapped, cv::NORM_INF), 0);
    EXPECT_TRUE(all_equal(bgr(cv::Rect(100, 0, 100, 150)), cv::Scalar::all(255)));

    const cv::Mat rgba = read(slide, 2500, 1800, 0, 200, 150, pixel_format::rgba);
    std::vector<cv::Mat> channels;
    cv::split(rgba, channels);
    EXPECT_TRUE(all_equal(channels[3](cv::Rect(0, 0, 100, 100)), cv::Scalar(255)));
    EXPECT_TRUE(all_equal(rgba(cv::Rect(100, 0, 100, 150)), cv::Scalar::all(0)));
    EXPECT_TRUE(all_equal(rgba(cv::Rect(0, 100, 200, 50)), cv::Scalar::all(0)));
    cv::Mat rgb_of_rgba;
    cv::cvtColor(rgba(cv::Rect(0, 0, 100, 100)), rgb_of_rgba, cv::COLOR_RGBA2RGB);
    EXPECT_EQ(cv::norm(rgb_of_rgba, rgb(cv::Rect(0, 0, 100, 100)), cv::NORM_INF), 0);
    // BGRA: the same bytes as RGBA with red and blue swapped, outside too.
    cv::Mat bgra = read(slide, 2500, 1800, 0, 200, 150, pixel_format::bgra), rgba_of_bgra;
    cv::cvtColor(bgra, rgba_of_bgra, cv::COLOR_BGRA2RGBA);
    EXPECT_EQ(cv::norm(rgba_of_bgra, rgba, cv::NORM_INF), 0);

    // Rows further apart than their pixels: the bytes between stay untouched.
    cv::Mat wide(64, 100, CV_8UC3, cv::Scalar(1, 2, 3));
    slide.read_region(1000, 900, 1, 90, 64, wide.data, wide.step, pixel_format::bgr);
    EXPECT_TRUE(all_equal(wide(cv::Rect(90, 0, 10, 64)), cv::Scalar(1, 2, 3)));
    EXPECT_EQ(cv::norm(wide(cv::Rect(0, 0, 90, 64)), read(slide, 1000, 900, 1, 90, 64), cv::NORM_INF), 0);
}

TEST_F(Slides, ReadsAtAnyDownsample) {
    tqfio::slide slide(path("forty.tqf"));
    cv::Mat at(100, 120, CV_8UC3);
    // A stored level's downsample reads that level as it is.
    slide.read_region_at(800, 600, 4.0, 120, 100, at.data, at.step, pixel_format::bgr);
    EXPECT_EQ(cv::norm(at, read(slide, 800, 600, 2, 120, 100), cv::NORM_INF), 0);
    // Between levels: the finer one, shrunk.
    slide.read_region_at(800, 600, 3.0, 120, 100, at.data, at.step, pixel_format::bgr);
    cv::Mat expected;
    cv::resize(sources()[0](cv::Rect(800, 600, 360, 300)), expected, at.size(), 0, 0, cv::INTER_AREA);
    EXPECT_GT(cv::PSNR(at, expected), 28.0);
    // Beyond the coarsest level, and partly outside the slide: white there.
    slide.read_region_at(-1300, 0, 50.0, 100, 60, at.data, at.step, pixel_format::bgr);
    EXPECT_TRUE(all_equal(at(cv::Rect(0, 0, 25, 60)), cv::Scalar::all(255)));
    EXPECT_FALSE(all_equal(at(cv::Rect(27, 0, 40, 30)), cv::Scalar::all(255)));

    const tqfio::image thumbnail = slide.thumbnail(300, 300);
    EXPECT_EQ(thumbnail.width, 300);
    EXPECT_EQ(thumbnail.height, 219);  // 2600 x 1900 fitted
}

TEST_F(Slides, RefusesWhatItCannotOpenOrRead) {
    const std::string text = path("text.tqf"), truncated = path("truncated.tqf"), fifo = path("fifo.tqf");
    std::ofstream(text) << "not a slide";
    std::ofstream(path("notes.txt")) << "not a slide";
    {
        std::ifstream in(path("forty.tqf"), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(truncated, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    }
    mkfifo(fifo.c_str(), 0600);
    const struct {
        std::string path;
        Kind kind;
        const char *says;
    } cases[] = {
        {path("missing.tqf"), Kind::not_found, "No such file"},
        {directory->path(), Kind::is_a_directory, "directory"},
        {fifo, Kind::not_a_slide, "not a regular file"},
        {path("notes.txt"), Kind::not_a_slide, "does not end in \".tqf\""},
        {text, Kind::not_a_slide, "not a .tqf slide"},
        {truncated, Kind::damaged, "damaged"},
        {std::string("a\0b.tqf", 7), Kind::not_a_slide, "NUL"},
    };
    for (const auto &c : cases) {
        try {
            tqfio::slide slide(c.path);
            ADD_FAILURE() << c.path << " opened";
        } catch (const tqfio::slide_error &e) {
            EXPECT_EQ(e.which(), c.kind) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.path.substr(0, c.path.find('\0'))), std::string::npos);
            EXPECT_EQ(std::string(e.what()).find('\0'), std::string::npos);
        }
    }

    tqfio::slide slide(path("forty.tqf"));
    unsigned char pixel[4];
    const struct {
        int level, width, height;
        size_t stride;
        unsigned char *dst;
        const char *says;
    } reads[] = {
        {5, 1, 1, 3, pixel, "level 5 is out of range"},   {-1, 1, 1, 3, pixel, "level -1"},
        {0, -1, 1, 3, pixel, "width -1 is negative"},     {0, 1, -2, 3, pixel, "height -2"},
        {0, 1 << 28, 1, size_t(3) << 28, pixel, "width"}, {0, 2, 1, 3, pixel, "row stride 3"},
        {0, 1, 1, 3, nullptr, "no destination"},
    };
    for (const auto &r : reads) {
        try {
            slide.read_region(0, 0, r.level, r.width, r.height, r.dst, r.stride, pixel_format::rgb);
            ADD_FAILURE() << r.says;
        } catch (const tqfio::slide_error &e) {
            EXPECT_EQ(e.which(), Kind::invalid_argument);
            EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(slide.read_region_at(0, 0, 0.0, 1, 1, pixel, 3), tqfio::slide_error);
    EXPECT_THROW(slide.read_region_at(0, 0, NAN, 1, 1, pixel, 3), tqfio::slide_error);
    EXPECT_THROW(slide.associated_image("thumbnail"), tqfio::slide_error);
    // Nothing to read: no buffer needed.
    slide.read_region(0, 0, 0, 0, 5, nullptr, 0);
}

// A copy of a slide with `stream` at the start of every tile stream long
// enough to hold it, or of its label's stream.
std::string with_stream(const std::string &from, const std::string &to, const std::vector<uchar> &stream,
                        bool in_label) {
    std::vector<uint8_t> bytes = tqf::testing::readFileBytes(from);
    TQF *slide = yelk_load_image(from.c_str(), 1);
    const auto put = [&](uint32_t length, int64_t position) {
        if (length >= stream.size())
            std::copy(stream.begin(), stream.end(), bytes.begin() + position);
    };
    if (slide && in_label)
        put(slide->labelHeader->length, slide->labelHeader->position);
    for (int i = 0; slide && !in_label && i < slide->header->dataBlockCount; ++i)
        put(slide->dataBlockHeader[i].length, slide->dataBlockHeader[i].position);
    yelk_unload_image(slide, 1);
    std::ofstream(to, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return to;
}

// A small JPEG whose frame header states `side` x `side` pixels.
std::vector<uchar> jpeg_stating(int side) {
    std::vector<uchar> stream;
    cv::imencode(".jpg", cv::Mat(16, 16, CV_8UC3, cv::Scalar(10, 120, 200)), stream, {cv::IMWRITE_JPEG_QUALITY, 40});
    for (size_t i = 0; i + 8 < stream.size(); ++i)
        if (stream[i] == 0xFF && stream[i + 1] == 0xC0) {  // the frame header: height, width
            stream[i + 5] = stream[i + 7] = static_cast<uchar>(side >> 8);
            stream[i + 6] = stream[i + 8] = static_cast<uchar>(side & 0xFF);
            break;
        }
    return stream;
}

// Tiles larger than their cells show their cell's part, with and without
// the cache; one whose header states a size of more than four cells a side
// (a damaged header can state 65535 x 65535 pixels: gigabytes to decode) is
// not decoded, and its cell reads white.
TEST_F(Slides, TilesLargerThanTheirCells) {
    cv::Mat big(300, 300, CV_8UC3);
    for (int r = 0; r < big.rows; ++r)
        for (int c = 0; c < big.cols; ++c)
            big.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uchar>(r), static_cast<uchar>(c), 90);
    std::vector<uchar> oversized;
    cv::imencode(".jpg", big, oversized, {cv::IMWRITE_JPEG_QUALITY, 40});
    const std::vector<uchar> huge = jpeg_stating(20000);
    const cv::Mat cell = cv::imdecode(oversized, cv::IMREAD_COLOR)(cv::Rect(0, 0, 256, 256));
    const struct {
        const char *name;
        const std::vector<uchar> &stream;
        bool white;
    } cases[] = {{"oversized.tqf", oversized, false}, {"huge.tqf", huge, true}};
    for (const auto &c : cases) {
        const std::string changed = with_stream(path("forty.tqf"), path(c.name), c.stream, false);
        for (const size_t cache : {size_t(0), size_t(64) << 20}) {
            tqfio::slide_options options;
            options.cache_bytes = cache;
            tqfio::slide slide(changed, options);
            // The first cell whole, and a window over four cells.
            const cv::Mat first = read(slide, 0, 0, 0, 256, 256), window = read(slide, 200, 200, 0, 112, 112);
            SCOPED_TRACE(std::string(c.name) + (cache ? " with a cache" : " without a cache"));
            if (c.white) {
                EXPECT_TRUE(all_equal(first, cv::Scalar(255, 255, 255)));
                EXPECT_TRUE(all_equal(window, cv::Scalar(255, 255, 255)));
            } else {
                EXPECT_EQ(cv::norm(first, cell, cv::NORM_INF), 0);
                EXPECT_EQ(cv::norm(window(cv::Rect(56, 56, 56, 56)), cell(cv::Rect(0, 0, 56, 56)), cv::NORM_INF), 0);
            }
        }
    }
}

// A label whose header states 20,000 x 20,000 pixels is refused undecoded
// (decoding it would take gigabytes), and the slide's other image still reads.
TEST_F(Slides, AnAssociatedImageStatingGigapixelsIsNotDecoded) {
    tqfio::slide slide(with_stream(path("forty.tqf"), path("huge-label.tqf"), jpeg_stating(20000), true));
    try {
        slide.associated_image("label");
        ADD_FAILURE() << "the label decoded";
    } catch (const tqfio::slide_error &e) {
        EXPECT_EQ(e.which(), Kind::io);
        EXPECT_NE(std::string(e.what()).find("states 20000 x 20000 pixels"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("huge-label.tqf"), std::string::npos) << e.what();
    }
    EXPECT_EQ(slide.associated_image("macro").width, 160);
}

// The images come through a private temporary directory: the working
// directory is neither written nor needed (here one nobody can write).
TEST_F(Slides, AssociatedImagesLeaveNoFiles) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir("/proc"), 0);
    tqfio::slide slide(path("forty.tqf"));
    EXPECT_EQ(slide.associated_image_names(), (std::vector<std::string>{"label", "macro"}));
    const tqfio::image label = slide.associated_image("label", pixel_format::bgr);
    const tqfio::image macro = slide.associated_image("macro", pixel_format::rgb);
    ASSERT_EQ(chdir(previous), 0);
    ASSERT_EQ(label.width, 70);
    ASSERT_EQ(label.height, 90);
    EXPECT_LE(cv::norm(cv::Mat(90, 70, CV_8UC3, const_cast<unsigned char *>(label.pixels.data())),
                       cv::Mat(90, 70, CV_8UC3, cv::Scalar(220, 20, 120)), cv::NORM_INF),
              3);
    EXPECT_LE(cv::norm(cv::Mat(120, 160, CV_8UC3, const_cast<unsigned char *>(macro.pixels.data())),
                       cv::Mat(120, 160, CV_8UC3, cv::Scalar(30, 200, 10)), cv::NORM_INF),
              3);

    const std::string tmp = path("tmp");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    setenv("TMPDIR", tmp.c_str(), 1);
    tqfio::slide again(path("forty.tqf"));
    again.associated_image("macro");
    unsetenv("TMPDIR");
    EXPECT_EQ(rmdir(tmp.c_str()), 0) << "the temporary directory was left with files in it";
}

// Eight threads reading one slide through a cache too small for them get
// what a lone reader without a cache gets.
TEST_F(Slides, ThreadsWithASharedCacheGetTheSerialResults) {
    tqfio::slide_options small_cache;
    small_cache.cache_bytes = 20 * 256 * 256 * 3;
    tqfio::slide shared(path("forty.tqf"), small_cache);
    tqfio::slide_options no_cache;
    no_cache.cache_bytes = 0;
    no_cache.threads = 1;
    tqfio::slide serial(path("forty.tqf"), no_cache);

    struct Read {
        int64_t x, y;
        int level, w, h;
    };
    std::mt19937 random(11);
    std::vector<Read> reads;
    for (int i = 0; i < 240; ++i) {
        const int level = static_cast<int>(random() % 4);
        reads.push_back({static_cast<int64_t>(random() % 2600) - 100, static_cast<int64_t>(random() % 1900) - 100,
                         level, 1 + static_cast<int>(random() % 700), 1 + static_cast<int>(random() % 500)});
    }
    std::vector<cv::Mat> expected;
    for (const Read &r : reads)
        expected.push_back(read(serial, r.x, r.y, r.level, r.w, r.h));
    std::vector<int> mismatches(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (size_t i = t; i < reads.size() * 3; i += 8) {
                const Read &r = reads[i % reads.size()];
                if (cv::norm(read(shared, r.x, r.y, r.level, r.w, r.h), expected[i % reads.size()], cv::NORM_INF) != 0)
                    ++mismatches[t];
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(std::accumulate(mismatches.begin(), mismatches.end(), 0), 0);
    EXPECT_GT(shared.cache_used_bytes(), 0u);
    EXPECT_LE(shared.cache_used_bytes(), small_cache.cache_bytes);
    EXPECT_EQ(serial.cache_used_bytes(), 0u);
    shared.set_cache_bytes(0);
    EXPECT_EQ(shared.cache_used_bytes(), 0u);
}

TEST_F(Slides, BatchesComeInOrder) {
    tqfio::slide slide(path("forty.tqf"));
    std::vector<std::pair<int64_t, int64_t>> locations;
    for (int i = 0; i < 37; ++i)
        locations.push_back({(i * 397) % 2700 - 50, (i * 211) % 2000 - 50});
    for (const size_t batch : {size_t(1), size_t(8)}) {
        tqfio::region_batch regions(slide, locations, 1, 64, 48, pixel_format::rgb, 3, batch);
        size_t seen = 0, count = 0;
        while (auto pixels = regions.next(&count)) {
            ASSERT_EQ(count, std::min(batch, locations.size() - seen));
            for (size_t i = 0; i < count; ++i, ++seen) {
                const cv::Mat got(48, 64, CV_8UC3, pixels.get() + i * regions.region_bytes());
                const auto &[x, y] = locations[seen];
                EXPECT_EQ(cv::norm(got, read(slide, x, y, 1, 64, 48, pixel_format::rgb), cv::NORM_INF), 0) << seen;
            }
        }
        EXPECT_EQ(seen, locations.size());
    }
    // Given up half-way: the workers stop.
    {
        tqfio::region_batch regions(slide, locations, 0, 512, 512, pixel_format::rgb, 2, 1, 2);
        size_t count = 0;
        regions.next(&count);
    }
    EXPECT_THROW(tqfio::region_batch(slide, locations, 9, 8, 8), tqfio::slide_error);
    tqfio::region_batch none(slide, {}, 0, 8, 8);
    size_t count = 1;
    EXPECT_EQ(none.next(&count), nullptr);
    EXPECT_EQ(count, 0u);
}

// A slide opened before fork reads in the child, large regions (the
// decoding pool) included.
TEST_F(Slides, WorksInAForkedChild) {
    tqfio::slide slide(path("forty.tqf"));
    const cv::Mat expected = read(slide, 0, 0, 0, 1500, 1500);  // starts the pool in the parent
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const cv::Mat got = read(slide, 0, 0, 0, 1500, 1500);
        _exit(cv::norm(got, expected, cv::NORM_INF) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
