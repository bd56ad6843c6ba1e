// Runs a command and sends it a signal while it is provably in the middle of
// writing a file, however fast or slow the machine: the first thread of the
// command that is about to write to a file whose name begins with PREFIX is
// held there (traced, stopped before the write), the signal is sent, and the
// held thread stays stopped until the command has ended. The command's other
// threads run on; signals reach them as they would untraced.
//
//   signal_while_writing SIGNAL PREFIX COMMAND [ARGUMENT...]
//
// SIGNAL is a name (INT, SIGTERM) or a number. The exit status is the
// command's, or 128 + the signal that ended it; 125 when the command wrote
// no such file (it ran to its end unhindered) or could not be traced.
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

constexpr int kNotRun = 125;

int parseSignal(std::string name) {
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
        return std::atoi(name.c_str());
    if (name.rfind("SIG", 0) == 0)
        name.erase(0, 3);
    const struct {
        const char *name;
        int number;
    } known[] = {{"INT", SIGINT},   {"TERM", SIGTERM}, {"HUP", SIGHUP},   {"QUIT", SIGQUIT}, {"KILL", SIGKILL},
                 {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"PIPE", SIGPIPE}, {"ALRM", SIGALRM}};
    for (const auto &signal : known)
        if (name == signal.name)
            return signal.number;
    return 0;
}

// The descriptor a system call writes to, or -1 for a call that writes to none.
long writtenDescriptor(const __ptrace_syscall_info &call) {
    switch (call.entry.nr) {
    case SYS_write:
    case SYS_pwrite64:
    case SYS_writev:
    case SYS_pwritev:
#ifdef SYS_pwritev2
    case SYS_pwritev2:
#endif
    case SYS_sendfile:
    case SYS_fallocate:
    case SYS_ftruncate:
        return static_cast<long>(call.entry.args[0]);
    case SYS_copy_file_range:
    case SYS_splice:
        return static_cast<long>(call.entry.args[2]);
    default:
        return -1;
    }
}

// Whether the thread `tid` of `process` is stopped on entering a call that
// writes to a file whose name begins with `prefix`.
bool entersWriteTo(pid_t tid, pid_t process, const std::string &prefix) {
    __ptrace_syscall_info call;
    std::memset(&call, 0, sizeof call);
    if (ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof call, &call) <= 0 || call.op != PTRACE_SYSCALL_INFO_ENTRY)
        return false;
    const long fd = writtenDescriptor(call);
    if (fd < 0)
        return false;
    char target[4096];
    const std::string link = "/proc/" + std::to_string(process) + "/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return false;
    const std::string path(target, static_cast<size_t>(length));
    return path.compare(path.rfind('/') + 1, prefix.size(), prefix) == 0;
}

int exitStatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

int main(int argc, char **argv) {
    const int signal = argc >= 4 ? parseSignal(argv[1]) : 0;
    if (signal <= 0 || signal >= NSIG) {
        std::fprintf(stderr, "usage: signal_while_writing SIGNAL PREFIX COMMAND [ARGUMENT...]\n");
        return kNotRun;
    }
    const std::string prefix = argv[2];
    const pid_t command = fork();
    if (command < 0) {
        std::perror("signal_while_writing: fork");
        return kNotRun;
    }
    if (command == 0) {
        // The command takes the signal as a program started afresh would,
        // even where it was ignored or blocked here (nohup, a background job).
        std::signal(signal, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        sigprocmask(SIG_UNBLOCK, &only, nullptr);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            std::perror("signal_while_writing: PTRACE_TRACEME");
            _exit(kNotRun);
        }
        execvp(argv[3], argv + 3);
        std::fprintf(stderr, "signal_while_writing: cannot run %s: %s\n", argv[3], std::strerror(errno));
        _exit(kNotRun);
    }

    // The command stops at its start (after exec) or has already failed.
    int status = 0;
    while (waitpid(command, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFSTOPPED(status))
        return exitStatusOf(status);
    const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
    if (ptrace(PTRACE_SETOPTIONS, command, nullptr, options) != 0 ||
        ptrace(PTRACE_SYSCALL, command, nullptr, nullptr) != 0) {
        std::perror("signal_while_writing: cannot trace the command");
        kill(command, SIGKILL);
        return kNotRun;
    }

    std::set<pid_t> known = {command};  // threads seen stopped at least once
    pid_t held = 0;
    for (;;) {
        const pid_t tid = waitpid(-1, &status, __WALL);
        if (tid < 0) {
            if (errno == EINTR)
                continue;
            std::perror("signal_while_writing: waitpid");
            return kNotRun;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (tid != command)
                continue;  // one of its threads
            if (held == 0) {
                std::fprintf(stderr, "signal_while_writing: %s ended without writing a file named %s...\n", argv[3],
                             prefix.c_str());
                return kNotRun;
            }
            return exitStatusOf(status);
        }
        if (!WIFSTOPPED(status))
            continue;
        const int stop = WSTOPSIG(status);
        const bool firstStop = known.insert(tid).second;
        int deliver = 0;
        if (stop == (SIGTRAP | 0x80)) {
            if (held == 0 && entersWriteTo(tid, command, prefix)) {
                held = tid;  // left stopped before its write for as long as the command lives
                kill(command, signal);
                continue;
            }
        } else if (status >> 16 != 0) {
            // A thread started or a program executed: nothing to deliver.
        } else if (!(stop == SIGSTOP && firstStop)) {
            deliver = stop;  // a signal for the command (a new thread starts with a SIGSTOP of its own)
        }
        // Once the signal is sent, the other threads run untraced but for signals.
        ptrace(held != 0 ? PTRACE_CONT : PTRACE_SYSCALL, tid, nullptr,
               reinterpret_cast<void *>(static_cast<long>(deliver)));
    }
}
