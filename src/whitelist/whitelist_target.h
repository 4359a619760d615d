#ifndef VRIX_WHITELIST_TARGET_H
#define VRIX_WHITELIST_TARGET_H

#include <limits.h>
#include <stdio.h>

// Where a created whitelist goes, chosen by what stands at the path itself.
// vrix never resolves a symbolic link by itself: the kernel follows every
// link on the way, with the protections it applies to anyone's open.
enum whitelist_target_kind {
    // A regular file, or nothing yet: the lines go to a temporary file beside
    // it, renamed over the path when the run completes.
    TARGET_REPLACE,
    // A symbolic link to a regular file or to nothing: the lines go to an
    // unlinked temporary file and are written through the link by one
    // ordinary open when the run completes.
    TARGET_THROUGH_LINK,
    // A device, a FIFO, a terminal, directly or through a link: written as
    // the lines come.
    TARGET_DIRECT,
};

struct whitelist_target {
    FILE *stream;
    int kind;
    int is_stdout;                  // the file is the one standard output is
    char temp_path[PATH_MAX + 32];  // TARGET_REPLACE, until renamed
};

// Opens the stream for path; returns 0, or -1 with errno set. Nothing at
// path, nor anything a link there leads to, is created or changed.
int whitelist_target_open(struct whitelist_target *target, const char *path);

// Copies the lines written to a TARGET_THROUGH_LINK stream to fd, and syncs
// fd when it is a regular file; returns 0 or an errno.
int whitelist_target_copy(FILE *lines, int fd);

#endif
