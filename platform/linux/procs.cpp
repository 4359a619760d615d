#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "linux_procstat.h"
#include "maps_agree.h"
#include "kernel_memory.h"
#include "mapped_file.h"
#include "mount_ns.h"
#include "ns_lookup.h"
#include "rooted_stat.h"
#include "lookup.h"
#include "watch.h"

// Each mount namespace met holds a handle for the rest of the scan: a host
// with many containers may need more descriptors than the soft limit.
static void raise_descriptor_limit(void)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

struct procstat *procstat_open_sysctl(void)
{
    raise_descriptor_limit();
    int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct procstat *ps = (struct procstat *)calloc(1, sizeof *ps);
    if (ps == nullptr) {
        close(fd);
        return nullptr;
    }
    ps->proc_fd = fd;
    watch_keep_fd(fd);
    ps->view.dir_fd = -1;
    ps->view.helper_sock = -1;
    forget_mapped_files();
    forget_mount_namespaces();
    forget_kernel_memory();
    forget_jail_ids();
    forget_maps_agreement();
    // names of another namespace resolve inside its root, for the verdict's
    // lookups and ours alike
    lookup_call = rooted_stat;
    lookup_keeps = rooted_keeps;
    lookup_place = rooted_place;
    lookup_dir = rooted_dir;
    lookup_at = rooted_at;
    lookup_can_cache = 1;
    read_ns_link(fd, "self/ns/mnt", ps->mnt_ns, sizeof ps->mnt_ns);
    read_ns_link(fd, "self/ns/pid", ps->pid_ns, sizeof ps->pid_ns);
    return ps;
}

void procstat_close(struct procstat *ps)
{
    ns_lookup_end(&ps->view);
    ns_lookup_view(nullptr);
    if (ps->view.dir_fd >= 0)
        close(ps->view.dir_fd);
    forget_mount_namespaces();
    close(ps->proc_fd);
    free(ps->buffer);
    free(ps);
}

char *pid_path(char *buf, size_t size, pid_t pid, const char *suffix)
{
    char digits[16];
    int n = 0;
    unsigned value = (unsigned)pid;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    size_t len = 0;
    while (n > 0 && len + 1 < size)
        buf[len++] = digits[--n];
    size_t suffix_len = strlen(suffix);
    if (len + suffix_len >= size)
        suffix_len = size - 1 - len;
    memcpy(buf + len, suffix, suffix_len);
    buf[len + suffix_len] = '\0';
    return buf;
}

static int open_view(struct procstat *ps, struct proc_view *view, const char *relative)
{
    int fd = openat(ps->proc_fd, relative, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? (errno = ESRCH, -1) : -1;
    if (view->dir_fd >= 0)
        close(view->dir_fd);
    view->dir_fd = fd;
    // relative, a pid or "PID/task/TID", always fits
    memcpy(view->dir_path, "/proc/", 6);
    memcpy(view->dir_path + 6, relative, strlen(relative) + 1);
    view_unplaced(view);
    return 0;
}

struct proc_view *proc_view(struct procstat *ps, pid_t pid)
{
    struct proc_view *view = &ps->view;
    if (view->dir_fd >= 0 && view->pid == pid)
        return view;
    char relative[24];
    pid_path(relative, sizeof relative, pid, "");
    // nothing learnt of the process before passes to this one
    ns_lookup_end(view);
    view->helper_tried = 0;
    view->pid = pid;
    view->no_memory = 0;
    view->file_dev = UINT64_MAX;
    view->own_mount = UINT64_MAX;
    ns_lookup_view(view);
    if (open_view(ps, view, relative) != 0) {
        int error = errno;
        if (view->dir_fd >= 0)
            close(view->dir_fd);
        view->dir_fd = -1;
        return errno = error, nullptr;
    }
    return view;
}

// /proc/TID, which readdir does not list, is the process as that thread
// sees it; unlike /proc/PID/task/TID it has map_files, and unlike the
// exited leader's they are not empty.
int proc_view_thread(struct procstat *ps, pid_t tid)
{
    char relative[24];
    pid_path(relative, sizeof relative, tid, "");
    return open_view(ps, &ps->view, relative);
}

int read_ns_link(int dir_fd, const char *name, char *buf, size_t size)
{
    ssize_t n = readlinkat(dir_fd, name, buf, size - 1);
    buf[n < 0 ? 0 : n] = '\0';
    return n < 0 ? -1 : 0;
}

ssize_t read_proc_file(int dir_fd, const char *name, char *buf, size_t size)
{
    int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, size - 1);
    int error = errno;
    close(fd);
    if (n < 0)
        return errno = error, -1;
    buf[n] = '\0';
    return n;
}

ssize_t read_whole_proc_file(int dir_fd, const char *name, char **text)
{
    int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t size = 4096, len = 0;
    char *buf = (char *)malloc(size);
    ssize_t n = 0;
    while (buf != nullptr && (n = read(fd, buf + len, size - 1 - len)) > 0) {
        len += (size_t)n;
        if (len + 1 == size) {
            char *grown = (char *)realloc(buf, size * 2);
            if (grown == nullptr)
                free(buf);
            buf = grown;
            size *= 2;
        }
    }
    int error = buf == nullptr ? ENOMEM : errno;
    close(fd);
    if (buf == nullptr || n < 0) {
        free(buf);
        return errno = error, -1;
    }
    buf[len] = '\0';
    *text = buf;
    return (ssize_t)len;
}

static int parse_pid(const char *name, pid_t *pid)
{
    if (*name < '1' || *name > '9')
        return 0;
    char *end = nullptr;
    long value = strtol(name, &end, 10);
    if (*end != '\0' || value <= 0)
        return 0;
    *pid = (pid_t)value;
    return 1;
}

// The record of one process, its command name left to be read when needed.
static void fill_proc(pid_t pid, struct kinfo_proc *kp)
{
    memset(kp, 0, sizeof *kp);
    kp->ki_pid = pid;
    kp->ki_jid = 0;
}

void read_comm(int proc_fd, struct kinfo_proc *kp)
{
    char name[40];
    pid_path(name, sizeof name, kp->ki_pid, "/comm");
    char comm[64];
    if (read_proc_file(proc_fd, name, comm, sizeof comm) < 0)
        return;
    size_t len = strcspn(comm, "\n");
    if (len > COMMLEN)
        len = COMMLEN;
    memcpy(kp->ki_comm, comm, len);
    kp->ki_comm[len] = '\0';
}

// The record of one process, with its jail ID.
static struct kinfo_proc *one_proc(struct procstat *ps, pid_t pid, unsigned int *count)
{
    struct kinfo_proc *kp = (struct kinfo_proc *)malloc(sizeof *kp);
    if (kp == nullptr)
        return errno = ENOMEM, nullptr;
    fill_proc(pid, kp);
    if (jail_id_of(ps, pid, &kp->ki_jid) != 0) {
        free(kp);
        return nullptr;
    }
    *count = 1;
    return kp;
}

// One record per process (not per thread), in the order /proc lists them;
// the list leaves the jail IDs to a record asked by pid.
struct kinfo_proc *procstat_getprocs(struct procstat *ps, int what, int arg, unsigned int *count)
{
    if (what == KERN_PROC_PID)
        return one_proc(ps, (pid_t)arg, count);
    if (what != KERN_PROC_PROC)
        return errno = EINVAL, nullptr;
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return nullptr;
    struct kinfo_proc *procs = nullptr;
    size_t used = 0, capacity = 0;
    struct dirent *de;
    while ((de = readdir(dir)) != nullptr) {
        pid_t pid;
        if (!parse_pid(de->d_name, &pid))
            continue;
        if (used == capacity) {
            capacity = capacity == 0 ? 512 : capacity * 2;
            void *grown = realloc(procs, capacity * sizeof *procs);
            if (grown == nullptr) {
                free(procs);
                closedir(dir);
                return errno = ENOMEM, nullptr;
            }
            procs = (struct kinfo_proc *)grown;
        }
        fill_proc(pid, &procs[used++]);
    }
    closedir(dir);
    if (procs == nullptr)
        procs = (struct kinfo_proc *)malloc(sizeof *procs);
    if (procs == nullptr)
        return errno = ENOMEM, nullptr;
    *count = (unsigned int)used;
    return procs;
}

void procstat_freeprocs(struct procstat *, struct kinfo_proc *procs)
{
    free(procs);
}
