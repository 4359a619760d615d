#ifndef VRIX_PROC_FILES_H
#define VRIX_PROC_FILES_H

// Reading /proc: a process's directory, its small files and its links. The
// bottom of the Linux layer: it calls nothing of the layer's own.

#include <stddef.h>
#include <sys/types.h>

#include "platform.h"

// "PID" and suffix into buf, as "%d%s" would write them: printf is a
// noticeable cost on the scan's hot path. Returns buf.
char *pid_path(char *buf, size_t size, pid_t pid, const char *suffix);

// Reads a namespace link of a process ("pid:[4026531836]") into buf; its
// identity, compared as text, is all that is needed, and reading the link is
// much cheaper than a stat() through it. 0, or -1.
int read_ns_link(int dir_fd, const char *name, char *buf, size_t size);

// Reads a small file of the process directory into buf as text; its length,
// or -1 with errno set.
ssize_t read_proc_file(int dir_fd, const char *name, char *buf, size_t size);

// Reads a file of the process directory whole, whatever its size (status
// grows with the process's groups); its length, or -1 with errno set. The
// text is the caller's to free().
ssize_t read_whole_proc_file(int dir_fd, const char *name, char **text);

// Fills kp->ki_comm from /proc/PID/comm; left as it is when that cannot be
// read.
void read_comm(int proc_fd, struct kinfo_proc *kp);

// The state letter and flags of /proc/.../stat in dir_fd; 0, or -1.
int read_proc_stat(int dir_fd, char *state, unsigned long *flags);

// A thread of the process in dir_fd that has not exited, or 0.
pid_t live_thread(int dir_fd, pid_t leader);

// Calls each(pid, arg) for every process (not thread) that /proc lists, in
// its order, until one returns -1; 0, or -1 with errno (that call's, or
// why /proc cannot be read).
int each_pid(int (*each)(pid_t pid, void *arg), void *arg);

#endif
