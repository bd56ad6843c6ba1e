// Prints a slide's size at several opening scales: a native program that
// uses tqfio::reader directly from the shared object.
//
//   slide-geometry SLIDE.tqf [SCALE ...]    (scales default to 0 20 10 13.3)
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tqf_reader.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SLIDE.tqf [SCALE ...]\n", argv[0]);
        return 2;
    }
    std::vector<double> scales;
    for (int i = 2; i < argc; ++i) {
        char *end = nullptr;
        scales.push_back(std::strtod(argv[i], &end));
        if (end == argv[i] || *end) {
            std::fprintf(stderr, "%s: scale \"%s\" is not a number\n", argv[0], argv[i]);
            return 2;
        }
    }
    if (scales.empty())
        scales = {0, 20, 10, 13.3};

    tqfio::reader reader;
    for (double scale : scales) {
        if (!reader.ReadInfo(argv[1], scale))
            return 1;
        std::printf("opening scale %-5g  %7d x %-7d  read scale %d\n", scale, reader.getWidth(), reader.getHeight(),
                    reader.getReadScale());
    }
    return 0;
}
