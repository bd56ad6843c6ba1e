// Region reading: a rectangle given at any magnification is converted to the
// tile level, assembled from tiles, scaled back, padded with white where it
// leaves the slide and delivered in the reader's result buffer.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>

#include <opencv2/imgproc.hpp>

#include "core/slide_limits.h"
#include "core/region_request.h"
#include "tqf_reader.h"

namespace tqfio {

namespace {

using core::kMaxRegionSide;

int clamp_to(int64_t value, int upper) {
    return static_cast<int>(std::max<int64_t>(std::min<int64_t>(value, upper), 0));
}

// Truncation toward zero of a finite value known to be at least 0 and below
// 2^31; larger values (only reached through rounding) saturate.
int truncate(float value) { return value >= 2147483648.0f ? INT_MAX : static_cast<int>(value); }

const char *const kNothingRead = "; nothing read.";

}  // namespace

void reader::ReadRoi(int _x, int _y, int _w, int _h, double scale, unsigned char **output_array, int *length) {
    const core::RegionSizeCheck size = core::check_region_size(_w, _h, 3, INT_MAX);
    switch (size.status) {
    case core::RegionSizeStatus::ok:
        break;
    case core::RegionSizeStatus::negative_width:
    case core::RegionSizeStatus::negative_height:
        std::cerr << "ReadRoi: " << (_w < 0 ? "width " : "height ") << (_w < 0 ? _w : _h) << " is negative"
                  << kNothingRead << std::endl;
        return;
    case core::RegionSizeStatus::too_many_bytes:
        std::cerr << "ReadRoi: a region of " << _w << " x " << _h << " pixels needs " << size.byte_count
                  << " bytes, more than an int counts" << kNothingRead << std::endl;
        return;
    case core::RegionSizeStatus::width_too_large:
    case core::RegionSizeStatus::height_too_large: {
        const bool wide = size.status == core::RegionSizeStatus::width_too_large;
        std::cerr << "ReadRoi: " << (wide ? "width " : "height ") << (wide ? _w : _h) << " is more than "
                  << kMaxRegionSide << " pixels" << kNothingRead << std::endl;
        return;
    }
    }
    if (!core::is_positive_finite(scale)) {
        std::cerr << "ReadRoi: scale " << scale << " is not a positive finite magnification" << kNothingRead
                  << std::endl;
        return;
    }
    const uint64_t byte_count = size.byte_count;
    if (m_scale <= 0) {
        std::cerr << "ReadRoi: the read scale " << m_scale << " is not a positive magnification" << kNothingRead
                  << std::endl;
        return;
    }

    const float ratio = static_cast<float>(static_cast<double>(m_scale) / scale);
    const float tile_x = static_cast<float>(clamp_to(_x, m_width)) * ratio;
    const float tile_y = static_cast<float>(clamp_to(_y, m_height)) * ratio;
    const float tile_end_x = static_cast<float>(clamp_to(static_cast<int64_t>(_x) + _w, m_width)) * ratio;
    const float tile_end_y = static_cast<float>(clamp_to(static_cast<int64_t>(_y) + _h, m_height)) * ratio;
    if (!(ratio > 0) || !(tile_end_x < 2147483648.0f) || !(tile_end_y < 2147483648.0f)) {
        std::cerr << "ReadRoi: at scale " << scale << " the region (" << _x << ", " << _y << ", " << _w << ", " << _h
                  << ") maps outside the tile level's coordinate range" << kNothingRead << std::endl;
        return;
    }
    int x = static_cast<int>(tile_x);
    int y = static_cast<int>(tile_y);
    const int endx = static_cast<int>(tile_end_x);
    const int endy = static_cast<int>(tile_end_y);
    int w = endx - x;
    int h = endy - y;
    if (w > kMaxRegionSide || h > kMaxRegionSide) {
        std::cerr << "ReadRoi: at scale " << scale << " the region (" << _x << ", " << _y << ", " << _w << ", " << _h
                  << ") needs a tile-level area of " << w << " x " << h << " pixels, more than " << kMaxRegionSide
                  << " on a side" << kNothingRead << std::endl;
        return;
    }

    const bool leaves_slide = _x < 0 || static_cast<int64_t>(_x) + _w > m_width || _y < 0 ||
                              static_cast<int64_t>(_y) + _h > m_height;
    const int new_length = static_cast<int>(byte_count);

    // The working image may view the result buffer (below). Let go of it
    // before anything else: the buffer may be handed out or released next,
    // and the working image must neither write into the one nor keep
    // pointing at the other, also when allocating a new buffer fails.
    if (m_image.data && m_image.data == m_rstpointer)
        m_image.release();

    // Reading at the tile level inside the slide: the tiles go straight into
    // the result buffer, which the working image then views.
    if (ratio == 1.0f && !leaves_slide && w == _w && h == _h && new_length > 0) {
        allocate_result(new_length);
        m_image = cv::Mat(_h, _w, CV_8UC3, m_rstpointer);
        ReadRoi_knl(x, y, w, h, m_image);
        *output_array = m_rstpointer;
        *length = m_length;
        return;
    }

    ReadRoi_knl(x, y, w, h, m_image);

    x = truncate(static_cast<float>(x) / ratio);
    y = truncate(static_cast<float>(y) / ratio);
    h = truncate(static_cast<float>(h) / ratio);
    w = truncate(static_cast<float>(w) / ratio);
    // Far above the read scale one tile-level pixel stands for thousands of
    // requested ones, and the truncations could make the image vastly larger
    // than the request. It is scaled to the request at the end anyway, so
    // bound it; at every sensible magnification the bound is never reached.
    w = static_cast<int>(std::min<int64_t>(w, 2 * static_cast<int64_t>(_w) + 2));
    h = static_cast<int>(std::min<int64_t>(h, 2 * static_cast<int64_t>(_h) + 2));

    if (w == 0 || h == 0)
        m_image.create(cv::Size(w, h), CV_8UC3);
    if (ratio != 1.0f && !m_image.empty())
        cv::resize(m_image, m_image, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);

    // A region without pixels needs no border: padding only its other side
    // could make an image of no rows but a vast number of columns.
    if (leaves_slide && new_length > 0) {
        const int top = static_cast<int>(std::min<int64_t>(std::max<int64_t>(int64_t(y) - _y, 0), _h));
        const int left = static_cast<int>(std::min<int64_t>(std::max<int64_t>(int64_t(x) - _x, 0), _w));
        const float end_y = static_cast<float>(endy) / ratio;
        const float end_x = static_cast<float>(endx) / ratio;
        const int bottom = truncate(std::min(std::max(static_cast<float>(static_cast<int64_t>(_y) + _h) - end_y, 0.0f),
                                             static_cast<float>(_h)));
        const int right = truncate(std::min(std::max(static_cast<float>(static_cast<int64_t>(_x) + _w) - end_x, 0.0f),
                                            static_cast<float>(_w)));
        cv::copyMakeBorder(m_image, m_image, top, bottom, left, right, cv::BORDER_CONSTANT,
                           cv::Scalar(255, 255, 255, 0));
    }

    // Ratios that are not whole numbers can leave the image a pixel off the
    // requested size; scale it to the size the buffer promises.
    if (new_length > 0 && (m_image.cols != _w || m_image.rows != _h)) {
        if (m_image.empty()) {
            m_image.create(_h, _w, CV_8UC3);
            m_image.setTo(cv::Scalar::all(255));
        } else {
            cv::resize(m_image, m_image, cv::Size(_w, _h), 0, 0, cv::INTER_LINEAR);
        }
    }

    allocate_result(new_length);
    if (m_length > 0) {
        if (m_image.isContinuous()) {
            std::memcpy(m_rstpointer, m_image.data, static_cast<size_t>(m_length));
        } else {
            const size_t row_bytes = static_cast<size_t>(_w) * 3;
            for (int i = 0; i < _h; ++i)
                std::memcpy(m_rstpointer + i * row_bytes, m_image.ptr(i), row_bytes);
        }
    }
    *output_array = m_rstpointer;
    *length = m_length;
}

void reader::allocate_result(int new_length) {
    if (m_length == new_length)
        return;
    // Release first: on allocation failure the reader then holds no buffer.
    m_rstOwner.reset();
    m_rstpointer = nullptr;
    m_length = 0;
    m_rstOwner = std::shared_ptr<unsigned char[]>(new unsigned char[static_cast<size_t>(new_length)]);
    m_rstpointer = m_rstOwner.get();
    m_length = new_length;
}

}  // namespace tqfio
