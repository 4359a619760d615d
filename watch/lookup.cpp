#include "lookup.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mounts.h"
#include "path_cache.h"
#include "process_facts.h"
#include "watch.h"

// Most processes map the same libraries: within one run each path is looked
// up once. A path names one file for the whole run: the Linux layer reaches
// another mount namespace through a handle held for the run, so its paths
// never share an entry with ours (path_cache.h).
enum { KEEP_MAX = 8 };
enum { HELD_DIRS_MAX = 16 };

// stat(), or lstat() where no link is followed
static int plain_stat(const char *path, struct stat *sb)
{
    return lookup_no_links ? lstat(path, sb) : stat(path, sb);
}

stat_call lookup_call = plain_stat;
void *lookup_context = nullptr;
int lookup_follows = 1;
int lookup_no_links = 0;
keep_call lookup_keeps = nullptr;
int lookup_can_cache = 0;
int lookup_cached = 0;
place_call lookup_place = nullptr;
dir_call lookup_dir = nullptr;
at_call lookup_at = nullptr;

static const struct file_id NO_ANSWER = {ETIMEDOUT, 0, 0, 0};

// The directories of the names asked, held open: most mapped files sit in
// a few directories, and a name in one held is then a single call. A
// directory the caches lacked, or on a file system that can stall, is
// remembered with no handle. Bounded; when full it starts over.
struct held_dir {
    std::string name;
    int fd;
    struct wait_place place;
};
static std::vector<held_dir> held;

static struct file_id id_of(const struct stat &sb)
{
    return {0, (uint64_t)sb.st_dev, (uint64_t)sb.st_ino, (uint64_t)sb.st_nlink};
}

static struct file_id ask(const char *path)
{
    struct stat sb;
    if (lookup_call(path, &sb) != 0)
        return {errno, 0, 0, 0};
    return id_of(sb);
}

// A lookup that may wait: announced to the watch, and its time charged to
// the run's budget, slow answers as well as stalls.
static struct watch_clock wait_begin(const char *path, int wait_class, uint64_t dev, uint64_t ino)
{
    watch_lookup_begin(path, wait_class, dev, ino);
    return watch_clock_start();
}

static void wait_end(struct watch_clock start)
{
    watch_charge(watch_clock_us(start));
    watch_lookup_end();
}

// A lookup on a file system that can stall, asked by a process of its own
// that holds nothing but what the lookup needs: if it never comes back, that
// is all a process left behind holds. Its answer comes back in the watch's
// page, which is the worker's own.
static struct file_id probe(const char *path)
{
    int keep[KEEP_MAX];
    int kept = lookup_keeps == nullptr ? 0 : lookup_keeps(path, keep, KEEP_MAX);
    struct watch_page *page = watch;
    page->answer_done = 0;
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0)
        return ask(path);
    if (child == 0) {
        die_with_parent(parent);
        close_all_but(keep, kept);
        // nor a directory of ours
        if (chdir("/") != 0)
            _exit(1);
        lookup_follows = 1;
        struct file_id id = ask(path);
        page->answer = id;
        __atomic_store_n(&page->answer_done, 1, __ATOMIC_RELEASE);
        _exit(0);
    }
    watch->prober = child;
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    watch->prober = 0;
    if (__atomic_load_n(&page->answer_done, __ATOMIC_ACQUIRE) != 1)
        return NO_ANSWER;
    return page->answer;
}

// Where an uncached lookup of path would wait, and on what class of file
// system: the directory the platform finds, or else the mount table's word.
static int place(const char *path, uint64_t *dev, uint64_t *ino)
{
    struct wait_place at;
    *ino = 0;
    if (lookup_place != nullptr && lookup_place(path, &at) == 0) {
        *dev = at.dev;
        *ino = at.ino;
        return watch_classify_dev(path, at.dev);
    }
    return watch_classify(path, dev);
}

// A lookup on a local file system, asked here.
static struct file_id ask_local(const char *path, uint64_t dev, uint64_t ino)
{
    struct watch_clock start = wait_begin(path, CLASS_LOCAL, dev, ino);
    lookup_follows = 0;
    struct file_id id = ask(path);
    lookup_follows = 1;
    wait_end(start);
    return id;
}

// What the kernel's caches alone say of path: EAGAIN where they cannot say.
static struct file_id ask_cached(const char *path)
{
    lookup_cached = 1;
    struct file_id id = ask(path);
    lookup_cached = 0;
    return id;
}

static void drop_held_dirs(void)
{
    for (const held_dir &dir : held) {
        if (dir.fd >= 0)
            close(dir.fd);
    }
    held.clear();
}

// A held directory that a mount has covered since it was opened no longer
// holds the names at its path: held directories are trusted for
// HELD_TRUST_US at a time, then the mount table is asked whether it
// changed (one poll), and if it did they are all let go and opened again
// from their paths. Only root mounts in our frame, the one held
// directories are of.
enum { HELD_TRUST_US = 1000 };
static long long held_checked_us;
static uint64_t held_generation;

static long long now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

static void check_held_dirs(void)
{
    long long now = now_us();
    if (!held.empty() && now - held_checked_us < HELD_TRUST_US)
        return;
    held_checked_us = now;
    uint64_t generation = mount_table_generation(0);
    if (generation != held_generation || generation == 0)
        drop_held_dirs();
    held_generation = generation;
}

// Directories met once lately, by a hash of their names: a directory is held
// only when it is met again. One met once is asked about through the caches
// as any name is (openat2 of the whole name, which for a name the caches
// know is gone is one call); opening, placing and closing it for a single
// name would cost three more, and a process may map each of its files from
// a directory of its own.
enum { MET_DIRS = 64 };
static uint64_t met_dirs[MET_DIRS];
static unsigned met_next;

static int met_before(const char *path, size_t len)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < len; i++)
        h = (h ^ (unsigned char)path[i]) * 0x100000001b3ULL;
    h |= 1;  // never the empty slot's 0
    for (uint64_t met : met_dirs) {
        if (met == h)
            return 1;
    }
    met_dirs[met_next++ % MET_DIRS] = h;
    return 0;
}

// The held directory of path's first len bytes; null for one met for the
// first time.
static const held_dir *held_dir_of(const char *path, size_t len)
{
    check_held_dirs();
    for (const held_dir &dir : held) {
        if (dir.name.size() == len && memcmp(dir.name.data(), path, len) == 0)
            return &dir;
    }
    if (!met_before(path, len))
        return nullptr;
    if (held.size() >= HELD_DIRS_MAX)
        drop_held_dirs();
    held_dir dir = {std::string(path, len), -1, {0, 0}};
    dir.fd = lookup_dir(dir.name.c_str(), &dir.place);
    if (dir.fd >= 0 && watch_classify_dev(dir.name.c_str(), dir.place.dev) != CLASS_LOCAL) {
        close(dir.fd);
        dir.fd = -1;
    }
    held.push_back(std::move(dir));
    return &held.back();
}

// A name in a held directory of a local file system, in one call: it waits,
// if it does, where an uncached lookup of it would, and is announced and
// charged as one. 0 where it is not for this path, or the answer needs the
// whole lookup (a symbolic link at the name, an error other than none).
static int ask_in_dir(const char *path, struct file_id *id)
{
    const char *slash = strrchr(path, '/');
    if (lookup_dir == nullptr || path[0] != '/' || slash == nullptr || slash[1] == '\0' ||
        strcmp(slash + 1, ".") == 0 || strcmp(slash + 1, "..") == 0)
        return 0;
    const held_dir *dir = held_dir_of(path, slash == path ? 1 : (size_t)(slash - path));
    if (dir == nullptr || dir->fd < 0 ||
        watch_refuses(path, CLASS_LOCAL, dir->place.dev, dir->place.ino))
        return 0;
    struct watch_clock start = wait_begin(path, CLASS_LOCAL, dir->place.dev, dir->place.ino);
    struct stat sb;
    int result = lookup_at(dir->fd, slash + 1, &sb);
    int error = errno;
    wait_end(start);
    if (result == 0 && !S_ISLNK(sb.st_mode)) {
        *id = id_of(sb);
        return 1;
    }
    if (result != 0 && (error == ENOENT || error == ENOTDIR)) {
        *id = {error, 0, 0, 0};
        return 1;
    }
    return 0;
}

static struct file_id look_up(const char *path)
{
    if (lookup_can_cache) {
        struct file_id found;
        // a held directory was reached through any link on the way
        if (!lookup_no_links && ask_in_dir(path, &found))
            return found;
        struct file_id id = ask_cached(path);
        if (id.error != EAGAIN)
            return id;
    }
    uint64_t dev = NO_DEVICE, ino = 0;
    int wait_class = place(path, &dev, &ino);
    if (watch_refuses(path, wait_class, dev, ino))
        return NO_ANSWER;
    if (wait_class == CLASS_LOCAL) {
        struct file_id id = ask_local(path, dev, ino);
        if (id.error != ELOOP || lookup_no_links)
            return id;
        // a symbolic link on the way: its target's file system is not known
        wait_class = CLASS_UNKNOWN;
        if (watch_refuses(path, wait_class, dev, ino))
            return NO_ANSWER;
    }
    struct watch_clock start = wait_begin(path, wait_class, dev, ino);
    struct file_id id = probe(path);
    wait_end(start);
    return id;
}

struct file_id look_up_path(const char *path)
{
    const struct file_id *found = path_cache_find(path);
    if (found != nullptr)
        return *found;
    struct file_id id = look_up(path);
    path_cache_put(path, id);
    return id;
}

struct file_id look_up_unfollowed(const char *path)
{
    lookup_no_links = 1;
    struct file_id id = look_up(path);
    lookup_no_links = 0;
    return id;
}

void stat_cache_clear(void)
{
    path_cache_clear();
    drop_held_dirs();
}
