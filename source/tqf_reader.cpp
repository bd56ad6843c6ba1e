// The reader object: construction, opening a slide, geometry, read scale and
// teardown. Region reads, the tile mosaic and the preview and label images
// live in their own files.
#include "tqf_reader.h"

#include "core/mosaic.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace tqfio {

namespace {

const char kExtension[] = ".tqf";
const std::string::size_type kExtensionLength = sizeof(kExtension) - 1;

bool has_tqf_extension(const std::string &path) {
    return path.size() >= kExtensionLength &&
           path.compare(path.size() - kExtensionLength, kExtensionLength, kExtension) == 0;
}

// The path with NUL bytes made visible, for a one-line message.
std::string printable_path(const std::string &path) {
    std::string shown;
    for (char c : path) {
        if (c == '\0')
            shown += "\\0";
        else
            shown += c;
    }
    return shown;
}

// A slide size at the opening scale: single-precision product, rounded half
// up. Returns false when the result does not fit an int.
bool scaled_size(INT32 size, float ratio, int *out) {
    const double value = static_cast<double>(static_cast<float>(size) * ratio) + 0.5;
    if (!(value >= 0.0 && value < static_cast<double>(INT_MAX) + 1.0))
        return false;
    *out = static_cast<int>(value);
    return true;
}

}  // namespace

reader::reader()
    : m_pTqfHead(nullptr), m_rstpointer(nullptr), m_length(0), m_width(0), m_height(0), m_blockSize(256), m_scale(20),
      m_readall(false) {}

reader::~reader() {
    if (m_rstpointer) {
        m_rstOwner.reset();
        m_rstpointer = nullptr;
    }
    yelk_unload_image(m_pTqfHead, m_readall);
    m_pTqfHead = nullptr;
    m_length = 0;
}

bool reader::ReadInfo(const std::string &file_name, const double scale, bool read_all) {
    m_readall = read_all;
    m_tqfPath = file_name;

    if (!has_tqf_extension(file_name)) {
        std::cerr << file_name << " not a tqf file." << std::endl;
        return false;
    }
    // The library takes a C string: a NUL inside the path would make it open
    // another file than the one that passed the extension test.
    if (file_name.find('\0') != std::string::npos) {
        std::cerr << printable_path(file_name) << " holds a NUL byte; not opened." << std::endl;
        return false;
    }

    if (m_pTqfHead) {
        yelk_unload_image(m_pTqfHead, m_readall);
        m_pTqfHead = nullptr;
    }
    m_pTqfHead = yelk_load_image(file_name.c_str(), m_readall);

    if (!m_pTqfHead) {
        for (unsigned char byte : file_name)
            std::printf("%x ", byte);
        std::cerr << "Read " << file_name << " failed." << std::endl;
        return false;
    }

    const TQF_HEADER *header = m_pTqfHead->header;
    const char *refusal = nullptr;
    if (!header)
        refusal = "has no header";
    else if (header->scanScale <= 0)
        refusal = "has a scan magnification that is not positive";
    else if (header->imageWidth < 0 || header->imageHeight < 0)
        refusal = "has a negative width or height";

    int width = 0, height = 0;
    float ratio = 1.0f;
    if (!refusal) {
        const int scan_scale = header->scanScale;
        const double opening_scale = scale > 0 ? scale : static_cast<double>(scan_scale);
        ratio = static_cast<float>(opening_scale) / static_cast<float>(scan_scale);
        if (!scaled_size(header->imageWidth, ratio, &width) || !scaled_size(header->imageHeight, ratio, &height))
            refusal = "is too large at that opening scale for an int size";
    }
    if (refusal) {
        std::cerr << "Read " << file_name << " failed: the slide " << refusal;
        if (header)
            std::cerr << " (scan magnification " << header->scanScale << ", " << header->imageWidth << " x "
                      << header->imageHeight << ", opening scale " << scale << ")";
        std::cerr << "." << std::endl;
        yelk_unload_image(m_pTqfHead, m_readall);
        m_pTqfHead = nullptr;
        return false;
    }

    m_scale = header->scanScale;
    m_width = width;
    m_height = height;
    return true;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
const int reader::getWidth() const { return m_width; }

const int reader::getHeight() const { return m_height; }
#pragma GCC diagnostic pop

int reader::getReadScale() { return m_scale; }

void reader::setReadScale(float scale) {
    // Truncation toward zero; NaN and values beyond int have no integer to
    // truncate to, so they leave the read scale as it is.
    if (!(scale >= -2147483648.0f && scale < 2147483648.0f)) {
        std::cerr << "setReadScale: " << scale << " is not a magnification; the read scale stays " << m_scale << "."
                  << std::endl;
        return;
    }
    m_scale = static_cast<int>(scale);
}

std::shared_ptr<unsigned char[]> reader::shareResultBuffer() const { return m_rstOwner; }

}  // namespace tqfio
