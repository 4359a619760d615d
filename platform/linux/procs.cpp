#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <new>

#include "linux_procstat.h"
#include "lookup.h"
#include "proc_files.h"
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
    // all that is learnt for the run starts empty
    struct procstat *ps = new (std::nothrow) procstat();
    if (ps == nullptr) {
        close(fd);
        return errno = ENOMEM, nullptr;
    }
    ps->proc_fd = fd;
    watch_keep_fd(fd);
    ps->view.dir_fd = -1;
    ps->view.helper_sock = -1;
    // names of another namespace resolve inside its root, for the verdict's
    // lookups and ours alike
    lookup_context = ps;
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
    ns_lookup_end(&ps->view, &ps->ended);
    if (lookup_context == ps)
        lookup_context = nullptr;
    if (ps->view.dir_fd >= 0)
        close(ps->view.dir_fd);
    close_mount_namespaces(&ps->namespaces);
    close(ps->proc_fd);
    free(ps->maps.buffer);
    delete ps;
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

int view_mount_ns(struct procstat *ps, struct proc_view *view)
{
    return view->ns != nullptr ? 0 : enter_mount_ns(&ps->namespaces, ps->mnt_ns, view);
}

struct proc_view *proc_view(struct procstat *ps, pid_t pid)
{
    struct proc_view *view = &ps->view;
    if (view->dir_fd >= 0 && view->pid == pid)
        return view;
    char relative[24];
    pid_path(relative, sizeof relative, pid, "");
    // nothing learnt of the process before passes to this one
    ns_lookup_end(view, &ps->ended);
    view->helper_tried = 0;
    view->pid = pid;
    view->no_memory = 0;
    view->file_dev = UINT64_MAX;
    view->own_mount = UINT64_MAX;
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

// The record of one process, its command name left to be read when needed.
static void fill_proc(pid_t pid, struct kinfo_proc *kp)
{
    memset(kp, 0, sizeof *kp);
    kp->ki_pid = pid;
    kp->ki_jid = 0;
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

// The list as /proc is read.
struct proc_list {
    struct kinfo_proc *procs;
    size_t used, capacity;
};

static int add_proc(pid_t pid, void *arg)
{
    struct proc_list *list = (struct proc_list *)arg;
    if (list->used == list->capacity) {
        size_t capacity = list->capacity == 0 ? 512 : list->capacity * 2;
        void *grown = realloc(list->procs, capacity * sizeof *list->procs);
        if (grown == nullptr)
            return errno = ENOMEM, -1;
        list->procs = (struct kinfo_proc *)grown;
        list->capacity = capacity;
    }
    fill_proc(pid, &list->procs[list->used++]);
    return 0;
}

// One record per process (not per thread), in the order /proc lists them;
// the list leaves the jail IDs to a record asked by pid.
struct kinfo_proc *procstat_getprocs(struct procstat *ps, int what, int arg, unsigned int *count)
{
    if (what == KERN_PROC_PID)
        return one_proc(ps, (pid_t)arg, count);
    if (what != KERN_PROC_PROC)
        return errno = EINVAL, nullptr;
    struct proc_list list = {nullptr, 0, 0};
    if (each_pid(add_proc, &list) != 0) {
        int error = errno;
        free(list.procs);
        return errno = error, nullptr;
    }
    if (list.procs == nullptr)
        list.procs = (struct kinfo_proc *)malloc(sizeof *list.procs);
    if (list.procs == nullptr)
        return errno = ENOMEM, nullptr;
    *count = (unsigned int)list.used;
    return list.procs;
}

void procstat_freeprocs(struct procstat *, struct kinfo_proc *procs)
{
    free(procs);
}
