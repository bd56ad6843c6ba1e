// The front of a writer fuzz input: where the image comes from, its size
// and type, the writer's options and the label and preview images. The
// image's pixels (or the encoded file, for a decoded image) follow it.
#ifndef TQF_FUZZ_WRITER_REQUEST_H
#define TQF_FUZZ_WRITER_REQUEST_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace tqf::fuzz {

struct OptionImageRequest {
    uint8_t choice = 0;  // 0 none, 1 colour, 2 grey (refused), 3 16-bit (refused)
    uint16_t rows = 0, cols = 0;
};

struct WriterRequest {
    enum Source : uint8_t { kRawColour, kRawOtherType, kView, kDecoded };
    enum Flags : uint8_t {
        kEmptyImage = 1 << 0,
        kTargetExists = 1 << 1,
        kLabelText = 1 << 2,
        kScanTime = 1 << 3,
    };

    uint8_t source = kRawColour;
    uint8_t flags = 0;
    int16_t magnification = 40;
    int8_t quality = 90;
    int16_t previewMaxSide = 1024;
    uint8_t threads = 1;  // 0xF0 and above ask for more threads than allowed
    int64_t scanTime = 0;
    std::string labelText;
    OptionImageRequest label, preview;
    uint16_t rows = 0, cols = 0;  // 1 + value % the largest side
    uint8_t otherType = 0;        // for kRawOtherType

    void parse(FuzzInput &input) {
        source = input.take<uint8_t>();
        flags = input.take<uint8_t>();
        magnification = input.take<int16_t>();
        quality = input.take<int8_t>();
        previewMaxSide = input.take<int16_t>();
        threads = input.take<uint8_t>();
        if (flags & kScanTime)
            scanTime = input.take<int64_t>();
        if (flags & kLabelText) {
            const size_t length = std::min<size_t>(input.take<uint8_t>() % 48, input.size());
            labelText.assign(reinterpret_cast<const char *>(input.data()), length);
            input.skip(length);
        }
        for (OptionImageRequest *image : {&label, &preview}) {
            image->choice = input.take<uint8_t>();
            image->rows = input.take<uint16_t>();
            image->cols = input.take<uint16_t>();
        }
        rows = input.take<uint16_t>();
        cols = input.take<uint16_t>();
        if (source % 4 == kRawOtherType)
            otherType = input.take<uint8_t>();
    }

    void serialize(std::vector<uint8_t> &out) const {
        put(out, source);
        put(out, flags);
        put(out, magnification);
        put(out, quality);
        put(out, previewMaxSide);
        put(out, threads);
        if (flags & kScanTime)
            put(out, scanTime);
        if (flags & kLabelText) {
            put(out, static_cast<uint8_t>(labelText.size()));
            out.insert(out.end(), labelText.begin(), labelText.end());
        }
        for (const OptionImageRequest *image : {&label, &preview}) {
            put(out, image->choice);
            put(out, image->rows);
            put(out, image->cols);
        }
        put(out, rows);
        put(out, cols);
        if (source % 4 == kRawOtherType)
            put(out, otherType);
    }
};

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_WRITER_REQUEST_H
