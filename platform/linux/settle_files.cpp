#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "mapped_file.h"
#include "mount_ns.h"
#include "lookup.h"
#include "vmmap_builder.h"

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
static void settle_escaped_name(struct proc_view *view, struct kinfo_vmentry *kve, int exact)
{
    char *name = kve->kve_path + view->prefix_len;
    if (strchr(name, '\n') == nullptr)
        return;
    size_t room = sizeof kve->kve_path - view->prefix_len;
    if (exact) {
        char buf[sizeof kve->kve_path];
        if (mapped_file_name(view, kve, buf, room) >= 0)
            memcpy(name, buf, strlen(buf) + 1);
        return;
    }
    std::string decoded = kve->kve_path;
    std::string literal = view->root_prefix + escaped(name);
    if (literal.size() >= sizeof kve->kve_path || leads_to_file(decoded) ||
        leads_to_file(without_marker(decoded)))
        return;
    if (leads_to_file(literal) || leads_to_file(without_marker(literal)))
        memcpy(kve->kve_path, literal.c_str(), literal.size() + 1);
}

// Turns what maps said of a file mapping into what FreeBSD says: the
// identity of the mapped file as stat() gives it, and the name at which to
// look for the file now. -1 to drop the mapping (it is gone), 0 otherwise.
static int settle_file(struct procstat *ps, struct proc_view *view, struct kinfo_vmentry *kve)
{
    // most mappings of a process lie on the device of the one before
    if (kve->kve_vn_fsid == view->mounted_dev) {
        // mounted, as the last one was
    } else if (is_mounted_device(view, kve->kve_vn_fsid)) {
        view->mounted_dev = kve->kve_vn_fsid;
    } else {
        kve->kve_type = KVME_TYPE_SWAP;
        return 0;
    }
    if (strcmp(kve->kve_path, UNREADABLE_PATH) == 0)
        return 0;
    int exact = !ps->no_map_files;
    struct mapped_file file;
    if (exact && mapped_file_of(view, kve, &file) != 0) {
        if (errno != EPERM && errno != EACCES)
            return -1;
        ps->no_map_files = 1;  // not root: maps' own numbers it is
        exact = 0;
    }
    // PROCMAP_QUERY gives names unescaped
    if (ps->use_text_maps)
        settle_escaped_name(view, kve, exact);
    if (exact) {
        kve->kve_vn_fsid = file.dev;
        kve->kve_vn_fileid = file.ino;
    }
    strip_deleted_marker(kve->kve_path, kve->kve_vn_fsid, kve->kve_vn_fileid,
                         exact ? file.nlink : LINKS_UNKNOWN);
    return 0;
}

// A mapping whose map_files entry is gone was unmapped, unless the whole
// process is gone; one whose file cannot be had otherwise is an error of
// that mapping.
int settle_files(struct procstat *ps, struct proc_view *view, struct vmmap_builder *b)
{
    unsigned int kept = 0;
    for (unsigned int i = 0; i < b->count; i++) {
        struct kinfo_vmentry *kve = &b->map[i];
        if (kve->kve_type == KVME_TYPE_VNODE && settle_file(ps, view, kve) != 0) {
            int error = errno;
            if (faccessat(view->dir_fd, "stat", F_OK, 0) != 0)
                return errno = ESRCH, -1;
            if (error == ENOENT || error == ESRCH)
                continue;
            mark_name_too_long(kve);
        }
        if (kept != i)
            b->map[kept] = *kve;
        kept++;
    }
    b->count = kept;
    return 0;
}

