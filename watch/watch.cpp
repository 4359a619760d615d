#include "watch.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#include "mounts.h"

int watch_bound_ms = LOOKUP_BOUND_SECONDS * 1000;

static struct watch_page private_page;
struct watch_page *watch = &private_page;

// The frame of the process being judged.
static uint64_t frame_key;
static char frame_prefix[WATCH_PATH_SIZE];
static size_t frame_prefix_len;

struct watch_page *watch_page_map(void)
{
    void *page = mmap(nullptr, sizeof *watch, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                      -1, 0);
    return page == MAP_FAILED ? nullptr : (struct watch_page *)page;
}

void watch_page_unmap(struct watch_page *page)
{
    if (page != nullptr && page != &private_page)
        munmap(page, sizeof *page);
}

void watch_use(struct watch_page *page)
{
    memcpy(page, watch, sizeof *watch);
    watch_page_unmap(watch);
    watch = page;
}

int watch_share(void)
{
    struct watch_page *page = watch_page_map();
    if (page == nullptr)
        return -1;
    watch_use(page);
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
    watch_shares_next();
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

void watch_lookup_begin(const char *path, int wait_class, uint64_t dev, uint64_t ino)
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
    watch->wait_ino = ino;
    if (wait_class != CLASS_LOCAL)
        watch->met_may_stall = 1;
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
    return watch->stalled_count != 0 || watch->recorded_count != 0 || watch->met_may_stall;
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

int watch_classify_dev(const char *path, uint64_t dev)
{
    uint64_t frame;
    frame_of(path, &frame);
    struct mount_info info;
    // a device the table as last read lacks was mounted since
    int fresh = troubled();
    if (mount_by_dev(frame, watch->pid, dev, fresh, &info) != 0 &&
        (fresh || mount_by_dev(frame, watch->pid, dev, 1, &info) != 0))
        return CLASS_LOCAL;
    return may_stall(info.type) ? CLASS_STALLS : CLASS_LOCAL;
}

static long long now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

// FNV-1a: a path that could not be placed is known by this alone.
static uint64_t path_hash(const char *path)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (const unsigned char *p = (const unsigned char *)path; *p != '\0'; p++)
        h = (h ^ *p) * 0x100000001b3ULL;
    return h;
}

static struct stall_key key_of(const char *path, int wait_class, uint64_t dev, uint64_t ino)
{
    if (dev != NO_DEVICE && wait_class == CLASS_STALLS)
        return {dev, 0};
    if (dev != NO_DEVICE && wait_class == CLASS_LOCAL && ino != 0)
        return {dev, ino};
    return {NO_DEVICE, path_hash(path)};
}

static int key_index(const struct stall_key *keys, uint32_t count, struct stall_key key)
{
    for (uint32_t i = 0; i < count; i++) {
        if (keys[i].dev == key.dev && keys[i].ino == key.ino)
            return (int)i;
    }
    return -1;
}

static struct watch_clock call_start;

struct watch_clock watch_clock_start(void)
{
    return {now_us(), __atomic_load_n(&watch->stopped_us, __ATOMIC_ACQUIRE)};
}

int64_t watch_clock_us(struct watch_clock since)
{
    int64_t took = now_us() - since.at_us;
    took -= __atomic_load_n(&watch->stopped_us, __ATOMIC_ACQUIRE) - since.stopped_us;
    return took < 0 ? 0 : took;
}

static int key_refused(struct stall_key key)
{
    if (key_index(watch->stalled, watch->stalled_count, key) >= 0)
        return 1;
    int recorded = key_index(watch->recorded, watch->recorded_count, key);
    if (recorded >= 0) {
        watch->recorded_refused[recorded] = 1;
        return 1;
    }
    return 0;
}

// A call about a mapping on a local file system asks nothing of it: only
// one that can stall is refused for the budget.
int watch_call_begin(const char *path, uint64_t dev)
{
    int wait_class = watch_classify_dev(path, dev);
    if (wait_class == CLASS_LOCAL ? key_refused(key_of(path, wait_class, dev, 0))
                                  : watch_refuses(path, wait_class, dev, 0)) {
        errno = ETIMEDOUT;
        return -1;
    }
    watch_lookup_begin(path, wait_class, dev, 0);
    call_start = watch_clock_start();
    return wait_class;
}

void watch_call_end(int wait_class)
{
    if (wait_class == CLASS_STALLS)
        watch_charge(watch_clock_us(call_start));
    watch_lookup_end();
}

// As many processes left behind as the process at hand may add to: a new
// wait could leave one more. Its owner is asked only near the cap.
static int at_cap(void)
{
    if (watch->left_count < WATCH_LEFT_MAX - LEFT_SYSTEM_RESERVE)
        return 0;
    int system = watch_owner_is_system();
    if (system && watch->left_count < WATCH_LEFT_MAX)
        return 0;
    watch->cap_refused |= system ? CAP_SYSTEM : CAP_USERS;
    return 1;
}

int watch_refuses(const char *path, int wait_class, uint64_t dev, uint64_t ino)
{
    return key_refused(key_of(path, wait_class, dev, ino)) || watch->cached_only || at_cap() ||
           watch_share_spent();
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

void watch_record_stall(char *shown, size_t size, struct stall_key *key)
{
    snprintf(shown, size, "%s", watch->looked + watch->shown_at);
    without_deleted_marker(shown);
    // not placed in a directory: placed again in the table as it is now, as
    // a mount made since the worker last read it is where the lookup
    // waited, not the one below
    if (watch->wait_class == CLASS_LOCAL && watch->wait_ino == 0) {
        uint64_t dev = NO_DEVICE;
        struct mount_info info;
        if (mount_of(watch->frame, watch->pid, watch->looked + watch->shown_at, 1, &info) == 0) {
            dev = info.dev;
            if (may_stall(info.type))
                watch->wait_class = CLASS_STALLS;
        }
        watch->wait_dev = dev;
    }
    *key = key_of(watch->looked, watch->wait_class, watch->wait_dev, watch->wait_ino);
    if (watch->stalled_count < WATCH_STALLED_MAX)
        watch->stalled[watch->stalled_count++] = *key;
}

void watch_recorded(struct stall_key key, pid_t pid)
{
    watch->left_count++;
    if ((key.dev == COUNT_ONLY.dev && key.ino == COUNT_ONLY.ino) ||
        watch->recorded_count >= WATCH_RECORDED_MAX ||
        key_index(watch->recorded, watch->recorded_count, key) >= 0)
        return;
    watch->recorded[watch->recorded_count] = key;
    watch->recorded_pid[watch->recorded_count] = pid;
    watch->recorded_refused[watch->recorded_count] = 0;
    watch->recorded_count++;
}
