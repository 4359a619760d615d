#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "linux_procstat.h"
#include "lookup.h"

// Whether a file stands at path, asked as any mapped path is asked: watched
// and remembered for the run.
static int leads_to_file(const std::string &path)
{
    return look_up_path(path.c_str()).error == 0;
}

// The name with each newline written back as the kernel writes it.
static std::string escaped(const char *name)
{
    std::string text;
    for (const char *p = name; *p != '\0'; p++) {
        if (*p == '\n')
            text += "\\012";
        else
            text += *p;
    }
    return text;
}

static std::string without_marker(const std::string &path)
{
    return ends_with_deleted_marker(path.c_str()) ? path.substr(0, path.size() - DELETED_MARKER_LEN) : path;
}

// maps writes a newline in a name as \012 but a backslash as itself, so a
// name read from its text that holds a newline may have held "\012" instead.
// The kernel's own unescaped name (map_files) settles it. Without root, the
// literal name is taken only when it, and not the decoded one, leads to a
// file.
static void settle_escaped_name(struct proc_view *view, struct kinfo_vmentry *kve, int exact,
                                size_t prefix_len)
{
    char *name = kve->kve_path + prefix_len;
    if (strchr(name, '\n') == nullptr)
        return;
    size_t room = sizeof kve->kve_path - prefix_len;
    if (exact) {
        char buf[sizeof kve->kve_path];
        if (mapped_file_name(view, kve, buf, room) >= 0)
            memcpy(name, buf, strlen(buf) + 1);
        return;
    }
    std::string decoded = kve->kve_path;
    std::string literal = std::string(view->root_prefix, prefix_len) + escaped(name);
    if (literal.size() >= sizeof kve->kve_path || leads_to_file(decoded) ||
        leads_to_file(without_marker(decoded)))
        return;
    if (leads_to_file(literal) || leads_to_file(without_marker(literal)))
        memcpy(kve->kve_path, literal.c_str(), literal.size() + 1);
}

// The name of a mapping of another namespace's process without the
// namespace's root before it, when the kernel named the file from ours;
// the length of what stays before the name. A file on a detached mount is
// named from that mount's own root, which no frame reaches: its name is
// tried where the process looks, and kept only if it leads to that very
// file (see settle_doubted_names).
static size_t put_in_frame(struct proc_view *view, struct kinfo_vmentry *kve, int frame)
{
    if (frame == FRAME_OURS && view->prefix_len != 0)
        memmove(kve->kve_path, kve->kve_path + view->prefix_len,
                strlen(kve->kve_path + view->prefix_len) + 1);
    return frame == FRAME_OURS ? 0 : view->prefix_len;
}

// A name that the kernel's word puts in doubt: the file was unlinked from
// it (" (deleted)", or no links left), or it is named from a detached
// mount's root.
enum { NAME_SURE, NAME_UNLINKED, NAME_DETACHED };
struct doubted_name {
    unsigned int index;
    int doubt;
};

// The kernel's word comes first: a file unlinked from its name has no
// name, unless another file stands there now (replaced: the verdict's own
// lookup, which finds this one remembered, says so) or the file itself
// stands there again with links. Where the name cannot be asked (a
// directory held, a file system that does not answer, a budget spent) or
// leads nowhere, the mapping gets no name, as on FreeBSD: never an error.
// The very file at its name, with no links left, is gone all the same (a
// file bind-mounted elsewhere and deleted at its source). A file of a
// detached mount keeps its name only where the file itself stands at it,
// found without following a symbolic link, which anyone may have planted.
static void settle_doubted_names(struct vmmap_builder *b, const std::vector<doubted_name> &doubted)
{
    for (const doubted_name &d : doubted) {
        struct kinfo_vmentry *kve = &b->map[d.index];
        struct file_id now = d.doubt == NAME_DETACHED ? look_up_unfollowed(kve->kve_path)
                                                      : look_up_path(kve->kve_path);
        bool same = now.error == 0 && now.dev == kve->kve_vn_fsid && now.ino == kve->kve_vn_fileid;
        bool kept = d.doubt == NAME_DETACHED ? same && now.nlink != 0
                                              : now.error == 0 && !(same && now.nlink == 0);
        if (!kept)
            kve->kve_path[0] = '\0';
    }
}

// Whether dev holds files rather than kernel memory; most mappings of a
// process lie on the device of the one before.
static int holds_files(struct procstat *ps, struct proc_view *view, uint64_t dev, int exact)
{
    if (dev == view->file_dev)
        return 1;
    if (exact ? is_kernel_memory(&ps->kernel_memory, dev)
              : is_kernel_memory_in_maps(&ps->kernel_memory, dev))
        return 0;
    view->file_dev = dev;
    return 1;
}

// The file of a mapping the kernel marks deleted cannot be asked about (its
// file system did not answer, or must not be asked): the kernel's word
// stands, and the file has no name. Kernel memory is told by maps' device.
static int no_name(struct procstat *ps, struct kinfo_vmentry *kve)
{
    if (is_kernel_memory_in_maps(&ps->kernel_memory, kve->kve_vn_fsid))
        kve->kve_type = KVME_TYPE_SWAP;
    kve->kve_path[0] = '\0';
    return 0;
}

// Turns what maps said of a file mapping into what FreeBSD says: the
// identity of the mapped file as stat() gives it, and the name at which to
// look for the file now. Kernel memory is told apart by its device. -1 to
// drop the mapping (it is gone), 0 otherwise; *doubt when the kernel's
// word puts the name in doubt.
static int settle_file(struct procstat *ps, struct proc_view *view, struct kinfo_vmentry *kve,
                       int *doubt)
{
    if (strcmp(kve->kve_path, UNREADABLE_PATH) == 0)
        return 0;
    int exact = !ps->no_map_files;
    if (exact && maps_agree(&ps->agreement, view, kve))
        return 0;
    struct mapped_file file;
    if (exact && mapped_file_of(ps, view, kve, &file) != 0) {
        if (errno == ETIMEDOUT && ends_with_deleted_marker(kve->kve_path))
            return no_name(ps, kve);
        if (errno != EPERM && errno != EACCES)
            return -1;
        ps->no_map_files = 1;  // not root: maps' own numbers it is
        exact = 0;
    }
    if (!holds_files(ps, view, exact ? file.dev : kve->kve_vn_fsid, exact)) {
        kve->kve_type = KVME_TYPE_SWAP;
        return 0;
    }
    int frame =
        exact && file.has_mnt_id ? mount_frame(&ps->namespaces, view, file.mnt_id) : FRAME_PROCESS;
    // what was learnt of the file holds for every mapping of it through a
    // mount that a name reaches, not for one through a detached mount
    if (frame == FRAME_DETACHED)
        forget_mapped_file(&ps->files, view, kve);
    size_t prefix_len = exact ? put_in_frame(view, kve, frame) : view->prefix_len;
    if (exact) {
        kve->kve_vn_fsid = file.dev;
        kve->kve_vn_fileid = file.ino;
    }
    // PROCMAP_QUERY gives names unescaped
    if (ps->use_text_maps)
        settle_escaped_name(view, kve, exact, prefix_len);
    int unlinked = strip_deleted_marker(kve->kve_path, kve->kve_vn_fsid, kve->kve_vn_fileid,
                                        exact ? file.nlink : LINKS_UNKNOWN);
    *doubt = frame == FRAME_DETACHED                 ? NAME_DETACHED
             : unlinked || (exact && file.nlink == 0) ? NAME_UNLINKED
                                                       : NAME_SURE;
    return 0;
}

// A mapping whose map_files entry is gone was unmapped, unless the whole
// process is gone; one whose file cannot be had otherwise is an error of
// that mapping.
int settle_files(struct procstat *ps, struct proc_view *view, struct vmmap_builder *b)
{
    static std::vector<doubted_name> doubted;
    doubted.clear();
    unsigned int kept = 0;
    for (unsigned int i = 0; i < b->count; i++) {
        struct kinfo_vmentry *kve = &b->map[i];
        int doubt = NAME_SURE;
        int settled = kve->kve_type == KVME_TYPE_VNODE ? settle_file(ps, view, kve, &doubt) : 0;
        if (settled != 0) {
            int error = errno;
            if (faccessat(view->dir_fd, "stat", F_OK, 0) != 0)
                return errno = ESRCH, -1;
            if (error == ENOENT || error == ESRCH)
                continue;
            mark_name_too_long(kve);
        }
        if (kept != i)
            b->map[kept] = *kve;
        if (doubt != NAME_SURE)
            doubted.push_back(doubted_name{kept, doubt});
        kept++;
    }
    b->count = kept;
    if (!doubted.empty())
        settle_doubted_names(b, doubted);
    return 0;
}
