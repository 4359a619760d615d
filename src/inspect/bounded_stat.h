#ifndef VRIX_BOUNDED_STAT_H
#define VRIX_BOUNDED_STAT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

// How long one lookup may take before its file system counts as stuck. A
// stalled FUSE daemon or a dead NFS server would otherwise hold the run for
// ever; lsof waits 15 seconds for its own kernel calls.
enum { LOOKUP_BOUND_SECONDS = 5 };

// What stat() said of a path: its device and inode number, or an error.
struct file_id {
    int error;
    uint64_t dev;
    uint64_t ino;
};

typedef int (*stat_call)(const char *path, struct stat *sb);

// call() on each of paths[0..count), in order, on a helper thread; what it
// said goes to ids. Returns how many were answered: count, or the index of
// the first that got no answer within bound_ms (those after it are not
// asked). A helper that did not answer is left to its fate and never waited
// for again; the next call gets a fresh one.
size_t bounded_stats(stat_call call, const char *const *paths, size_t count, struct file_id *ids,
                     int bound_ms);

#endif
