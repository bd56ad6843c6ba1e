#include "fuzz_workspace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

}  // namespace tqf::fuzz
