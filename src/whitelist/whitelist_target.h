#ifndef VRIX_WHITELIST_TARGET_H
#define VRIX_WHITELIST_TARGET_H

#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>

// The signals that end a run, and that a run catches to clean up.
static const int ENDING_SIGNALS[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM};

// Where a created whitelist goes. The path is opened once, before the scan,
// exactly as a shell's ">" opens it (truncation aside): the kernel follows
// every link and applies every protection it applies to anyone's open.
// What it opened decides how the lines get there.
enum whitelist_target_kind {
    // A regular file at the path itself: the lines go to a temporary file
    // beside it, renamed over the path when the run completes.
    TARGET_REPLACE,
    // A regular file that no rename can replace (reached through a link, or
    // one vrix may not replace): the lines wait in an unlinked temporary
    // file and overwrite it in place when the run completes.
    TARGET_IN_PLACE,
    // A device, a FIFO, a terminal: written as the run goes.
    TARGET_DIRECT,
};

struct whitelist_target {
    int fd;        // what the kernel opened at the path; -1 when none
    int lines_fd;  // where the lines go as they come; -1 when none
    int kind;
    int is_stdout;                  // the file is the one standard output is
    int created;                    // fd is a new file this run made at the path
    char temp_path[PATH_MAX + 32];  // TARGET_REPLACE, until renamed
};

// Opens path for the lines; returns 0, or -1 with errno set. A refusal
// creates and changes nothing.
int whitelist_target_open(struct whitelist_target *target, const char *path);

// Puts the lines at path, as the kind says; error is that of writing them.
// Returns the errno of the first failure, or 0, and closes every
// descriptor; a file this run created goes when it fails. The temporary
// file is left for the caller to remove.
int whitelist_target_put(struct whitelist_target *target, const char *path, int error);

// Removes the file this run created at path, when it is still the one there.
// Safe in a signal handler.
void whitelist_target_remove_created(struct whitelist_target *target, const char *path);

// Overwrites the regular file fd with the contents of lines_fd in place;
// returns 0 or an errno. A failed write leaves the old contents whole.
int whitelist_overwrite(int fd, int lines_fd);

// Writes all of data to fd at its offset; 0 or an errno.
int write_all(int fd, const char *data, size_t size);

#endif
