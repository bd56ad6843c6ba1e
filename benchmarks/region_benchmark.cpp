// Region read throughput against the cost of only decoding the tiles read.
//
//   region-benchmark SLIDE.tqf [SECONDS_PER_SCENARIO]
//
// For each scenario, regions at random positions (fixed seed) are read
// through tqfio::reader; then the JPEG streams of exactly the tiles those
// reads touch are fetched into memory and decoded alone, once with
// cv::imdecode and once with libjpeg-turbo's tjDecompress2 into a reused
// buffer. Those decode times are lower bounds of a read; the ratios show
// what the reading adds (fetching, assembly, scaling, copies).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <turbojpeg.h>

#include "tqf_reader.h"
#include "yelk.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Scenario {
    const char *name;
    int side;            // region width and height at the requested scale
    int scale_divisor;   // requested scale = scan magnification / divisor
    bool pyramid_level;  // read scale set to the requested scale
};

struct Region {
    int x, y;
};

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The encoded streams of every tile a region read touches, in fetch order.
std::vector<std::vector<unsigned char>> touched_streams(TQF *slide, int read_scale, const Region &r, int side,
                                                        double ratio) {
    const int x0 = static_cast<int>(r.x * ratio), y0 = static_cast<int>(r.y * ratio);
    const int x1 = static_cast<int>((r.x + side) * ratio), y1 = static_cast<int>((r.y + side) * ratio);
    std::vector<std::vector<unsigned char>> streams;
    std::vector<char> buffer(YELK_TILE_STREAM_CAPACITY);
    for (int ty = y0 / 256; ty <= (y1 - 1) / 256; ++ty)
        for (int tx = x0 / 256; tx <= (x1 - 1) / 256; ++tx) {
            UINT32 length = 0;
            yelk_get_datablock_stream_single(slide, static_cast<UINT32>(read_scale), tx * 256, ty * 256, buffer.data(),
                                             &length);
            if (length)
                streams.emplace_back(buffer.begin(), buffer.begin() + length);
        }
    return streams;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SLIDE.tqf [SECONDS_PER_SCENARIO]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const double budget = argc > 2 ? std::atof(argv[2]) : 3.0;

    tqfio::reader reader;
    if (!reader.ReadInfo(path))
        return 1;
    const int scan = reader.getReadScale();
    const int width = reader.getWidth(), height = reader.getHeight();
    TQF *slide = yelk_load_image(path.c_str(), 0);
    if (!slide)
        return 1;
    std::printf("slide %s: %d x %d at %dx\n\n", path.c_str(), width, height, scan);
    std::printf("%-34s %8s %9s | %9s %9s | %7s %7s\n", "scenario", "ms/read", "MP/s", "imdecode", "tj", "/imdec",
                "/tj");

    const Scenario scenarios[] = {
        {"256^2 at scan level", 256, 1, false},
        {"1024^2 at scan level", 1024, 1, false},
        {"4096^2 at scan level", 4096, 1, false},
        {"1024^2 at 1/4, from scan tiles", 1024, 4, false},
        {"1024^2 at 1/4, from pyramid level", 1024, 4, true},
    };
    tjhandle tj = tjInitDecompress();
    std::vector<unsigned char> tile_pixels(256 * 256 * 3);

    for (const Scenario &s : scenarios) {
        const double scale = static_cast<double>(scan) / s.scale_divisor;
        const int read_scale = s.pyramid_level ? static_cast<int>(scale) : scan;
        reader.setReadScale(static_cast<float>(read_scale));
        const double ratio = static_cast<double>(read_scale) / scale;
        const int extent_w = width / s.scale_divisor, extent_h = height / s.scale_divisor;
        if (extent_w < s.side || extent_h < s.side) {
            std::printf("%-34s slide too small\n", s.name);
            continue;
        }
        std::mt19937 random(42);
        std::vector<Region> regions;
        for (int i = 0; i < 4096; ++i)
            regions.push_back({static_cast<int>(random() % (extent_w - s.side + 1)),
                               static_cast<int>(random() % (extent_h - s.side + 1))});

        unsigned char *data = nullptr;
        int length = 0;
        reader.ReadRoi(regions[0].x, regions[0].y, s.side, s.side, scale, &data, &length);  // warm up

        size_t reads = 0;
        const Clock::time_point start = Clock::now();
        double read_seconds = 0;
        while (reads < regions.size() && (read_seconds = seconds_since(start)) < budget) {
            const Region &r = regions[reads++];
            reader.ReadRoi(r.x, r.y, s.side, s.side, scale, &data, &length);
        }
        read_seconds = seconds_since(start);

        std::vector<std::vector<unsigned char>> streams;
        for (size_t i = 0; i < reads; ++i)
            for (auto &stream : touched_streams(slide, read_scale, regions[i], s.side, ratio))
                streams.push_back(std::move(stream));

        Clock::time_point t = Clock::now();
        for (const auto &stream : streams) {
            const cv::Mat tile = cv::imdecode(stream, cv::IMREAD_COLOR);
            if (tile.empty())
                return 1;
        }
        const double imdecode_seconds = seconds_since(t);

        t = Clock::now();
        for (const auto &stream : streams) {
            int w = 0, h = 0, subsampling = 0, colorspace = 0;
            tjDecompressHeader3(tj, stream.data(), stream.size(), &w, &h, &subsampling, &colorspace);
            if (tjDecompress2(tj, stream.data(), stream.size(), tile_pixels.data(), w, 0, h, TJPF_BGR, 0) != 0)
                return 1;
        }
        const double tj_seconds = seconds_since(t);

        const double ms = 1000 * read_seconds / reads;
        const double megapixels = static_cast<double>(s.side) * s.side * reads / 1e6;
        std::printf("%-34s %8.2f %9.1f | %9.2f %9.2f | %7.2f %7.2f   (%zu reads, %zu tiles)\n", s.name, ms,
                    megapixels / read_seconds, 1000 * imdecode_seconds / reads, 1000 * tj_seconds / reads,
                    read_seconds / imdecode_seconds, read_seconds / tj_seconds, reads, streams.size());
    }
    std::printf("\nms/read and the decode columns are milliseconds per region; /imdec and /tj are the read time\n"
                "over the time to only decode the same tiles with cv::imdecode and with tjDecompress2.\n");
    tjDestroy(tj);
    yelk_unload_image(slide, 0);
    return 0;
}
