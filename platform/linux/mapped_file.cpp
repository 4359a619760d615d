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
#include <vector>

#include "ns_lookup.h"
#include "watch.h"

// A file is known by the numbers maps gives it, the mount namespace it was
// seen in and its name: two containers of one image share the inodes of
// their lower layer, and so may two overlays in one namespace, but not
// their names. The numbers are hashed, the name only compared, which keeps
// the cost per mapping low. Bounded; when full it starts over.
enum { MAPPED_FILE_LIMIT = 16384 };

struct raw_id {
    const struct mount_ns *ns;
    uint64_t dev;
    uint64_t ino;
    bool operator==(const raw_id &o) const { return ns == o.ns && dev == o.dev && ino == o.ino; }
};

struct raw_id_hash {
    size_t operator()(const raw_id &id) const
    {
        return std::hash<uint64_t>()(id.ino * 0x9e3779b97f4a7c15ULL ^ id.dev) ^
               std::hash<const void *>()(id.ns);
    }
};

struct named_file {
    std::string name;
    mapped_file file;
};

static std::unordered_map<raw_id, std::vector<named_file>, raw_id_hash> files;
static size_t known_files;

static void entry_name(const struct kinfo_vmentry *kve, char *name, size_t size)
{
    snprintf(name, size, "map_files/%llx-%llx", (unsigned long long)kve->kve_start,
             (unsigned long long)kve->kve_end);
}

// AT_STATX_DONT_SYNC: the identity of a file never changes, so there is no
// need to ask a network or FUSE filesystem, which might not answer. A file
// system that refuses us (FUSE in a user namespace) is asked by the
// process's helper, through the file itself: the link opened O_PATH asks
// nothing of the file system. Where the link cannot be opened either,
// map_files is closed to us (not root).
int stat_proc_link(struct proc_view *view, const char *name, struct mapped_file *file)
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
    int fd = openat(view->dir_fd, name, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int result = ns_lookup_file(fd, file);
    int error = errno;
    close(fd);
    // refused by the file system, not map_files: an error of this file
    return result == 0 ? 0 : (errno = error == EACCES || error == ESTALE ? EIO : error, -1);
}

static int stat_entry(struct proc_view *view, const struct kinfo_vmentry *kve,
                      struct mapped_file *file)
{
    char name[64];
    entry_name(kve, name, sizeof name);
    // the file's own system is not asked, but it is where a wait would be
    int wait_class = watch_call_begin(kve->kve_path, kve->kve_vn_fsid);
    if (wait_class < 0)
        return -1;
    int result = stat_proc_link(view, name, file);
    int error = errno;
    watch_call_end(wait_class);
    return result == 0 ? 0 : (errno = error, -1);
}

int mapped_file_of(struct proc_view *view, const struct kinfo_vmentry *kve,
                   struct mapped_file *file)
{
    raw_id id = {view->ns, kve->kve_vn_fsid, kve->kve_vn_fileid};
    auto found = files.find(id);
    if (found != files.end()) {
        for (const named_file &known : found->second) {
            if (known.name == kve->kve_path)
                return *file = known.file, 0;
        }
    }
    if (stat_entry(view, kve, file) != 0)
        return -1;
    if (known_files >= MAPPED_FILE_LIMIT) {
        files.clear();
        known_files = 0;
    }
    files[id].push_back(named_file{kve->kve_path, *file});
    known_files++;
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

void forget_mapped_file(struct proc_view *view, const struct kinfo_vmentry *kve)
{
    auto found = files.find(raw_id{view->ns, kve->kve_vn_fsid, kve->kve_vn_fileid});
    if (found == files.end())
        return;
    std::vector<named_file> &named = found->second;
    for (size_t i = 0; i < named.size(); i++) {
        if (named[i].name == kve->kve_path) {
            named.erase(named.begin() + (long)i);
            known_files--;
            return;
        }
    }
}

void forget_mapped_files(void)
{
    files.clear();
    known_files = 0;
}
