#include "fuzz_workspace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tqf::fuzz {

namespace {

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "fuzz workspace: %s: %s\n", what.c_str(), std::strerror(errno));
    std::abort();
}

std::string baseDirectory()
{
    const char *chosen = std::getenv("TQF_FUZZ_TMPDIR");
    if (chosen != nullptr && *chosen != '\0')
        return chosen;
    struct stat info;
    if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return "/tmp";
}

void removeWorkspace()
{
    clearWorkspace();
    // Leave the directory before removing it, so the removal cannot fail
    // because the process still works in it.
    if (chdir("/") == 0)
        rmdir(workspace().c_str());
}

std::string makeWorkspace()
{
    std::string pattern = baseDirectory() + "/tqf-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        fail("cannot make a directory from " + pattern);
    std::atexit(removeWorkspace);
    return buffer.data();
}

}  // namespace

const std::string &workspace()
{
    // Never destroyed: the exit handler that removes the directory runs
    // after static destructors of objects made later than it was registered.
    static const std::string *path = new std::string(makeWorkspace());
    return *path;
}

std::string writeWorkspaceFile(const std::string &name, const uint8_t *data, size_t size)
{
    const std::string path = workspace() + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot create " + path);
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            fail("cannot write " + path);
        data += put;
        size -= static_cast<size_t>(put);
    }
    if (close(fd) != 0)
        fail("cannot close " + path);
    return path;
}

void enterWorkspace()
{
    if (chdir(workspace().c_str()) != 0)
        fail("cannot enter " + workspace());
}

void clearWorkspace()
{
    DIR *dir = opendir(workspace().c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    for (const std::string &name : names)
        unlink((workspace() + "/" + name).c_str());
}

namespace {

int g_temporaryWatch = -1;
std::string *g_temporaryDirectory = nullptr;

void removeTemporaryDirectory()
{
    rmdir(g_temporaryDirectory->c_str());
}

}  // namespace

void watchTemporaryFiles()
{
    if (g_temporaryDirectory != nullptr)
        return;
    std::string pattern = baseDirectory() + "/tqf-fuzz-tmp-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        fail("cannot make a directory from " + pattern);
    g_temporaryDirectory = new std::string(buffer.data());
    std::atexit(removeTemporaryDirectory);
    setenv("OPENCV_TEMP_PATH", g_temporaryDirectory->c_str(), 1);
    setenv("TMPDIR", g_temporaryDirectory->c_str(), 1);
    g_temporaryWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_temporaryWatch < 0 ||
        inotify_add_watch(g_temporaryWatch, g_temporaryDirectory->c_str(), IN_CREATE | IN_MOVED_TO) < 0)
        fail("cannot watch " + *g_temporaryDirectory);
}

bool temporaryFileWritten()
{
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
