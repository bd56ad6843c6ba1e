#include "fuzz_workspace.h"

#include "positioned_io.h"
#include "private_directory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <sstream>
#include <sys/mman.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <stdexcept>
#include <unistd.h>

namespace tqf::fuzz {

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "fuzz workspace: %s: %s\n", what.c_str(), std::strerror(errno));
    std::abort();
}

std::string baseDirectory() {
    const char *chosen = std::getenv("TQF_FUZZ_TMPDIR");
    if (chosen != nullptr && *chosen != '\0')
        return chosen;
    struct stat info;
    if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return "/tmp";
}

// A directory for the life of the process, removed by an exit handler. Never
// destroyed otherwise: the exit handler runs after static destructors of
// objects made later than it was registered.
io::PrivateDirectory *makeDirectory(const char *prefix, void (*remove)()) {
    try {
        auto *directory = new io::PrivateDirectory(prefix, baseDirectory());
        std::atexit(remove);
        return directory;
    } catch (const std::runtime_error &e) {
        std::fprintf(stderr, "fuzz workspace: %s\n", e.what());
        std::abort();
    }
}

io::PrivateDirectory *g_workspace = nullptr;

void removeWorkspace() {
    // Leave the directory before removing it, so the removal cannot fail
    // because the process still works in it.
    if (chdir("/") == 0) {
        delete g_workspace;
        g_workspace = nullptr;
    }
}

io::PrivateDirectory &workspaceDirectory() {
    if (g_workspace == nullptr)
        g_workspace = makeDirectory("tqf-fuzz-", removeWorkspace);
    return *g_workspace;
}

}  // namespace

const std::string &workspace() { return workspaceDirectory().path(); }

std::string writeWorkspaceFile(const std::string &name, const uint8_t *data, size_t size) {
    const std::string path = workspaceDirectory().file(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create " + path);
    const bool written = io::writeFully(fd, data, size);
    if (close(fd) != 0 || !written)
        fail("cannot write " + path);
    return path;
}

namespace {

struct MemoryFile {
    int fd = -1;
    std::string path;
};

}  // namespace

const std::string &memoryFile(const std::string &name, const uint8_t *data, size_t size) {
    // Never destroyed: the descriptors close with the process.
    static auto *files = new std::map<std::string, MemoryFile>;
    MemoryFile &file = (*files)[name];
    if (file.fd < 0) {
        file.fd = memfd_create(name.c_str(), MFD_CLOEXEC);
        if (file.fd < 0)
            fail("cannot make a memory file for " + name);
        file.path = workspaceDirectory().file(name);
        unlink(file.path.c_str());
        if (symlink(("/proc/self/fd/" + std::to_string(file.fd)).c_str(), file.path.c_str()) != 0)
            fail("cannot link " + file.path);
    }
    // Resized first, so the old contents' pages are rewritten in place.
    if (ftruncate(file.fd, static_cast<off_t>(size)) != 0 || !io::writeFullyAt(file.fd, data, size, 0))
        fail("cannot fill the memory file " + file.path);
    return file.path;
}

namespace {

std::stringbuf *g_diagnostics = nullptr;

}  // namespace

void bufferDiagnostics() {
    if (g_diagnostics != nullptr)
        return;
    g_diagnostics = new std::stringbuf;  // never destroyed: std::cerr keeps pointing at it
    std::cerr.rdbuf(g_diagnostics);
}

void flushDiagnostics() {
    if (g_diagnostics == nullptr)
        return;
    const std::string text = g_diagnostics->str();
    if (!text.empty()) {
        [[maybe_unused]] const bool written = io::writeFully(STDERR_FILENO, text.data(), text.size());
        g_diagnostics->str(std::string());
    }
}

void enterWorkspace() {
    if (chdir(workspace().c_str()) != 0)
        fail("cannot enter " + workspace());
}

void clearWorkspace() { workspaceDirectory().clear(); }

namespace {

int g_temporaryWatch = -1;
io::PrivateDirectory *g_temporaryDirectory = nullptr;

void removeTemporaryDirectory() {
    delete g_temporaryDirectory;
    g_temporaryDirectory = nullptr;
}

}  // namespace

void watchTemporaryFiles() {
    if (g_temporaryDirectory != nullptr)
        return;
    g_temporaryDirectory = makeDirectory("tqf-fuzz-tmp-", removeTemporaryDirectory);
    const std::string &path = g_temporaryDirectory->path();
    setenv("OPENCV_TEMP_PATH", path.c_str(), 1);
    setenv("TMPDIR", path.c_str(), 1);
    g_temporaryWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_temporaryWatch < 0 || inotify_add_watch(g_temporaryWatch, path.c_str(), IN_CREATE | IN_MOVED_TO) < 0)
        fail("cannot watch " + path);
}

bool temporaryFileWritten() {
    if (g_temporaryWatch < 0)
        return false;
    alignas(inotify_event) char events[4096];
    bool written = false;
    ssize_t got;
    while ((got = read(g_temporaryWatch, events, sizeof events)) > 0) {
        for (char *p = events; p < events + got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            // The slide API's own private directory for associated images,
            // the one place a read may write (as the reader's scratch files).
            if (event->len == 0 || std::strncmp(event->name, "tqf-associated-", 15) != 0)
                written = true;
            p += sizeof(inotify_event) + event->len;
        }
    }
    return written;
}

}  // namespace tqf::fuzz
