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

std::string set_aside_name(const std::string &name) {
    static std::atomic<unsigned long> counter{0};
    return "." + name + "." + std::to_string(getpid()) + "." + std::to_string(++counter) + ".aside";
}

}  // namespace

ScratchFile::ScratchFile(const char *name) : m_name(name), m_directoryFd(-1) {
    process_lock().lock();
    m_directoryFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_directoryFd >= 0) {
        while (flock(m_directoryFd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    const std::string aside = set_aside_name(m_name);
    if (std::rename(m_name.c_str(), aside.c_str()) == 0)
        m_setAside = aside;
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
    struct stat info;
    return lstat(m_name.c_str(), &info) == 0;
}

}  // namespace tqfio
