#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "linux_procstat.h"
#include "proc_files.h"

static const unsigned long PF_KTHREAD = 0x00200000;

// No executable, and so no memory map worth reading.
static int empty_path(struct proc_view *view, char *pathname)
{
    view->no_memory = 1;
    pathname[0] = '\0';
    return 0;
}

// exe is gone. A kernel thread or a zombie has no executable, which FreeBSD
// answers with an empty path. A process whose main thread has exited while
// other threads run still executes its code: it is seen through one of them.
// A process that is gone altogether is ESRCH.
static ssize_t read_exe_of_thread(struct procstat *ps, struct proc_view *view, char *link,
                                  size_t size)
{
    char state;
    unsigned long flags;
    if (read_proc_stat(view->dir_fd, &state, &flags) != 0)
        return errno == ENOENT ? (errno = ESRCH, -1) : -1;
    if ((flags & PF_KTHREAD) != 0 || state != 'Z')
        return errno = ENOENT, -1;
    pid_t tid = live_thread(view->dir_fd, view->pid);
    if (tid == 0 || proc_view_thread(ps, tid) != 0)
        return errno = ENOENT, -1;
    return readlinkat(view->dir_fd, "exe", link, size);
}

// Cuts the kernel's " (deleted)" from link unless the marked name, looked
// up where the kernel named it from, is the running file itself. The
// running file's identity is had as a mapped file's is; one on a detached
// mount has no name that leads to it.
static int strip_exe_marker(struct procstat *ps, struct proc_view *view, char *link)
{
    struct mapped_file exe;
    if (view_mount_ns(ps, view) != 0)
        return -1;
    if (identify_link(ps, view, "exe", &exe) != 0)
        return errno == ENOENT ? (errno = ESRCH, -1) : -1;
    // an executable in kernel memory (a sealed memfd, as container runtimes
    // run) has no mount to place: no name leads to it anywhere
    int frame = !exe.has_mnt_id || is_kernel_memory(&ps->kernel_memory, exe.dev)
                    ? FRAME_PROCESS
                    : mount_frame(&ps->namespaces, view, exe.mnt_id);
    // shown from the process's root when the kernel named it from no root
    size_t prefix_len = frame == FRAME_OURS ? 0 : view->prefix_len;
    if (frame == FRAME_DETACHED)
        exe.nlink = 0;
    char seen[PATH_MAX];
    if (snprintf(seen, sizeof seen, "%.*s%s", (int)prefix_len, view->root_prefix, link) >=
        (int)sizeof seen)
        return errno = ENAMETOOLONG, -1;
    strip_deleted_marker(seen, exe.dev, exe.ino, exe.nlink);
    link[strlen(seen) - prefix_len] = '\0';
    return 0;
}

// Only a kernel thread has no executable at all; its stat, unlike its exe,
// can be read by anyone.
static int is_kernel_thread(int dir_fd)
{
    char state;
    unsigned long flags;
    return read_proc_stat(dir_fd, &state, &flags) == 0 && (flags & PF_KTHREAD) != 0;
}

static int get_pathname(struct procstat *ps, struct kinfo_proc *kp, char *pathname,
                        size_t maxlen)
{
    struct proc_view *view = proc_view(ps, kp->ki_pid);
    if (view == nullptr)
        return -1;
    char link[PATH_MAX + 1];
    ssize_t n = readlinkat(view->dir_fd, "exe", link, sizeof link);
    if (n < 0 && errno == ENOENT)
        n = read_exe_of_thread(ps, view, link, sizeof link);
    if (n < 0) {
        if (errno == ENOENT)
            return empty_path(view, pathname);
        if (errno == EPERM)
            errno = EACCES;
        if (errno == EACCES && is_kernel_thread(view->dir_fd))
            return empty_path(view, pathname);
        return -1;
    }
    if ((size_t)n == sizeof link)
        return errno = ENAMETOOLONG, -1;
    link[n] = '\0';
    if (ends_with_deleted_marker(link) && strip_exe_marker(ps, view, link) != 0)
        return -1;
    size_t len = strlen(link);
    if (len >= maxlen)
        return errno = ENAMETOOLONG, -1;
    memcpy(pathname, link, len + 1);
    return 0;
}

// The command name is what the row of a process without a path shows, and
// is read only then: no other row needs it.
int procstat_getpathname(struct procstat *ps, struct kinfo_proc *kp, char *pathname,
                         size_t maxlen)
{
    if (get_pathname(ps, kp, pathname, maxlen) == 0)
        return 0;
    int error = errno;
    if (error != ESRCH)
        read_comm(ps->proc_fd, kp);
    return errno = error, -1;
}
