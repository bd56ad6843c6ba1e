#include "interruption.h"

#include "sibling_temp_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace tqf::convert {

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler, read by the thread that cleans up.
int g_wakeUp[2] = {-1, -1};

// Runs on whichever thread the kernel picks, which may be one a library
// started before main (OpenBLAS starts its workers at load time), so it only
// passes the signal on: write() is safe in a handler, the cleanup is not.
void passOn(int signal) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    ssize_t written;
    do {
        written = write(g_wakeUp[1], &number, 1);
    } while (written < 0 && errno == EINTR);
    errno = savedErrno;
}

}  // namespace

void removeTemporariesOnInterrupt() {
    if (g_wakeUp[0] >= 0 || pipe2(g_wakeUp, O_CLOEXEC) != 0)
        return;
    std::thread([] {
        unsigned char signal = 0;
        ssize_t got;
        do {
            got = read(g_wakeUp[0], &signal, 1);
        } while (got < 0 && errno == EINTR);
        if (got != 1)
            return;
        io::removeUncommittedTemporaries();
        // A progress line may be standing on the terminal without its end.
        std::fprintf(stderr, "%stqf-convert: interrupted; no slide was written\n", isatty(STDERR_FILENO) ? "\n" : "");
        _exit(128 + signal);
    }).detach();

    struct sigaction action = {};
    action.sa_handler = passOn;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        sigaddset(&action.sa_mask, signal);
    for (int signal : kSignals) {
        // A signal the caller set to be ignored (nohup, a background job of
        // a non-interactive shell) stays ignored, as in every Unix tool.
        struct sigaction previous = {};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace tqf::convert
