#include "source_properties.h"

#include <cstdint>

#include "tqf_format.h"

namespace tqfio::core {

namespace {

// More entries than this are not trusted to be a list; records longer than
// the format allows are not read.
constexpr UINT32 kMostRecords = 4096;

// The length of the well-formed UTF-8 sequence at `at`, or 0.
size_t sequence_length(const std::string &text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    if (first < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (first >= 0xC2 && first <= 0xDF)
        length = 2;
    else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0)
            low = 0xA0;  // no overlong forms
        if (first == 0xED)
            high = 0x9F;  // no surrogates
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0)
            low = 0x90;
        if (first == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

}  // namespace

std::string valid_utf8(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequence_length(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> source_properties(const TQF &slide) {
    std::vector<std::pair<std::string, std::string>> properties;
    const TQF_EXTENSION *list = slide.extension;
    if (list == nullptr || list->data == nullptr || list->extCount > kMostRecords)
        return properties;
    for (UINT32 i = 0; i < list->extCount; ++i) {
        const TQF_EXTENSION_FIELD &field = list->data[i];
        if (field.id != tqf::format::kSourcePropertiesRecord || field.length > tqf::format::kMaxExtensionRecordBytes ||
            (field.data == nullptr && field.length > 0))
            continue;
        if (tqf::format::decodeProperties(static_cast<const uint8_t *>(field.data), field.length, properties)) {
            for (auto &[name, value] : properties) {
                name = valid_utf8(name);
                value = valid_utf8(value);
            }
            return properties;
        }
    }
    return properties;
}

}  // namespace tqfio::core
