#include "associated_images.h"

#include "codec/image_decoding.h"
#include "private_directory.h"

#include <stdexcept>
#include <vector>

namespace tqfio::core {

cv::Mat export_associated_image(TQF *slide, AssociatedImage which) {
    const tqf::io::PrivateDirectory directory("tqf-associated-");
    const std::string file = directory.file(which == AssociatedImage::preview ? "preview.jpg" : "label.jpg");
    if (which == AssociatedImage::preview)
        yelk_get_preview_image(slide, file.c_str());
    else
        yelk_get_label_image(slide, file.c_str());
    std::vector<unsigned char> bytes;
    if (!tqf::codec::read_whole_file(file, bytes))
        return cv::Mat();
    int64_t width = 0, height = 0;
    if (tqf::codec::stated_image_size(bytes.data(), bytes.size(), &width, &height) &&
        width * height > kLargestAssociatedImage)
        throw std::runtime_error("it states " + std::to_string(width) + " x " + std::to_string(height) +
                                 " pixels, more than the " + std::to_string(kLargestAssociatedImage) +
                                 " an associated image may have; not decoded");
    return tqf::codec::decode_slide_image(bytes.data(), bytes.size());
}

}  // namespace tqfio::core
