#include "associated_images.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "image_decoding.h"

namespace tqfio::core {

namespace {

std::string temporary_base() {
    const char *chosen = std::getenv("TMPDIR");
    return chosen != nullptr && *chosen != '\0' ? chosen : "/tmp";
}

// A directory of our own, removed with its contents when we are done.
class PrivateDirectory {
public:
    PrivateDirectory() {
        std::string pattern = temporary_base() + "/tqf-associated-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary directory from '" + pattern +
                                     "': " + std::strerror(errno));
        m_path = buffer.data();
    }
    ~PrivateDirectory() {
        if (DIR *dir = opendir(m_path.c_str())) {
            std::vector<std::string> names;
            while (const dirent *entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            closedir(dir);
            for (const std::string &name : names)
                unlink((m_path + "/" + name).c_str());
        }
        rmdir(m_path.c_str());
    }
    PrivateDirectory(const PrivateDirectory &) = delete;
    PrivateDirectory &operator=(const PrivateDirectory &) = delete;

    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace

cv::Mat export_associated_image(TQF *slide, AssociatedImage which) {
    PrivateDirectory directory;
    const std::string file = directory.path() + (which == AssociatedImage::preview ? "/preview.jpg" : "/label.jpg");
    if (which == AssociatedImage::preview)
        yelk_get_preview_image(slide, file.c_str());
    else
        yelk_get_label_image(slide, file.c_str());
    return read_slide_image_file(file);
}

}  // namespace tqfio::core
