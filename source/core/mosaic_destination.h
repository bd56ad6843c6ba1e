// What both mosaic layouts write through: the destination image showing a
// box of the level. Internal to the mosaic.
#ifndef TQF_CORE_MOSAIC_DESTINATION_H
#define TQF_CORE_MOSAIC_DESTINATION_H

#include <opencv2/core.hpp>

#include "mosaic.h"
#include "region_geometry.h"

namespace tqfio::core {

// Writes tile pixels and white into the destination, which shows the box
// `area` of the level.
class Destination {
public:
    Destination(cv::Mat &image, const Box &area, PixelOrder order) : m_image(image), m_area(area), m_order(order) {}

    // The request's rectangle as a box.
    static Box area_of(const MosaicRequest &r) {
        return Box{r.x, r.y, static_cast<int64_t>(r.x) + r.width, static_cast<int64_t>(r.y) + r.height};
    }

    const Box &area() const { return m_area; }

    void fill_white(const Box &box) {
        const Box part = box & m_area;
        if (!part.empty())
            view(part).setTo(opaque_white());
    }

    // Copies the part of `tile` (pixels in `order`), placed with its top-left
    // pixel at (x, y), that lies inside both `clip` and the destination.
    void paste(const cv::Mat &tile, PixelOrder order, int64_t x, int64_t y, const Box &clip) {
        const Box part = Box{x, y, x + tile.cols, y + tile.rows} & clip & m_area;
        if (part.empty())
            return;
        const cv::Rect from(static_cast<int>(part.x0 - x), static_cast<int>(part.y0 - y),
                            static_cast<int>(part.width()), static_cast<int>(part.height()));
        cv::Mat to = view(part);
        convert_pixels(tile(from), order, to, m_order);
    }

    // Where a tile of width x height whose top-left pixel is (x, y) can be
    // decoded in place; null when it does not lie wholly inside.
    unsigned char *place_for(int64_t x, int64_t y, int width, int height) {
        const Box box{x, y, x + width, y + height};
        if ((box & m_area) != box)
            return nullptr;
        return m_image.ptr<unsigned char>(static_cast<int>(y - m_area.y0)) + bytes_per_pixel(m_order) * (x - m_area.x0);
    }

    size_t pitch() const { return m_image.step; }

private:
    cv::Mat view(const Box &part) {
        return m_image(cv::Rect(static_cast<int>(part.x0 - m_area.x0), static_cast<int>(part.y0 - m_area.y0),
                                static_cast<int>(part.width()), static_cast<int>(part.height())));
    }

    cv::Mat &m_image;
    Box m_area;
    PixelOrder m_order;
};

}  // namespace tqfio::core

#endif  // TQF_CORE_MOSAIC_DESTINATION_H
