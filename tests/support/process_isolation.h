// Running test code in a forked child with its own credentials, mounts or
// system call filter, so that faults root cannot otherwise meet (an
// unreadable file, a read-only directory, a full disk) reach it, while the
// test process keeps its working directory, credentials and mounts.
#ifndef TQF_TESTS_PROCESS_ISOLATION_H
#define TQF_TESTS_PROCESS_ISOLATION_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tqftest {

struct ChildOutcome {
    bool exited = false;  // ended through exit, not a signal or the deadline
    int exitCode = -1;
    int signal = 0;         // the signal that ended it, 0 if none
    bool timedOut = false;  // killed at the deadline
    double seconds = 0;     // how long it ran
    std::string report;     // what the body returned
    // True when the child ended normally with status 0.
    bool ok() const { return exited && exitCode == 0; }
    std::string describe() const;
};

// Runs `body` in a forked child and returns what it returned. The report
// travels through shared memory, so it arrives also from a child that can
// no longer write files or make pipes. A body that throws exits with status 1
// and the exception's text as its report; a child still running after
// `timeoutSeconds` is killed. The bound only catches a hang: children take
// seconds, a minute under valgrind on a busy machine.
ChildOutcome runInChild(const std::function<std::string()> &body, double timeoutSeconds = 600);

// The functions below are for use in a child: each returns an empty string
// on success and otherwise says what failed.

// Gives up root: no supplementary groups, then group and user 65534, so that
// file permissions bind. A process that is not root keeps its identity.
std::string dropPrivileges();

// Moves the process into a mount namespace of its own (through a user
// namespace when it is not root) whose mounts do not propagate back.
std::string enterPrivateMountNamespace();

// Mounts a tmpfs of `bytes` bytes at `directory`. `options` are added to
// the mount data (e.g. "nr_inodes=4").
std::string mountTmpfs(const std::string &directory, size_t bytes, bool readOnly = false,
                       const std::string &options = "");
std::string remountReadOnly(const std::string &directory);

// Writes the file `path` until its file system has not a byte left.
std::string fillDisk(const std::string &path);

// From now on, in this process and the programs it executes, a write that
// would make a regular file longer than `bytes` fails (with EFBIG, "File too
// large"), as on a disk with no room left: the full-disk stand-in for
// machines that allow no mount namespace. Pipes and terminals are not
// limited, so the sanitizers' own checks keep working.
std::string limitFileSize(size_t bytes);

// Whether a child can make a private mount namespace and mount a tmpfs in
// it here; `why` receives the reason when not. Probed once per process.
bool mountNamespacesAvailable(std::string *why = nullptr);

struct ProgramOutcome {
    int status = -1;  // exit status, -1 when killed or not run
    bool timedOut = false;
    std::string output;  // standard output and error together
};

// Runs a program (argv[0] is its path) with standard input from /dev/null,
// killing it after `timeoutSeconds`. `beforeExec` runs in the child first;
// when it returns a reason, the program is not run and the status is 126.
ProgramOutcome runProgram(const std::vector<std::string> &argv, double timeoutSeconds,
                          const std::function<std::string()> &beforeExec = {});

}  // namespace tqftest

#endif  // TQF_TESTS_PROCESS_ISOLATION_H
