#ifndef VRIX_STAT_CACHE_H
#define VRIX_STAT_CACHE_H

#include <stdint.h>

// What stat() said of a path: its device and inode number, or an error.
struct file_id {
    int error;
    uint64_t dev;
    uint64_t ino;
};

// stat() of path, remembered for the rest of the run; 0, or -1 with errno.
int cached_stat(const char *path, struct file_id *id);

#endif
