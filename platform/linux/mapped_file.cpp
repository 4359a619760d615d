#include "file_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

enum { MAPPED_FILE_LIMIT = 16384 };

void mapped_file_entry(const struct kinfo_vmentry *kve, char *name, size_t size)
{
    snprintf(name, size, "map_files/%llx-%llx", (unsigned long long)kve->kve_start,
             (unsigned long long)kve->kve_end);
}

// AT_STATX_DONT_SYNC: the identity of a file never changes, so there is no
// need to ask a network or FUSE filesystem, which might not answer. A file
// system that refuses us (FUSE in a user namespace) is left to the
// process's helper, through the file itself: the link opened O_PATH asks
// nothing of the file system. Where the link cannot be opened either,
// map_files is closed to us (not root).
int stat_proc_link(const struct proc_view *view, const char *name, struct mapped_file *file,
                   int *path_fd)
{
    struct statx stx;
    if (statx(view->dir_fd, name, AT_STATX_DONT_SYNC, STATX_INO | STATX_NLINK | STATX_MNT_ID,
              &stx) == 0) {
        file->dev = (uint64_t)makedev(stx.stx_dev_major, stx.stx_dev_minor);
        file->ino = stx.stx_ino;
        file->nlink = stx.stx_nlink;
        file->has_mnt_id = (stx.stx_mask & STATX_MNT_ID) != 0;
        file->mnt_id = file->has_mnt_id ? stx.stx_mnt_id : 0;
        return 0;
    }
    // a file system stacked on one in a user namespace (an overlay on FUSE)
    // refuses us with ESTALE
    if (errno != EACCES && errno != ESTALE)
        return -1;
    *path_fd = openat(view->dir_fd, name, O_PATH | O_CLOEXEC);
    return *path_fd < 0 ? -1 : LINK_REFUSED;
}

int mapped_file_known(const struct mapped_files *files, const struct proc_view *view,
                      const struct kinfo_vmentry *kve, struct mapped_file *file)
{
    auto found = files->files.find(raw_id{view->ns, kve->kve_vn_fsid, kve->kve_vn_fileid});
    if (found != files->files.end()) {
        for (const named_file &known : found->second) {
            if (known.name == kve->kve_path)
                return *file = known.file, 1;
        }
    }
    return 0;
}

void mapped_file_learnt(struct mapped_files *files, const struct proc_view *view,
                        const struct kinfo_vmentry *kve, const struct mapped_file *file)
{
    if (files->known_files >= MAPPED_FILE_LIMIT) {
        files->files.clear();
        files->known_files = 0;
    }
    files->files[raw_id{view->ns, kve->kve_vn_fsid, kve->kve_vn_fileid}].push_back(
        named_file{kve->kve_path, *file});
    files->known_files++;
}

ssize_t mapped_file_name(struct proc_view *view, const struct kinfo_vmentry *kve, char *buf,
                         size_t size)
{
    char name[64];
    mapped_file_entry(kve, name, sizeof name);
    ssize_t n = readlinkat(view->dir_fd, name, buf, size);
    if (n < 0)
        return -1;
    if ((size_t)n == size)
        return errno = ENAMETOOLONG, -1;
    buf[n] = '\0';
    return n;
}

void forget_mapped_file(struct mapped_files *files, const struct proc_view *view,
                        const struct kinfo_vmentry *kve)
{
    auto found = files->files.find(raw_id{view->ns, kve->kve_vn_fsid, kve->kve_vn_fileid});
    if (found == files->files.end())
        return;
    std::vector<named_file> &named = found->second;
    for (size_t i = 0; i < named.size(); i++) {
        if (named[i].name == kve->kve_path) {
            named.erase(named.begin() + (long)i);
            files->known_files--;
            return;
        }
    }
}
