#include "mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <unordered_map>

// A file is known by its name (which holds the namespace's prefix) and the
// numbers maps gives it: two containers of one image share the inodes of
// their lower layer but not their names. Bounded; when full it starts over.
enum { MAPPED_FILE_LIMIT = 16384 };
static std::unordered_map<std::string, mapped_file> files;

static void entry_name(const struct kinfo_vmentry *kve, char *name, size_t size)
{
    snprintf(name, size, "map_files/%llx-%llx", (unsigned long long)kve->kve_start,
             (unsigned long long)kve->kve_end);
}

// AT_STATX_DONT_SYNC: the identity of a file never changes, so there is no
// need to ask a network or FUSE filesystem, which might not answer.
static int stat_entry(struct proc_view *view, const struct kinfo_vmentry *kve,
                      struct mapped_file *file)
{
    char name[64];
    entry_name(kve, name, sizeof name);
    struct statx stx;
    if (statx(view->dir_fd, name, AT_STATX_DONT_SYNC, STATX_INO | STATX_NLINK, &stx) != 0)
        return -1;
    file->dev = (uint64_t)makedev(stx.stx_dev_major, stx.stx_dev_minor);
    file->ino = stx.stx_ino;
    file->nlink = stx.stx_nlink;
    return 0;
}

int mapped_file_of(struct proc_view *view, const struct kinfo_vmentry *kve,
                   struct mapped_file *file)
{
    static std::string key;
    key.assign(kve->kve_path);
    key.append((const char *)&kve->kve_vn_fsid, sizeof kve->kve_vn_fsid);
    key.append((const char *)&kve->kve_vn_fileid, sizeof kve->kve_vn_fileid);
    auto found = files.find(key);
    if (found != files.end()) {
        *file = found->second;
        return 0;
    }
    if (stat_entry(view, kve, file) != 0)
        return -1;
    if (files.size() >= MAPPED_FILE_LIMIT)
        files.clear();
    files.emplace(key, *file);
    return 0;
}

ssize_t mapped_file_name(struct proc_view *view, const struct kinfo_vmentry *kve, char *buf,
                         size_t size)
{
    char name[64];
    entry_name(kve, name, sizeof name);
    ssize_t n = readlinkat(view->dir_fd, name, buf, size);
    if (n < 0)
        return -1;
    if ((size_t)n == size)
        return errno = ENAMETOOLONG, -1;
    buf[n] = '\0';
    return n;
}

void forget_mapped_files(void)
{
    files.clear();
}
