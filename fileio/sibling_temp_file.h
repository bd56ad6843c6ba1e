/*
 * A file that is written under a hidden temporary name beside its target and
 * renamed over the target only when complete, so no one ever opens a
 * half-written target. Until commit() succeeds the target is left as it was;
 * a temporary that is not committed is removed.
 */
#ifndef TQF_SIBLING_TEMP_FILE_H
#define TQF_SIBLING_TEMP_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tqf::io {

class SiblingTempFile {
public:
    enum class Durability { kRenameOnly, kSyncedToDisk };

    SiblingTempFile() = default;
    ~SiblingTempFile();
    SiblingTempFile(const SiblingTempFile &) = delete;
    SiblingTempFile &operator=(const SiblingTempFile &) = delete;

    // Creates "<dir>/.<name>.XXXXXX" for target "<dir>/<name>". False, with
    // error() telling why, when the target names no file or the directory
    // does not take new files.
    bool create(const std::string &targetPath);

    bool append(const void *data, size_t size);
    bool writeAt(uint64_t offset, const void *data, size_t size);

    // Gives the file the permissions of a newly created file, optionally syncs
    // it, and renames it over the target.
    bool commit(Durability durability);

    // Removes the temporary; nothing happens after a commit.
    void discard();

    int descriptor() const { return m_fd; }
    const std::string &temporaryPath() const { return m_tempPath; }
    const std::string &error() const { return m_error; }

private:
    bool fail(const std::string &what);

    int m_fd = -1;
    std::string m_targetPath;
    std::string m_tempPath;
    std::string m_error;
};

// Removes every temporary file of this process that is neither committed nor
// discarded yet, for a program that is being interrupted; from then on no
// temporary file is made. Call it from a thread, not from a signal handler:
// it takes a lock.
void removeUncommittedTemporaries();

}  // namespace tqf::io

#endif  // TQF_SIBLING_TEMP_FILE_H
