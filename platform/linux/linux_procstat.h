#ifndef VRIX_LINUX_PROCSTAT_H
#define VRIX_LINUX_PROCSTAT_H

#include <stddef.h>
#include <sys/types.h>

#include "platform.h"

// The handle: /proc, and the directory of the process last asked about, so
// that each process's directory is opened once however many questions are
// asked about it.
struct procstat {
    int proc_fd;
    pid_t dir_pid;
    int dir_fd;
    char *buffer;  // reused for reading maps
    size_t buffer_size;
};

// The directory handle of /proc/PID, or -1 with errno ESRCH once the process
// is gone.
int proc_dir(struct procstat *ps, pid_t pid);

// Reads a small file of the process directory into buf as text; its length,
// or -1 with errno set.
ssize_t read_proc_file(int dir_fd, const char *name, char *buf, size_t size);

// The kernel marks a file name " (deleted)" once the file is unlinked. Cuts
// the marker from path unless the marked name itself still names the file
// with the given device and inode (a live file may really be called so).
void strip_deleted_marker(char *path, dev_t dev, ino_t ino);

int ends_with_deleted_marker(const char *path);

#endif
