#ifndef VRIX_NS_LOOKUP_H
#define VRIX_NS_LOOKUP_H

#include <sys/stat.h>
#include <sys/types.h>

#include <vector>

#include "file_identity.h"
#include "proc_view.h"

// Lookups from inside another user namespace. A filesystem mounted in a
// user namespace (FUSE there, a rootless container's fuse-overlayfs)
// refuses every process outside it, root included; the process itself can
// read its files. Such a lookup is asked of a helper that holds the
// process's authority and nothing of ours: forked when the process in view
// first needs it, it drops our groups, joins the process's user and mount
// namespaces through the process's directory handle, takes the process's
// IDs and groups as that namespace sees them, keeps no descriptor but its
// socket, and answers over it until the view moves on or vrix ends. The
// helper is the view's; the run keeps only the helpers it ended.

// Helpers killed and not yet waited for: one may sleep in a file system.
// The handle's, for the run.
struct ended_helpers {
    std::vector<pid_t> pids;
};

// Ends the view's helper, when the view moves on or ends.
void ns_lookup_end(struct proc_view *view, struct ended_helpers *ended);

// stat() of rest, a path from the root of the mount namespace held by
// ns_fd, as the process in view would see it; 0, or -1 with errno (the
// original refusal, EACCES, when no helper can be had: the process is in
// our own user namespace, or in another mount namespace than ns_fd).
int ns_lookup_stat(struct proc_view *view, struct ended_helpers *ended, int ns_fd,
                   const char *rest, struct stat *sb);

// The descriptors a lookup asked elsewhere needs to reach the helper of the
// view (its process's directory, its socket); their number.
int ns_lookup_keeps(const struct proc_view *view, int *fds, int max);

// The identity of the open file fd (a mapped file, opened O_PATH) as the
// process in view sees it, as a direct statx() would give it; 0, or -1
// with errno as above.
int ns_lookup_file(struct proc_view *view, struct ended_helpers *ended, int fd,
                   struct mapped_file *file);

#endif
