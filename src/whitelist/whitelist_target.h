#ifndef VRIX_WHITELIST_TARGET_H
#define VRIX_WHITELIST_TARGET_H

#include <limits.h>
#include <stdio.h>

// Where a created whitelist goes. A regular file (or none yet) is replaced as
// a whole: the lines go to a temporary file beside it, which is renamed over
// it at the end. Anything else (a device, a FIFO, a terminal) is written
// directly.
struct whitelist_target {
    FILE *stream;
    int replacing;                // stream is temp_path, to be renamed to final_path
    char final_path[PATH_MAX];    // create_path with symbolic links followed
    char temp_path[PATH_MAX + 32];
};

// Opens the stream for path; returns 0, or -1 with errno set.
int whitelist_target_open(struct whitelist_target *target, const char *path);

#endif
