#include <errno.h>
#include <unistd.h>

#include "linux_procstat.h"
#include "watch.h"

// A file system that refuses us (FUSE in a user namespace) is asked by the
// process's helper, through the file itself.
int identify_link(struct procstat *ps, struct proc_view *view, const char *name,
                  struct mapped_file *file)
{
    int path_fd = -1;
    int result = stat_proc_link(view, name, file, &path_fd);
    if (result != LINK_REFUSED)
        return result;
    result = ns_lookup_file(view, &ps->ended, path_fd, file);
    int error = errno;
    close(path_fd);
    // refused by the file system, not map_files: an error of this file
    return result == 0 ? 0 : (errno = error == EACCES || error == ESTALE ? EIO : error, -1);
}

static int stat_entry(struct procstat *ps, struct proc_view *view,
                      const struct kinfo_vmentry *kve, struct mapped_file *file)
{
    char name[64];
    mapped_file_entry(kve, name, sizeof name);
    // the file's own system is not asked, but it is where a wait would be
    int wait_class = watch_call_begin(kve->kve_path, kve->kve_vn_fsid);
    if (wait_class < 0)
        return -1;
    int result = identify_link(ps, view, name, file);
    int error = errno;
    watch_call_end(wait_class);
    return result == 0 ? 0 : (errno = error, -1);
}

int mapped_file_of(struct procstat *ps, struct proc_view *view, const struct kinfo_vmentry *kve,
                   struct mapped_file *file)
{
    if (mapped_file_known(&ps->files, view, kve, file))
        return 0;
    if (stat_entry(ps, view, kve, file) != 0)
        return -1;
    mapped_file_learnt(&ps->files, view, kve, file);
    return 0;
}
