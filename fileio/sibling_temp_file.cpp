#include "sibling_temp_file.h"

#include "positioned_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tqf::io {

namespace {

// The process's umask, read without changing it (umask() would, racing other
// threads that create files meanwhile).
mode_t currentUmask() {
    mode_t mask = 022;
    if (FILE *status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value & 0777);
                break;
            }
        }
        std::fclose(status);
    }
    return mask;
}

void splitPath(const std::string &path, std::string &directory, std::string &name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        directory = ".";
        name = path;
    } else {
        directory = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

std::string errorText() { return std::strerror(errno); }

// Temporary files that exist now, for removeUncommittedTemporaries().
std::mutex g_registryMutex;
// Set once the process is removing its temporaries to end: none may be made after.
bool g_ending = false;
std::set<std::string> &registry() {
    static std::set<std::string> paths;
    return paths;
}

void forgetTemporary(const std::string &path) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    registry().erase(path);
}

}  // namespace

void removeUncommittedTemporaries() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    g_ending = true;
    for (const std::string &path : registry())
        unlink(path.c_str());
    registry().clear();
}

SiblingTempFile::~SiblingTempFile() { discard(); }

bool SiblingTempFile::fail(const std::string &what) {
    m_error = what;
    return false;
}

bool SiblingTempFile::create(const std::string &targetPath) {
    discard();
    m_error.clear();
    std::string directory, name;
    splitPath(targetPath, directory, name);
    if (name.empty() || name == "." || name == "..")
        return fail("'" + targetPath + "' names a directory, not a file");
    std::string pattern = directory + "/." + name + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    // Made and registered under the registry's lock: a removal of all
    // temporaries (an interruption) comes wholly before or wholly after, so
    // no file it should remove can exist unregistered.
    std::lock_guard<std::mutex> lock(g_registryMutex);
    if (g_ending)
        return fail("the process is ending; no temporary file is made in '" + directory + "'");
    const int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0)
        return fail("cannot create a temporary file in '" + directory + "': " + errorText());
    m_fd = fd;
    m_targetPath = targetPath;
    m_tempPath = buffer.data();
    registry().insert(m_tempPath);
    return true;
}

bool SiblingTempFile::append(const void *data, size_t size) {
    if (m_fd < 0)
        return fail("no temporary file is open");
    if (!writeFully(m_fd, data, size))
        return fail("cannot write '" + m_tempPath + "': " + errorText());
    return true;
}

bool SiblingTempFile::writeAt(uint64_t offset, const void *data, size_t size) {
    if (m_fd < 0)
        return fail("no temporary file is open");
    if (!writeFullyAt(m_fd, data, size, offset))
        return fail("cannot write '" + m_tempPath + "': " + errorText());
    return true;
}

bool SiblingTempFile::commit(Durability durability) {
    if (m_fd < 0)
        return fail("no temporary file is open");
    // mkstemp makes the file private (0600); the target gets ordinary permissions.
    if (fchmod(m_fd, 0666 & ~currentUmask()) != 0)
        return fail("cannot set the permissions of '" + m_tempPath + "': " + errorText());
    if (durability == Durability::kSyncedToDisk && fsync(m_fd) != 0)
        return fail("cannot flush '" + m_tempPath + "' to disk: " + errorText());
    const int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0) {
        m_error = "cannot close '" + m_tempPath + "': " + errorText();
        discard();
        return false;
    }
    {
        // Renamed and forgotten under the registry's lock, so that an
        // interruption either removes the temporary or finds it committed.
        std::lock_guard<std::mutex> lock(g_registryMutex);
        if (std::rename(m_tempPath.c_str(), m_targetPath.c_str()) == 0) {
            registry().erase(m_tempPath);
            m_tempPath.clear();
        } else {
            m_error = "cannot replace '" + m_targetPath + "': " + errorText();
        }
    }
    if (!m_tempPath.empty()) {
        discard();
        return false;
    }
    if (durability == Durability::kSyncedToDisk) {
        // Make the rename itself durable; a failure here cannot undo it.
        std::string directory, name;
        splitPath(m_targetPath, directory, name);
        const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            fsync(dirFd);
            close(dirFd);
        }
    }
    return true;
}

void SiblingTempFile::discard() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        unlink(m_tempPath.c_str());
        forgetTemporary(m_tempPath);
        m_tempPath.clear();
    }
}

}  // namespace tqf::io
