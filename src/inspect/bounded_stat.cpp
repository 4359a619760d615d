#include "bounded_stat.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <new>
#include <string>
#include <vector>

// What the scan and one helper thread share. The scan hands over a batch of
// paths and sleeps until all are answered, or until the lookup in progress
// has run past the bound. A helper that overran is abandoned: from then on
// the block is the helper's alone, and it frees it itself should its call
// ever return. So nothing ever waits for a stuck helper, and the process can
// exit while one is blocked in the kernel.
struct lookup_slot {
    pthread_mutex_t lock;
    pthread_cond_t asked;     // a batch is pending
    pthread_cond_t answered;  // the whole batch is answered
    bool pending = false;
    bool abandoned = false;
    stat_call call = nullptr;
    std::string paths;  // the batch, each path ended by a NUL
    std::vector<struct file_id> ids;
    size_t answered_count = 0;
    struct timespec started = {0, 0};  // when the lookup in progress began
};

// The helper for the next batch; none before the first, or after one was
// abandoned.
static struct lookup_slot *helper;

static struct file_id ask(stat_call call, const char *path)
{
    struct stat sb;
    struct file_id id = {0, 0, 0};
    if (call(path, &sb) != 0) {
        id.error = errno;
    } else {
        id.dev = (uint64_t)sb.st_dev;
        id.ino = (uint64_t)sb.st_ino;
    }
    return id;
}

static void destroy_slot(struct lookup_slot *slot)
{
    pthread_cond_destroy(&slot->asked);
    pthread_cond_destroy(&slot->answered);
    pthread_mutex_destroy(&slot->lock);
    delete slot;
}

static void *serve(void *arg)
{
    struct lookup_slot *slot = (struct lookup_slot *)arg;
    pthread_mutex_lock(&slot->lock);
    for (;;) {
        while (!slot->pending)
            pthread_cond_wait(&slot->asked, &slot->lock);
        slot->pending = false;
        const char *path = slot->paths.data();
        for (size_t i = 0; i < slot->ids.size() && !slot->abandoned; i++) {
            clock_gettime(CLOCK_MONOTONIC, &slot->started);
            // the batch is the helper's until it is answered: no lock for the call
            pthread_mutex_unlock(&slot->lock);
            struct file_id id = ask(slot->call, path);
            pthread_mutex_lock(&slot->lock);
            slot->ids[i] = id;
            slot->answered_count = i + 1;
            path += strlen(path) + 1;
        }
        if (slot->abandoned)
            break;
        pthread_cond_signal(&slot->answered);
    }
    pthread_mutex_unlock(&slot->lock);
    destroy_slot(slot);
    return nullptr;
}

static int init_sync(struct lookup_slot *slot)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return -1;
    // deadlines on the monotonic clock: setting the time moves no bound
    int failed = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
                 pthread_mutex_init(&slot->lock, nullptr) != 0;
    if (!failed && pthread_cond_init(&slot->asked, &attr) != 0) {
        pthread_mutex_destroy(&slot->lock);
        failed = 1;
    }
    if (!failed && pthread_cond_init(&slot->answered, &attr) != 0) {
        pthread_cond_destroy(&slot->asked);
        pthread_mutex_destroy(&slot->lock);
        failed = 1;
    }
    pthread_condattr_destroy(&attr);
    return failed ? -1 : 0;
}

// A detached helper that takes no signals: they stay the main thread's, as
// in a run without one.
static struct lookup_slot *start_helper(void)
{
    struct lookup_slot *slot = new (std::nothrow) lookup_slot;
    if (slot == nullptr)
        return nullptr;
    if (init_sync(slot) != 0) {
        delete slot;
        return nullptr;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        destroy_slot(slot);
        return nullptr;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    int error = pthread_create(&thread, &attr, serve, slot);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        destroy_slot(slot);
        return nullptr;
    }
    return slot;
}

static struct timespec after_ms(struct timespec t, int ms)
{
    t.tv_sec += ms / 1000;
    t.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

static bool passed(const struct timespec *deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline->tv_sec ||
           (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec);
}

size_t bounded_stats(stat_call call, const char *const *paths, size_t count, struct file_id *ids,
                     int bound_ms)
{
    if (count == 0)
        return 0;
    if (helper == nullptr)
        helper = start_helper();
    if (helper == nullptr) {
        // no thread to be had: asked directly, unbounded, rather than not at all
        for (size_t i = 0; i < count; i++)
            ids[i] = ask(call, paths[i]);
        return count;
    }
    struct lookup_slot *slot = helper;
    pthread_mutex_lock(&slot->lock);
    slot->call = call;
    slot->paths.clear();
    for (size_t i = 0; i < count; i++)
        slot->paths.append(paths[i], strlen(paths[i]) + 1);
    slot->ids.assign(count, file_id{0, 0, 0});
    slot->answered_count = 0;
    clock_gettime(CLOCK_MONOTONIC, &slot->started);
    slot->pending = true;
    pthread_cond_signal(&slot->asked);
    // one wake-up per batch; the bound runs from the start of each lookup
    while (slot->answered_count < count) {
        struct timespec deadline = after_ms(slot->started, bound_ms);
        if (passed(&deadline))
            break;
        pthread_cond_timedwait(&slot->answered, &slot->lock, &deadline);
    }
    size_t answered = slot->answered_count;
    for (size_t i = 0; i < answered; i++)
        ids[i] = slot->ids[i];
    if (answered < count) {
        slot->abandoned = true;
        helper = nullptr;
    }
    pthread_mutex_unlock(&slot->lock);
    return answered;
}
