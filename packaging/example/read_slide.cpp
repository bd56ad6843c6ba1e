// A C++ program that reads a .tqf slide through the installed libtqfslide
// alone, as a user builds it:
//
//   g++ -std=c++17 read_slide.cpp $(pkg-config --cflags --libs tqfslide) -o read-slide
//   cmake -S . -B build && cmake --build build       (find_package(tqfslide))
//
//   read-slide SLIDE.tqf
//
// Prints the slide's levels, then the mean colour of a 512 x 512 region at
// its centre on every level.
#include <cstdio>
#include <vector>

#include "tqf_slide.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SLIDE.tqf\n", argv[0]);
        return 2;
    }
    try {
        const tqfio::slide slide(argv[1]);
        std::printf("%s: %lld x %lld at %gx\n", argv[1], static_cast<long long>(slide.width()),
                    static_cast<long long>(slide.height()), slide.properties().scan_magnification);
        const int side = 512;
        std::vector<unsigned char> rgb(side * side * 3);
        for (size_t k = 0; k < slide.levels().size(); ++k) {
            const tqfio::level_info &level = slide.levels()[k];
            slide.read_region(slide.width() / 2 - static_cast<int64_t>(side / 2 * level.downsample),
                              slide.height() / 2 - static_cast<int64_t>(side / 2 * level.downsample),
                              static_cast<int>(k), side, side, rgb.data(), side * 3);
            double sum[3] = {0, 0, 0};
            for (size_t i = 0; i < rgb.size(); ++i)
                sum[i % 3] += rgb[i];
            const double n = static_cast<double>(side) * side;
            std::printf("level %zu: %lld x %lld, %gx, mean RGB %.1f %.1f %.1f\n", k,
                        static_cast<long long>(level.width), static_cast<long long>(level.height), level.magnification,
                        sum[0] / n, sum[1] / n, sum[2] / n);
        }
    } catch (const tqfio::slide_error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
