#include "private_directory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tqf::io {

PrivateDirectory::PrivateDirectory(const std::string &prefix, const std::string &base) {
    const std::string pattern = base + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary directory from '" + pattern + "': " + std::strerror(errno));
    m_path = name.data();
}

PrivateDirectory::~PrivateDirectory() {
    // Entries whose permissions were taken away are removed all the same.
    std::error_code ignored;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    std::filesystem::remove_all(m_path, ignored);
}

void PrivateDirectory::clear() const {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(m_path, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code ignored;
        std::filesystem::remove_all(entry->path(), ignored);
    }
}

std::string PrivateDirectory::temporary_base() {
    const char *chosen = std::getenv("TMPDIR");
    return chosen != nullptr && *chosen != '\0' ? chosen : "/tmp";
}

}  // namespace tqf::io
