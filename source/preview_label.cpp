// Preview and label images: the slide library writes the image to a scratch
// file in the working directory, and the reader reads it back into a new
// buffer owned by the caller.
#include <climits>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "codec/image_decoding.h"
#include "scratch_file.h"
#include "tqf_reader.h"

namespace tqfio {

namespace {
const char kPreviewFile[] = "preview_temp.jpg";
const char kLabelFile[] = "label_temp.jpg";
}  // namespace

int reader::ReadPreview(unsigned char **output_array, int *length) {
    return read_scratch_image(true, output_array, length);
}

int reader::readLabelImage(unsigned char **output_array, int *length) {
    return read_scratch_image(false, output_array, length);
}

int reader::read_scratch_image(bool preview, unsigned char **output_array, int *length) {
    const char *name = preview ? kPreviewFile : kLabelFile;
    cv::Mat tmp;
    {
        ScratchFile scratch(name);
        if (preview)
            yelk_get_preview_image(m_pTqfHead, name);
        else
            yelk_get_label_image(m_pTqfHead, name);
        if (scratch.written()) {
            tmp = tqf::codec::read_slide_image_file(name);
        } else if (!preview) {
            std::cerr << "error occor when read preview " << std::endl;
            std::cerr << "tqf path is " << m_tqfPath << std::endl;
            return 0;
        }
    }
    if (static_cast<int64_t>(tmp.cols) * tmp.rows * 3 > INT_MAX) {
        std::cerr << name << " of " << m_tqfPath << " is " << tmp.cols << " x " << tmp.rows
                  << " pixels, too large for one buffer; returned empty." << std::endl;
        tmp.release();
    }

    const int w = tmp.cols;
    const int h = tmp.rows;
    const int l = w * h * 3;
    unsigned char *buffer = new unsigned char[static_cast<size_t>(l)];
    if (l == 0) {
        // Nothing to copy; an empty image has no data pointer to copy from.
    } else if (tmp.isContinuous()) {
        std::memcpy(buffer, tmp.data, static_cast<size_t>(l));
    } else {
        const size_t step = static_cast<size_t>(w) * 3;
        for (int i = 0; i < h; ++i)
            std::memcpy(buffer + i * step, tmp.ptr(i), step);
    }
    *output_array = buffer;
    *length = l;
    return w;
}

}  // namespace tqfio
