#ifndef VRIX_LINUX_PROCSTAT_H
#define VRIX_LINUX_PROCSTAT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "platform.h"

#include <limits.h>

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
    const struct mount_ns *ns;    // its mount namespace
    uint64_t file_dev;            // the device last found to hold files, or UINT64_MAX
    uint64_t own_mount;           // the mount last found to be ours, or UINT64_MAX
    int helper_sock;              // its lookup helper (ns_lookup.h), or -1
    pid_t helper_pid;
    int helper_tried;             // one was asked for: none is started again
};

// The handle: /proc, our own namespaces, and the process last asked about.
struct procstat {
    int proc_fd;
    char mnt_ns[64];  // our mount namespace, as its link reads: "mnt:[4026531841]"
    char pid_ns[64];  // our PID namespace
    struct proc_view view;
    int use_text_maps;  // the kernel has no PROCMAP_QUERY
    int no_map_files;   // map_files cannot be read (not root): maps' own numbers are used
    char *buffer;       // reused for reading maps
    size_t buffer_size;
};

// The view of a process, opened on first use; null with errno ESRCH once the
// process is gone.
struct proc_view *proc_view(struct procstat *ps, pid_t pid);

// Moves the view to /proc/TID, a live thread of the process; 0, or -1.
int proc_view_thread(struct procstat *ps, pid_t tid);

// The state letter and flags of /proc/.../stat in dir_fd; 0, or -1.
int read_proc_stat(int dir_fd, char *state, unsigned long *flags);

// A thread of the process in dir_fd that has not exited, or 0.
pid_t live_thread(int dir_fd, pid_t leader);

// Reads a namespace link of a process ("pid:[4026531836]") into buf; its
// identity, compared as text, is all that is needed, and reading the link is
// much cheaper than a stat() through it. 0, or -1.
int read_ns_link(int dir_fd, const char *name, char *buf, size_t size);

// The jail ID of process pid into *jid: 0 in our own PID namespace, else the
// pid of the first process of the process's namespace. 0, or -1 with errno
// ESRCH once the process is gone. Asked only for a record of one process:
// the list leaves ki_jid 0, as reading a link for every process would cost.
int jail_id_of(struct procstat *ps, pid_t pid, int *jid);
void forget_jail_ids(void);

// "PID" and suffix into buf, as "%d%s" would write them: printf is a
// noticeable cost on the scan's hot path. Returns buf.
char *pid_path(char *buf, size_t size, pid_t pid, const char *suffix);

// Fills kp->ki_comm from /proc/PID/comm; left as it is when that cannot be
// read.
void read_comm(int proc_fd, struct kinfo_proc *kp);

// Reads a small file of the process directory into buf as text; its length,
// or -1 with errno set.
ssize_t read_proc_file(int dir_fd, const char *name, char *buf, size_t size);

// Reads a file of the process directory whole, whatever its size (status
// grows with the process's groups); its length, or -1 with errno set. The
// text is the caller's to free().
ssize_t read_whole_proc_file(int dir_fd, const char *name, char **text);

// The kernel marks a file name " (deleted)" once the file is unlinked. Cuts
// the marker from path unless the marked name itself still names the file
// with the given device and inode (a live file may really be called so);
// nlink is the file's link count, or LINKS_UNKNOWN.
static const uint64_t LINKS_UNKNOWN = UINT64_MAX;
void strip_deleted_marker(char *path, uint64_t dev, uint64_t ino, uint64_t nlink);

enum { DELETED_MARKER_LEN = 10 };  // strlen(" (deleted)")
int ends_with_deleted_marker(const char *path);

#endif
