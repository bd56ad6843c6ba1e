// tqfio::reader: opens a ".tqf" slide and reads any region of it at any
// magnification as a pixel buffer (8-bit, 3 channels in blue, green, red
// order, rows top to bottom without gaps), plus the slide's preview and label
// images.
//
// A reader holds at most one open slide and serves one caller at a time.
// Failures are reported through results and messages on the standard streams;
// the reader throws nothing of its own (allocation and OpenCV errors outside
// the per-tile decoding pass through).
#ifndef TQF_READER_H
#define TQF_READER_H

#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "yelk.h"

#define TQFIO_EXPORT __attribute__((visibility("default")))

namespace tqfio {

class TQFIO_EXPORT reader {
public:
    reader();
    ~reader();

    // A copy would share the slide handle and the result buffer, and both
    // copies would release them.
    reader(const reader &) = delete;
    reader &operator=(const reader &) = delete;

    // Opens (or reopens) a slide; its width and height are then counted at
    // `scale` (the scan magnification when scale is 0, negative or NaN).
    // `read_all` loads the whole slide into memory.
    bool ReadInfo(const std::string &file_name, const double scale = 0.0, bool read_all = false);

    // The slide's size at the opening scale. Declared as returning const
    // int; the qualifier changes nothing for the value a caller receives.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-qualifiers"
    const int getWidth() const;
    const int getHeight() const;
#pragma GCC diagnostic pop
    // The read scale: the magnification of the level tiles are fetched from.
    int getReadScale();
    // Sets the read scale, truncated toward zero; the geometry is unchanged.
    void setReadScale(float scale);

    // Reads the region (_x, _y, _w, _h), counted in pixels at `scale`, and
    // returns its pixels at that scale in the reader's result buffer. The
    // buffer is reused by the next read of the same byte count and replaced
    // by one of another byte count. Parts outside the slide are white.
    void ReadRoi(int _x, int _y, int _w, int _h, double scale, unsigned char **output_array, int *length);

    // The result buffer of the last region read as a shared owner, so that a
    // binding can keep the memory alive for as long as a view of it exists.
    // Empty before the first read with a buffer.
    std::shared_ptr<unsigned char[]> shareResultBuffer() const;

    // Preview and label images in a new buffer of width x height x 3 bytes
    // that the caller releases with delete[]; the result is the width (0 when
    // there is no image).
    int ReadPreview(unsigned char **output_array, int *length);
    int readLabelImage(unsigned char **output_array, int *length);

private:
    // Assembles the tile-level rectangle (x, y, w, h) from the slide's tiles.
    void ReadRoi_knl(int x, int y, int w, int h, cv::OutputArray dst);
    // Makes the result buffer new_length bytes long, reusing it when it is.
    void allocate_result(int new_length);
    // Preview and label: the library writes the image to `file_name`, and the
    // reader reads back what that very call wrote.
    int read_scratch_image(bool preview, unsigned char **output_array, int *length);

    cv::Mat m_image;
    std::string m_tqfPath;
    TQF *m_pTqfHead;
    unsigned char *m_rstpointer;
    int m_length;
    int m_width;
    int m_height;
    int m_blockSize;
    int m_scale;
    bool m_readall;
    // Owns the array m_rstpointer points to; views handed out may co-own it.
    std::shared_ptr<unsigned char[]> m_rstOwner;
};

}  // namespace tqfio

#endif  // TQF_READER_H
