#include "associated_images.h"

#include "codec/image_decoding.h"
#include "private_directory.h"

namespace tqfio::core {

cv::Mat export_associated_image(TQF *slide, AssociatedImage which) {
    const tqf::io::PrivateDirectory directory("tqf-associated-");
    const std::string file = directory.file(which == AssociatedImage::preview ? "preview.jpg" : "label.jpg");
    if (which == AssociatedImage::preview)
        yelk_get_preview_image(slide, file.c_str());
    else
        yelk_get_label_image(slide, file.c_str());
    return tqf::codec::read_slide_image_file(file);
}

}  // namespace tqfio::core
