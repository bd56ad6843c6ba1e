// The control block at the front of a converter-source fuzz input: which
// parts of the source are read and which tile of each copied level; the
// source file's bytes (a TIFF) follow.
#ifndef TQF_FUZZ_CONVERT_REQUEST_H
#define TQF_FUZZ_CONVERT_REQUEST_H

#include <cstdint>
#include <vector>

#include "fuzz_input.h"

namespace tqf::fuzz {

struct ConvertRequest {
    enum Flags : uint8_t {
        kPlanCopies = 1 << 0,    // plan the copied levels and read a tile of each
        kDrawnMissing = 1 << 1,  // missing tiles drawn from the finer level (Aperio's reading)
        kReadLevel = 1 << 2,     // a region of the source's level through readLevel
    };

    uint8_t flags = 0;
    uint8_t tilePixels = 0;         // what a copied tile is decoded to: none, whole, half (modulo 3)
    uint16_t x = 0, y = 0;          // a part of the image, modulo its size
    uint8_t width = 0, height = 0;  // its size less one, modulo kMaxSide
    uint16_t column = 0, row = 0;   // a tile of each copied level, modulo its grid
    int32_t magnification = 0;      // the slide's, modulo 80, 0 for the source's own or 40

    static constexpr int kMaxSide = 128;

    void parse(FuzzInput &input) {
        flags = input.take<uint8_t>();
        tilePixels = input.take<uint8_t>();
        x = input.take<uint16_t>();
        y = input.take<uint16_t>();
        width = input.take<uint8_t>();
        height = input.take<uint8_t>();
        column = input.take<uint16_t>();
        row = input.take<uint16_t>();
        magnification = input.take<int32_t>();
    }

    void serialize(std::vector<uint8_t> &out) const {
        put(out, flags);
        put(out, tilePixels);
        put(out, x);
        put(out, y);
        put(out, width);
        put(out, height);
        put(out, column);
        put(out, row);
        put(out, magnification);
    }
};

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_CONVERT_REQUEST_H
