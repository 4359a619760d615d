#ifndef VRIX_LOOKUP_H
#define VRIX_LOOKUP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

// What stat() said of a path: its device and inode number, or an error.
struct file_id {
    int error;
    uint64_t dev;
    uint64_t ino;
};

// What stat() says of path, remembered for the rest of the run. Each lookup
// is one direct call, announced to the watch; a path on a mount that left an
// earlier lookup unanswered fails with ETIMEDOUT at once, without asking its
// file system.
struct file_id look_up_path(const char *path);

// Forgets what was learnt of paths; a new scan starts from what is on disk.
void stat_cache_clear(void);

// What answers the lookups: stat(), or a platform's own resolution of the
// names it hands out. Tests put a file system that never answers here.
typedef int (*stat_call)(const char *path, struct stat *sb);
extern stat_call lookup_call;

#endif
