#include "watch.h"

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#include <vector>

#include "mounts.h"

int watch_bound_ms = LOOKUP_BOUND_SECONDS * 1000;

static struct watch_page private_page;
struct watch_page *watch = &private_page;

// The frame of the process being judged.
static uint64_t frame_key;
static char frame_prefix[WATCH_PATH_SIZE];
static size_t frame_prefix_len;

// What the run has learnt of stalls; a worker inherits it at its fork.
static std::vector<struct stalled_mount> stalled;
static int allowance_spent;

int watch_share(void)
{
    void *page = mmap(nullptr, sizeof *watch, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                      -1, 0);
    if (page == MAP_FAILED)
        return -1;
    memcpy(page, watch, sizeof *watch);
    watch = (struct watch_page *)page;
    return 0;
}

int watch_renew(void)
{
    struct watch_page *old = watch;
    if (watch_share() != 0)
        return -1;
    if (old != &private_page)
        munmap(old, sizeof *old);
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

void watch_lookup_begin(const char *path)
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
    watch->waiting = WAIT_LOOKUP;
    bump();
}

void watch_lookup_end(void)
{
    watch->waiting = WAIT_PROCESS;
    bump();
}

void watch_answered(uint64_t dev)
{
    uint32_t count = watch->answered_count;
    for (uint32_t i = 0; i < count; i++) {
        if (watch->answered[i] == dev)
            return;
    }
    if (count < WATCH_ANSWERED_MAX) {
        watch->answered[count] = dev;
        watch->answered_count = count + 1;
    }
}

static int was_answered(uint64_t dev)
{
    for (uint32_t i = 0; i < watch->answered_count; i++) {
        if (watch->answered[i] == dev)
            return 1;
    }
    return 0;
}

size_t mount_depth(const char *path, const char *point)
{
    size_t len = strlen(point);
    if (len == 1 && point[0] == '/')
        return path[0] == '/' ? 1 : 0;
    return strncmp(path, point, len) == 0 && (path[len] == '/' || path[len] == '\0') ? len : 0;
}

void watch_record_stall(char *shown, size_t size)
{
    struct stalled_mount mount;
    mount.frame = watch->frame;
    const char *name = watch->looked + watch->shown_at;
    snprintf(shown, size, "%s", name);
    struct mount_info info;
    if (mount_of(mount.frame, watch->pid, name, &info) == 0) {
        snprintf(mount.point, sizeof mount.point, "%s", info.point);
    } else {
        // no mount table: the directory that holds the file stands for it
        snprintf(mount.point, sizeof mount.point, "%s", name);
        char *slash = strrchr(mount.point, '/');
        if (slash != nullptr)
            slash[slash == mount.point ? 1 : 0] = '\0';
    }
    stalled.push_back(mount);
}

void watch_allowance_spent(void)
{
    allowance_spent = 1;
}

int watch_refuses(const char *path)
{
    if (stalled.empty() && !allowance_spent)
        return 0;
    uint64_t frame;
    const char *name = frame_of(path, &frame);
    for (const struct stalled_mount &mount : stalled) {
        if (mount.frame == frame && mount_depth(name, mount.point) != 0)
            return 1;
    }
    if (!allowance_spent)
        return 0;
    struct mount_info info;
    return mount_of(frame, watch->pid, name, &info) == 0 && may_stall(info.type) &&
           !was_answered(info.dev);
}
