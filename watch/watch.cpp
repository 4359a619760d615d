#include "watch.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "mounts.h"

int watch_bound_ms = LOOKUP_BOUND_SECONDS * 1000;

static struct watch_page private_page;
struct watch_page *watch = &private_page;

// The frame of the process being judged.
static uint64_t frame_key;
static char frame_prefix[WATCH_PATH_SIZE];
static size_t frame_prefix_len;

// What the run has learnt of stalls, kept by the parent; a worker inherits
// it at its fork. A stall is the device's, whatever mount or namespace
// reached it; only one whose file system could not be told is its path's.
static std::unordered_set<uint64_t> stalled_devices;
static std::vector<std::string> stalled_paths;

int watch_share(void)
{
    void *page = mmap(nullptr, sizeof *watch, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                      -1, 0);
    if (page == MAP_FAILED)
        return -1;
    memcpy(page, watch, sizeof *watch);
    if (watch != &private_page)
        munmap(watch, sizeof *watch);
    watch = (struct watch_page *)page;
    return 0;
}

// The parent reads the page while the worker writes it: the sequence number
// is stored last, after what it announces.
static void bump(void)
{
    __atomic_store_n(&watch->seq, watch->seq + 1, __ATOMIC_RELEASE);
}

void watch_process(uint32_t index, pid_t pid)
{
    watch->index = index;
    watch->pid = pid;
    watch->waiting = WAIT_PROCESS;
    watch->name[0] = '\0';
    frame_key = 0;
    frame_prefix_len = 0;
    bump();
}

void watch_process_name(const char *name)
{
    size_t len = strnlen(name, sizeof watch->name - 1);
    memcpy(watch->name, name, len);
    watch->name[len] = '\0';
}

void watch_frame(uint64_t key, const char *prefix)
{
    size_t len = strlen(prefix);
    if (len >= sizeof frame_prefix)
        len = 0;
    frame_key = len == 0 ? 0 : key;
    memcpy(frame_prefix, prefix, len);
    frame_prefix[len] = '\0';
    frame_prefix_len = len;
}

// Where path lies: in the frame of the process (under its prefix), or in
// ours. Returns the path as the process names it.
static const char *frame_of(const char *path, uint64_t *frame)
{
    if (frame_prefix_len != 0 && strncmp(path, frame_prefix, frame_prefix_len) == 0 &&
        (path[frame_prefix_len] == '/' || path[frame_prefix_len] == '\0')) {
        *frame = frame_key;
        return path[frame_prefix_len] == '\0' ? "/" : path + frame_prefix_len;
    }
    *frame = 0;
    return path;
}

void watch_lookup_begin(const char *path, int wait_class, uint64_t dev)
{
    uint64_t frame;
    const char *shown = frame_of(path, &frame);
    size_t len = strnlen(path, sizeof watch->looked - 1);
    memcpy(watch->looked, path, len);
    watch->looked[len] = '\0';
    watch->shown_at = (uint32_t)(shown - path);
    if (watch->shown_at > len)
        watch->shown_at = 0;
    watch->frame = frame;
    watch->wait_class = wait_class;
    watch->wait_dev = dev;
    watch->waiting = WAIT_LOOKUP;
    bump();
}

void watch_lookup_end(void)
{
    watch->waiting = WAIT_PROCESS;
    bump();
}

// Whether the run has met a file system that can stall: from then on every
// lookup is placed in the mount table as it is now, since a user may mount
// another one, or another way to one, while the run goes on. Before, the
// table as last read places it, and a stall is placed again afresh.
static int troubled(void)
{
    return !stalled_devices.empty() || !stalled_paths.empty() || watch->recorded_count != 0 ||
           watch->budget_used_ms != 0;
}

static int classify(const char *path, int fresh, uint64_t *dev)
{
    uint64_t frame;
    const char *name = frame_of(path, &frame);
    struct mount_info info;
    if (mount_of(frame, watch->pid, name, fresh, &info) != 0) {
        *dev = NO_DEVICE;
        return CLASS_LOCAL;
    }
    *dev = info.dev;
    return may_stall(info.type) ? CLASS_STALLS : CLASS_LOCAL;
}

int watch_classify(const char *path, uint64_t *dev)
{
    return classify(path, troubled(), dev);
}

int watch_classify_afresh(const char *path, uint64_t *dev)
{
    return classify(path, 1, dev);
}

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static long long call_start;

int watch_call_begin(const char *path, uint64_t dev)
{
    uint64_t frame;
    frame_of(path, &frame);
    struct mount_info info;
    int wait_class = CLASS_LOCAL;
    if (mount_by_dev(frame, watch->pid, dev, troubled(), &info) == 0 && may_stall(info.type))
        wait_class = CLASS_STALLS;
    if (watch_refuses(path, wait_class, dev)) {
        errno = ETIMEDOUT;
        return -1;
    }
    watch_lookup_begin(path, wait_class, dev);
    call_start = now_ms();
    return wait_class;
}

void watch_call_end(int wait_class)
{
    if (wait_class == CLASS_STALLS)
        watch_charge(now_ms() - call_start);
    watch_lookup_end();
}

static int recorded_index(uint64_t dev)
{
    for (uint32_t i = 0; i < watch->recorded_count; i++) {
        if (watch->recorded_dev[i] == dev)
            return (int)i;
    }
    return -1;
}

int watch_refuses(const char *path, int wait_class, uint64_t dev)
{
    if (wait_class != CLASS_UNKNOWN && dev != NO_DEVICE) {
        if (stalled_devices.count(dev) != 0)
            return 1;
        int recorded = recorded_index(dev);
        if (recorded >= 0) {
            watch->recorded_refused[recorded] = 1;
            return 1;
        }
    }
    if (wait_class != CLASS_LOCAL && watch_budget_spent())
        return 1;
    for (const std::string &stalled : stalled_paths) {
        if (stalled == path)
            return 1;
    }
    return 0;
}

void watch_charge(int64_t ms)
{
    watch->budget_used_ms += ms;
}

int watch_budget_spent(void)
{
    return watch->budget_used_ms >= (int64_t)BUDGET_BOUNDS * watch_bound_ms;
}

// The kernel marks the name of a file with no link left; the process names
// the file without it.
static void without_deleted_marker(char *name)
{
    static const char MARKER[] = " (deleted)";
    size_t len = strlen(name), mlen = sizeof MARKER - 1;
    if (len > mlen && strcmp(name + len - mlen, MARKER) == 0)
        name[len - mlen] = '\0';
}

void watch_record_stall(char *shown, size_t size)
{
    snprintf(shown, size, "%s", watch->looked + watch->shown_at);
    without_deleted_marker(shown);
    // placed again in the table as it is now: a mount made since the worker
    // last read it is where the lookup waited, not the one below
    if (watch->wait_class == CLASS_LOCAL) {
        uint64_t dev = NO_DEVICE;
        struct mount_info info;
        if (mount_of(watch->frame, watch->pid, watch->looked + watch->shown_at, 1, &info) == 0) {
            dev = info.dev;
            if (may_stall(info.type))
                watch->wait_class = CLASS_STALLS;
        }
        watch->wait_dev = dev;
    }
    if (watch->wait_class == CLASS_UNKNOWN || watch->wait_dev == NO_DEVICE)
        stalled_paths.push_back(watch->looked);
    else
        stalled_devices.insert(watch->wait_dev);
}

void watch_recorded(uint64_t dev, pid_t pid)
{
    if (watch->recorded_count >= WATCH_RECORDED_MAX || recorded_index(dev) >= 0)
        return;
    watch->recorded_dev[watch->recorded_count] = dev;
    watch->recorded_pid[watch->recorded_count] = pid;
    watch->recorded_refused[watch->recorded_count] = 0;
    watch->recorded_count++;
}
