#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "process_facts.h"
#include "watch.h"

// A worker left behind sleeps in one call, and may sleep there until a
// user lets go: what it holds meanwhile must be that call's alone, not the
// run's directories, /proc or the mount tables (a file system that could
// then not be unmounted). Its descriptor table is shared by a thread of
// its own, which empties it at the parent's word; the call in progress
// keeps what it uses, and nothing else is held. Every lookup stays a
// direct call in the worker: nothing is handed to another process on the
// way.
enum { SHED_WAIT_MS = 100 };
enum { SHEDDER_STACK = 64 * 1024 };

static void *shedder(void *arg)
{
    struct watch_page *page = (struct watch_page *)arg;
    sigset_t word;
    sigemptyset(&word);
    sigaddset(&word, SHED_SIGNAL);
    int sig = 0;
    while (sigwait(&word, &sig) != 0) {
    }
    static const int STD_FDS[] = {0, 1, 2};
    close_all_but(STD_FDS, 3);
    __atomic_store_n(&page->shed_done, 1, __ATOMIC_RELEASE);
    for (;;)
        pause();
    return nullptr;
}

int watch_shedder_start(void)
{
    // the word is for the shedder alone: the scan's thread never takes it
    sigset_t word;
    sigemptyset(&word);
    sigaddset(&word, SHED_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &word, nullptr);
    pthread_attr_t attr;
    pthread_t thread;
    if (pthread_attr_init(&attr) != 0)
        return -1;
    pthread_attr_setstacksize(&attr, SHEDDER_STACK);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int failed = pthread_create(&thread, &attr, shedder, watch);
    pthread_attr_destroy(&attr);
    return failed != 0 ? -1 : 0;
}

void watch_shed(pid_t worker)
{
    struct watch_page *page = watch;
    if (kill(worker, SHED_SIGNAL) != 0)
        return;
    for (int waited = 0; waited < SHED_WAIT_MS; waited++) {
        if (__atomic_load_n(&page->shed_done, __ATOMIC_ACQUIRE) != 0)
            return;
        struct timespec t = {0, 1000000L};
        nanosleep(&t, nullptr);
    }
}
