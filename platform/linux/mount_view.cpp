#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "linux_procstat.h"

// A process in our own mount namespace names its files as we do, even from
// inside a chroot. In another namespace, maps names them from the root of
// that namespace: its root directory (/proc/.../root) plus one ".." for each
// component of that root's own path in the namespace, which also covers a
// chroot inside a container.
void set_root_prefix(struct procstat *ps, struct proc_view *view)
{
    view->root_prefix[0] = '\0';
    view->prefix_len = 0;
    char mnt_ns[sizeof ps->mnt_ns];
    if (read_ns_link(view->dir_fd, "ns/mnt", mnt_ns, sizeof mnt_ns) != 0)
        return;  // not ours to see; its maps will say so
    if (strcmp(mnt_ns, ps->mnt_ns) == 0)
        return;

    char root[PATH_MAX];
    ssize_t n = readlinkat(view->dir_fd, "root", root, sizeof root - 1);
    if (n < 0)
        return;
    root[n] = '\0';
    int len = snprintf(view->root_prefix, sizeof view->root_prefix, "%s/root", view->dir_path);
    for (const char *p = root; *p != '\0'; p++) {
        if (*p == '/' && p[1] != '/' && p[1] != '\0' && len + 3 < (int)sizeof view->root_prefix)
            len += snprintf(view->root_prefix + len, sizeof view->root_prefix - (size_t)len, "/..");
    }
    view->prefix_len = (size_t)len;
}
