#ifndef VRIX_MOUNTS_H
#define VRIX_MOUNTS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "watch.h"

// A mount as the watch needs it: what it is, and its device (its
// superblock: every bind mount and namespace that reaches one file system
// shows the same).
struct mount_info {
    char type[64];
    uint64_t dev;
};

// The mount that a lookup of path reaches in the frame's mount table (ours
// for frame 0, else that of process pid). With fresh, the table as it is
// now: a mount made since it was last read is seen; without, as it was
// last read. 0, or -1 when no table can be had or none holds path. Reads no
// file system but the kernel's own tables, so it cannot stall.
int mount_of(uint64_t frame, pid_t pid, const char *path, int fresh, struct mount_info *out);

// The mount of device dev in the frame's table, or else in ours; 0, or -1.
int mount_by_dev(uint64_t frame, pid_t pid, uint64_t dev, int fresh, struct mount_info *out);

// How many times the frame's mount table has been read, once read again if
// it changed since: it moves whenever a mount is made or gone. 0 where it
// cannot be had. Costs one poll.
uint64_t mount_table_generation(uint64_t frame);

// Whether a file system of this type can leave a lookup unanswered: network
// and user-space file systems, whose server may be gone or stopped.
int may_stall(const char *type);

#endif
