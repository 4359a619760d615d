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

// What stat() says of path, remembered for the rest of the run. Each lookup
// is announced to the watch. One on a local file system is one direct call;
// one on a file system that can stall is asked by a process of its own that
// holds nothing else, and its time is charged to the run's budget. A lookup
// the watch refuses fails with ETIMEDOUT at once, without asking.
struct file_id look_up_path(const char *path);

// Forgets what was learnt of paths; a new scan starts from what is on disk.
void stat_cache_clear(void);

// What answers the lookups: stat(), or a platform's own resolution of the
// names it hands out. Tests put a file system that never answers here.
typedef int (*stat_call)(const char *path, struct stat *sb);
extern stat_call lookup_call;

// Whether lookup_call follows symbolic links. When 0, a platform that can
// refuses one on the way with ELOOP: a name the kernel gave holds none, so
// one found there now may lead to any file system, and the lookup is asked
// again as one whose file system cannot be told.
extern int lookup_follows;

// The descriptors a lookup of path needs (a namespace's root, say), for the
// process that asks it; their number. Null: none.
typedef int (*keep_call)(const char *path, int *fds, int max);
extern keep_call lookup_keeps;

#endif
