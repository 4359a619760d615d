#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vmmap_builder.h"

// A name too long for the record is never cut into another file's name: the
// mapping gets a path whose status cannot be had (a walk through a device
// node fails with ENOTDIR), so that it counts as an error of that mapping.
static const char UNREADABLE_PATH[] = "/dev/null/name-too-long";

struct kinfo_vmentry *vmmap_append(struct vmmap_builder *b)
{
    if (b->count == b->capacity) {
        unsigned int capacity = b->capacity == 0 ? 32 : b->capacity * 2;
        void *grown = realloc(b->map, capacity * sizeof *b->map);
        if (grown == nullptr)
            return errno = ENOMEM, nullptr;
        b->map = (struct kinfo_vmentry *)grown;
        b->capacity = capacity;
    }
    return &b->map[b->count++];
}

void settle_file_name(struct kinfo_vmentry *kve, int fits)
{
    if (!fits) {
        kve->kve_type = KVME_TYPE_VNODE;
        memcpy(kve->kve_path, UNREADABLE_PATH, sizeof UNREADABLE_PATH);
        return;
    }
    if (kve->kve_type == KVME_TYPE_VNODE)
        strip_deleted_marker(kve->kve_path, (dev_t)kve->kve_vn_fsid, (ino_t)kve->kve_vn_fileid);
}

static int read_vmmap(struct procstat *ps, struct proc_view *view, int maps_fd,
                      struct vmmap_builder *b)
{
    if (ps->use_text_maps == 0) {
        if (query_vmmap(maps_fd, view->root_prefix, b) == 0)
            return 0;
        if (errno != ENOTTY && errno != EINVAL)
            return -1;
        ps->use_text_maps = 1;  // an older kernel: the text it is
        b->count = 0;
    }
    return read_text_vmmap(ps, maps_fd, view->root_prefix, b);
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
    int result = maps_fd < 0 ? -1 : read_vmmap(ps, view, maps_fd, &b);
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
