#ifndef VRIX_LOOKUP_H
#define VRIX_LOOKUP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

// What stat() said of a path: its device, inode number and link count, or
// an error.
struct file_id {
    int error;
    uint64_t dev;
    uint64_t ino;
    uint64_t nlink;
};

// What stat() says of path, remembered for the rest of the run. A lookup
// that the kernel answers from its caches alone is made first and directly:
// it cannot wait. Any other is announced to the watch and its time charged
// to the run's budget: on a local file system it is one direct call; on a
// file system that can stall it is asked by a process of its own that holds
// nothing else. A lookup the watch refuses fails with ETIMEDOUT at once,
// without asking.
struct file_id look_up_path(const char *path);

// What stands at path when no symbolic link is followed: one at the last
// name is reported as itself (lstat()), and a platform that can fails with
// ELOOP at one on the way.
// Watched and charged as look_up_path() is, but not remembered: most paths
// are never asked so.
struct file_id look_up_unfollowed(const char *path);

// Forgets what was learnt of paths; a new scan starts from what is on disk.
void stat_cache_clear(void);

// What answers the lookups: stat(), or a platform's own resolution of the
// names it hands out. Tests put a file system that never answers here.
typedef int (*stat_call)(const char *path, struct stat *sb);
extern stat_call lookup_call;

// What the platform's calls here act for (its handle, say), set with them:
// they find there what they need, since the lookups hand them nothing but
// the path. Null for none.
extern void *lookup_context;

// Whether lookup_call follows symbolic links. When 0, a platform that can
// refuses one on the way with ELOOP: a name the kernel gave holds none, so
// one found there now may lead to any file system, and the lookup is asked
// again as one whose file system cannot be told.
extern int lookup_follows;

// Set for a call of look_up_unfollowed(): lookup_call then reports a
// symbolic link at the last name as itself, and where it can, fails with
// ELOOP at one on the way.
extern int lookup_no_links;

// Whether the platform's lookup_call can answer from the kernel's caches
// alone; lookup_cached asks it to for one call, which then fails with
// EAGAIN where it would have to ask a file system. A platform that cannot
// leaves lookup_can_cache 0 (or sets it back to 0 when the kernel turns
// out to lack it, failing that call with EAGAIN).
extern int lookup_can_cache;
extern int lookup_cached;

// Where a lookup of path that the caches cannot answer would wait: the
// directory in which the first name the kernel has not cached is looked
// for, by its device and inode (ino 0 where only the device can be told).
struct wait_place {
    uint64_t dev;
    uint64_t ino;
};
// 0 with *place filled, or -1 when it cannot be told. Null: never told.
typedef int (*place_call)(const char *path, struct wait_place *place);
extern place_call lookup_place;

// A directory of our own frame held open for the run, found through the
// caches alone: its handle with its place filled in, or -1 (another
// frame's name, a directory the caches lack, a platform that cannot).
// Null: never.
typedef int (*dir_call)(const char *dir, struct wait_place *place);
extern dir_call lookup_dir;

// One name in such a directory, in one call that does not follow a
// symbolic link at the name (a link found is returned as one). Like any
// lookup of a name the caches may lack, it may wait on that directory.
typedef int (*at_call)(int dir, const char *name, struct stat *sb);
extern at_call lookup_at;

// The descriptors a lookup of path needs (a namespace's root, say), for the
// process that asks it; their number. Null: none.
typedef int (*keep_call)(const char *path, int *fds, int max);
extern keep_call lookup_keeps;

#endif
