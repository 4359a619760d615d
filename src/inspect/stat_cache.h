#ifndef VRIX_STAT_CACHE_H
#define VRIX_STAT_CACHE_H

#include <stddef.h>
#include <stdint.h>

#include "bounded_stat.h"

// A path to look up, and the device of the mapped file it should lead to.
struct lookup_request {
    const char *path;
    uint64_t dev;
};

// stat() of each path of wanted[0..count), into ids, remembered for the rest
// of the run. What is not known yet is asked in one go, so that a process
// costs the lookup thread one round trip rather than one per library. A
// lookup that gets no answer in time is named on stderr once and fails with
// ETIMEDOUT; from then on every path wanted on that device fails so at once,
// without asking the file system.
void stat_paths(const struct lookup_request *wanted, size_t count, struct file_id *ids);

// What answers the lookups and how long it is waited for: stat() and
// LOOKUP_BOUND_SECONDS. Tests put a file system that never answers here.
extern stat_call lookup_call;
extern int lookup_bound_ms;

#endif
