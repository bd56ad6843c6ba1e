#include "process_isolation.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tqftest {

namespace {

constexpr size_t kReportCapacity = 1 << 20;
constexpr uid_t kNobody = 65534;

std::string errorText(const std::string &what) { return what + ": " + std::strerror(errno); }

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Waits for the child until the deadline, then kills it. Returns the wait status.
int waitWithDeadline(pid_t pid, std::chrono::steady_clock::time_point deadline, bool &timedOut) {
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return status;
        if (std::chrono::steady_clock::now() >= deadline) {
            timedOut = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return status;
        }
        usleep(2000);
    }
}

bool writeText(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

}  // namespace

std::string ChildOutcome::describe() const {
    std::string text;
    if (timedOut)
        text = "killed after " + std::to_string(seconds) + " s";
    else if (exited)
        text = "exit status " + std::to_string(exitCode);
    else
        text = "ended by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    return text + "; report: " + report;
}

ChildOutcome runInChild(const std::function<std::string()> &body, double timeoutSeconds) {
    ChildOutcome outcome;
    void *shared = mmap(nullptr, kReportCapacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        outcome.report = errorText("cannot map the report memory");
        return outcome;
    }
    auto *length = static_cast<size_t *>(shared);
    char *text = static_cast<char *>(shared) + sizeof(size_t);
    *length = 0;
    std::fflush(stdout);
    std::fflush(stderr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        outcome.report = errorText("cannot fork");
        munmap(shared, kReportCapacity);
        return outcome;
    }
    if (pid == 0) {
        int code = 0;
        std::string report;
        try {
            report = body();
        } catch (const std::exception &e) {
            report = std::string("exception: ") + e.what();
            code = 1;
        } catch (...) {
            report = "unknown exception";
            code = 1;
        }
        const size_t size = std::min(report.size(), kReportCapacity - sizeof(size_t));
        std::memcpy(text, report.data(), size);
        *length = size;
        _exit(code);  // no exit handlers: they belong to the test process
    }
    const int status = waitWithDeadline(pid,
                                        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                    std::chrono::duration<double>(timeoutSeconds)),
                                        outcome.timedOut);
    outcome.seconds = secondsSince(start);
    outcome.exited = !outcome.timedOut && WIFEXITED(status);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    outcome.report.assign(text, std::min(*length, kReportCapacity - sizeof(size_t)));
    munmap(shared, kReportCapacity);
    return outcome;
}

std::string dropPrivileges() {
    if (geteuid() != 0)
        return {};
    if (setgroups(0, nullptr) != 0)
        return errorText("cannot drop the supplementary groups");
    if (setresgid(kNobody, kNobody, kNobody) != 0)
        return errorText("cannot change the group");
    if (setresuid(kNobody, kNobody, kNobody) != 0)
        return errorText("cannot change the user");
    if (geteuid() != kNobody || getegid() != kNobody)
        return "the user and group did not change";
    return {};
}

std::string enterPrivateMountNamespace() {
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            return errorText("unshare(CLONE_NEWNS)");
    } else {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return errorText("unshare(CLONE_NEWUSER | CLONE_NEWNS)");
        if (!writeText("/proc/self/setgroups", "deny") ||
            !writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return errorText("cannot map the user into the new namespace");
    }
    // The source and type are not used for these changes; named rather than
    // null, so that valgrind's memcheck accepts the call.
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
        return errorText("cannot make the mounts private");
    return {};
}

std::string mountTmpfs(const std::string &directory, size_t bytes, bool readOnly, const std::string &options) {
    std::string data = "size=" + std::to_string(bytes) + ",mode=0755";
    if (!options.empty())
        data += "," + options;
    const unsigned long flags = MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    if (mount("tmpfs", directory.c_str(), "tmpfs", flags, data.c_str()) != 0)
        return errorText("cannot mount a tmpfs on " + directory);
    return {};
}

std::string remountReadOnly(const std::string &directory) {
    if (mount("none", directory.c_str(), "none", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) != 0)
        return errorText("cannot remount " + directory + " read-only");
    return {};
}

std::string fillDisk(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return errorText("cannot make " + path);
    const std::vector<char> block(4096, 'f');
    // Whole pages first, then byte by byte into the last page.
    for (size_t size : {block.size(), size_t(1)}) {
        ssize_t put;
        while ((put = write(fd, block.data(), size)) > 0) {
        }
        if (put < 0 && errno != ENOSPC) {
            const std::string problem = errorText("cannot fill " + path);
            close(fd);
            return problem;
        }
    }
    close(fd);
    return {};
}

std::string limitFileSize(size_t bytes) {
    // Ignored, the signal leaves the write to fail with EFBIG; the
    // disposition also holds in programs executed later.
    if (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR)
        return errorText("cannot ignore SIGXFSZ");
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return errorText("cannot read the file size limit");
    limit.rlim_cur = bytes;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return errorText("cannot limit the file size");
    return {};
}

bool mountNamespacesAvailable(std::string *why) {
    static int available = -1;
    static std::string reason;
    if (available < 0) {
        char pattern[] = "/tmp/tqf-mount-probe-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            reason = errorText("cannot make a directory to mount on");
            available = 0;
        } else {
            const std::string directory = pattern;
            const ChildOutcome probe = runInChild([&] {
                std::string problem = enterPrivateMountNamespace();
                if (problem.empty())
                    problem = mountTmpfs(directory, 64 * 1024);
                return problem;
            });
            rmdir(directory.c_str());
            available = probe.ok() && probe.report.empty();
            reason = probe.ok() ? probe.report : probe.describe();
        }
    }
    if (why)
        *why = reason;
    return available == 1;
}

ProgramOutcome runProgram(const std::vector<std::string> &argv, double timeoutSeconds,
                          const std::function<std::string()> &beforeExec) {
    ProgramOutcome outcome;
    int pipeFds[2];
    if (argv.empty() || pipe2(pipeFds, O_CLOEXEC) != 0)
        return outcome;
    std::fflush(stdout);
    std::fflush(stderr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return outcome;
    }
    if (pid == 0) {
        const int input = open("/dev/null", O_RDONLY);
        if (input >= 0)
            dup2(input, STDIN_FILENO);
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        if (beforeExec) {
            const std::string problem = beforeExec();
            if (!problem.empty()) {
                const std::string line = "before exec: " + problem + "\n";
                (void)!write(STDERR_FILENO, line.data(), line.size());
                _exit(126);
            }
        }
        std::vector<char *> arguments;
        for (const std::string &argument : argv)
            arguments.push_back(const_cast<char *>(argument.c_str()));
        arguments.push_back(nullptr);
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    close(pipeFds[1]);
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd ready = {pipeFds[0], POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            break;
        char chunk[4096];
        const ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // every writer closed: the program ended
        outcome.output.append(chunk, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
    const int status = waitWithDeadline(pid, deadline, outcome.timedOut);
    outcome.status = !outcome.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

}  // namespace tqftest
