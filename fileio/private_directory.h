// A directory of this process's own under the temporary directory, for
// files that must exist by name for a moment (images a library exports to
// a path, fuzz inputs): made with mode 0700 under a fresh name, and removed
// with everything in it when the object goes.
#ifndef TQF_PRIVATE_DIRECTORY_H
#define TQF_PRIVATE_DIRECTORY_H

#include <string>

namespace tqf::io {

class PrivateDirectory {
public:
    // Makes "<base>/<prefix>XXXXXX"; the base is $TMPDIR, or /tmp when that
    // is unset or empty. Throws std::runtime_error naming the pattern and
    // the cause when the directory cannot be made.
    explicit PrivateDirectory(const std::string &prefix, const std::string &base = temporary_base());
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory &) = delete;
    PrivateDirectory &operator=(const PrivateDirectory &) = delete;

    const std::string &path() const { return m_path; }
    // The path of `name` inside the directory.
    std::string file(const std::string &name) const { return m_path + "/" + name; }
    // Removes everything inside, keeping the directory.
    void clear() const;

    // $TMPDIR, or /tmp.
    static std::string temporary_base();

private:
    std::string m_path;
};

}  // namespace tqf::io

#endif  // TQF_PRIVATE_DIRECTORY_H
