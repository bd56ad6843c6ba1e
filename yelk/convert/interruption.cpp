#include "interruption.h"

#include "sibling_temp_file.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace tqf::convert {

void removeTemporariesOnInterrupt()
{
    // The signals are blocked in every thread and taken by one that waits for
    // them, so the cleanup runs as ordinary code rather than in a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0)
        return;
    std::thread([signals] {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            return;
        io::removeUncommittedTemporaries();
        std::fprintf(stderr, "tqf-convert: interrupted; no slide was written\n");
        _exit(128 + signal);
    }).detach();
}

}  // namespace tqf::convert
