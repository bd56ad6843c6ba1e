/*
 * Preloaded into tqf-convert by the interruption tests: starts a thread
 * when it is loaded, before main, as OpenBLAS does, with every signal
 * unblocked, so that a signal sent to the process may land on it.
 */
#include <pthread.h>
#include <unistd.h>

static void *idle(void *unused) {
    (void)unused;
    for (;;)
        pause();
    return NULL;
}

__attribute__((constructor)) static void start_thread(void) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, idle, NULL) == 0)
        pthread_detach(thread);
}
