#ifndef VRIX_PROC_VIEW_H
#define VRIX_PROC_VIEW_H

// The record of the process in view, which the view (linux_procstat.h)
// opens, moves on and ends, and which each layer below is handed to keep
// there what it learns of that one process: so nothing learnt of a process
// outlives the view of it, and no layer holds state of its own that the
// view would have to tell it to forget. Only a record: no layer's calls.

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

struct mount_ns;

// The process last asked about: its directory is opened once however many
// questions are asked about it. All that is learnt of the process lives
// here and ends when the view moves on.
struct proc_view {
    pid_t pid;
    int dir_fd;                   // /proc/PID, or /proc/TID of a live thread when the leader is gone
    char dir_path[64];            // the same as a path
    char root_prefix[PATH_MAX];   // prepended to its file names; "" in our own mount namespace
    size_t prefix_len;
    int no_memory;                // a kernel thread or zombie: its map is empty
    const struct mount_ns *ns;    // its mount namespace (frames.h)
    uint64_t file_dev;            // the device last found to hold files, or UINT64_MAX
    uint64_t own_mount;           // the mount last found to be ours, or UINT64_MAX
    int helper_sock;              // its lookup helper (ns_lookup.h), or -1
    pid_t helper_pid;
    int helper_tried;             // one was asked for: none is started again
};

#endif
