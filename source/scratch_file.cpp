#include "scratch_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tqfio {

namespace {

// Threads of one process also exclude each other through the directory lock
// (each holds its own open description), but not when the directory cannot
// be opened for reading: this mutex covers that case.
std::mutex &process_lock() {
    static std::mutex lock;
    return lock;
}

// Device, inode, size and change times of a file; false when it does not exist.
bool identify(const std::string &name, ScratchFile::Identity *identity) {
    struct stat info;
    if (lstat(name.c_str(), &info) != 0)
        return false;
    *identity = ScratchFile::Identity{
        info.st_dev,         info.st_ino,          static_cast<unsigned long long>(info.st_size),
        info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_ctim.tv_sec,
        info.st_ctim.tv_nsec};
    return true;
}

std::string set_aside_name(const std::string &name) {
    static std::atomic<unsigned long> counter{0};
    return "." + name + "." + std::to_string(getpid()) + "." + std::to_string(++counter) + ".aside";
}

}  // namespace

bool ScratchFile::Identity::operator==(const Identity &o) const {
    return device == o.device && inode == o.inode && size == o.size && modified_s == o.modified_s &&
           modified_ns == o.modified_ns && changed_s == o.changed_s && changed_ns == o.changed_ns;
}

ScratchFile::ScratchFile(const char *name) : m_name(name), m_directoryFd(-1), m_stuck(false), m_stuckIdentity() {
    // Everything that may throw comes before the locks: a constructor that
    // throws runs no destructor, and a lock left held would stop every later
    // preview and label read of the process.
    std::string aside = set_aside_name(m_name);
    process_lock().lock();
    m_directoryFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_directoryFd >= 0) {
        while (flock(m_directoryFd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    if (std::rename(m_name.c_str(), aside.c_str()) == 0) {
        m_setAside.swap(aside);
    } else if (errno != ENOENT) {
        m_stuck = identify(m_name, &m_stuckIdentity);
    }
}

ScratchFile::~ScratchFile() {
    if (!m_setAside.empty()) {
        if (written())
            std::remove(m_setAside.c_str());
        else
            std::rename(m_setAside.c_str(), m_name.c_str());
    }
    if (m_directoryFd >= 0)
        close(m_directoryFd);  // releases the lock
    process_lock().unlock();
}

bool ScratchFile::written() const {
    Identity now;
    if (!identify(m_name, &now))
        return false;
    return !m_stuck || !(now == m_stuckIdentity);
}

}  // namespace tqfio
