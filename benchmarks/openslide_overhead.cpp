// What OpenSlide's C interface (libopenslide.so.0) adds to tqfio::slide:
// random 1024 x 1024 reads at full resolution through openslide_read_region
// (premultiplied ARGB) against the same reads through tqfio::slide, in RGB
// (what tqfslide reads) and in BGRA (the same bytes the library hands out).
//
//   openslide-overhead SLIDE.tqf [ROUNDS]
//
// Each method reads the same places (fixed seed) on a slide of its own with
// the default options; the methods take turns, round after round, so that
// a change of load on the machine falls on all of them alike. Printed per
// method: milliseconds per read (wall, median over the rounds) and CPU
// milliseconds per read (all threads), and each against tqfio::slide RGB.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "openslide.h"
#include "tqf_slide.h"

namespace {

constexpr int kSide = 1024;
constexpr int kReadsPerRound = 24;

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Method {
    Method(const char *name_, std::function<void(int64_t, int64_t)> read_) : name(name_), read(std::move(read_)) {}
    const char *name;
    std::function<void(int64_t, int64_t)> read;
    std::vector<double> wall;  // seconds per read, one per round
    double cpu = 0;            // seconds, all rounds
    int reads = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SLIDE.tqf [ROUNDS]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;

    openslide_t *osr = openslide_open(path.c_str());
    if (osr == nullptr || openslide_get_error(osr) != nullptr) {
        std::fprintf(stderr, "cannot open %s through libopenslide: %s\n", path.c_str(),
                     osr ? openslide_get_error(osr) : "not a slide");
        return 1;
    }
    tqfio::slide rgb_slide(path), bgra_slide(path);
    std::vector<unsigned char> pixels(static_cast<size_t>(kSide) * kSide * 4);

    std::mt19937_64 random(1024);
    std::vector<std::pair<int64_t, int64_t>> places;
    for (int i = 0; i < rounds * kReadsPerRound; ++i)
        places.emplace_back(random() % (rgb_slide.width() - kSide), random() % (rgb_slide.height() - kSide));

    std::vector<Method> methods = {
        {"tqfio::slide, RGB",
         [&](int64_t x, int64_t y) {
             rgb_slide.read_region(x, y, 0, kSide, kSide, pixels.data(), kSide * 3, tqfio::pixel_format::rgb);
         }},
        {"tqfio::slide, BGRA",
         [&](int64_t x, int64_t y) {
             bgra_slide.read_region(x, y, 0, kSide, kSide, pixels.data(), kSide * 4, tqfio::pixel_format::bgra);
         }},
        {"openslide_read_region, ARGB",
         [&](int64_t x, int64_t y) {
             openslide_read_region(osr, reinterpret_cast<uint32_t *>(pixels.data()), x, y, 0, kSide, kSide);
         }},
    };
    // A first round untimed: every method's memory touched once.
    for (Method &method : methods)
        for (int i = 0; i < 4; ++i)
            method.read(places[i].first, places[i].second);
    for (int round = 0; round < rounds; ++round) {
        for (Method &method : methods) {
            const double wall = wall_seconds(), cpu = cpu_seconds();
            for (int i = 0; i < kReadsPerRound; ++i) {
                const auto &[x, y] = places[round * kReadsPerRound + i];
                method.read(x, y);
            }
            method.wall.push_back((wall_seconds() - wall) / kReadsPerRound);
            method.cpu += cpu_seconds() - cpu;
            method.reads += kReadsPerRound;
        }
    }
    if (openslide_get_error(osr) != nullptr) {
        std::fprintf(stderr, "libopenslide: %s\n", openslide_get_error(osr));
        return 1;
    }
    openslide_close(osr);

    std::printf("random %d x %d reads at full resolution, %d rounds of %d, default options:\n", kSide, kSide, rounds,
                kReadsPerRound);
    const double base_wall = median(methods[0].wall), base_cpu = methods[0].cpu / methods[0].reads;
    for (const Method &method : methods) {
        const double wall = median(method.wall), cpu = method.cpu / method.reads;
        std::printf("  %-30s %7.2f ms/read (x%.3f)   CPU %7.2f ms/read (x%.3f)\n", method.name, 1000 * wall,
                    wall / base_wall, 1000 * cpu, cpu / base_cpu);
    }
    return 0;
}
