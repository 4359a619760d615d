#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "linux_procstat.h"

static int read_vmmap(struct procstat *ps, struct proc_view *view, int maps_fd,
                      struct vmmap_builder *b)
{
    b->count = 0;
    if (ps->use_text_maps == 0) {
        if (query_vmmap(maps_fd, view->root_prefix, b) == 0)
            return 0;
        if (errno != ENOTTY && errno != EINVAL)
            return -1;
        ps->use_text_maps = 1;  // an older kernel: the text it is
        b->count = 0;
    }
    return read_text_vmmap(&ps->maps, maps_fd, view->root_prefix, b);
}

// A process is judged where it looks: its names are looked up in its own
// mount namespace, read first (one link). Only a process known to be in
// ours has its names settled by our own frame; names that agree with maps
// here prove nothing about what a process of another namespace sees.
static int read_settled(struct procstat *ps, struct proc_view *view, int maps_fd,
                        struct vmmap_builder *b)
{
    if (view_mount_ns(ps, view) != 0 || read_vmmap(ps, view, maps_fd, b) != 0)
        return -1;
    return settle_files(ps, view, b);
}

struct kinfo_vmentry *procstat_getvmmap(struct procstat *ps, struct kinfo_proc *kp,
                                        unsigned int *count)
{
    struct proc_view *view = proc_view(ps, kp->ki_pid);
    if (view == nullptr)
        return nullptr;
    struct vmmap_builder b = {nullptr, 0, 0};
    if (view->no_memory) {
        *count = 0;
        return (struct kinfo_vmentry *)malloc(1);
    }
    int maps_fd = openat(view->dir_fd, "maps", O_RDONLY | O_CLOEXEC);
    int result = maps_fd < 0 ? -1 : read_settled(ps, view, maps_fd, &b);
    int error = errno;
    if (maps_fd >= 0)
        close(maps_fd);
    if (result == 0 && b.map == nullptr && (b.map = (struct kinfo_vmentry *)malloc(1)) == nullptr)
        result = -1, error = ENOMEM;
    if (result != 0) {
        free(b.map);
        // a process that is gone shows as a missing directory entry
        errno = error == ENOENT ? ESRCH : error == EPERM ? EACCES : error;
        return nullptr;
    }
    *count = b.count;
    return b.map;
}

void procstat_freevmmap(struct procstat *, struct kinfo_vmentry *map)
{
    free(map);
}
