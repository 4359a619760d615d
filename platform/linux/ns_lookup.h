#ifndef VRIX_NS_LOOKUP_H
#define VRIX_NS_LOOKUP_H

#include <sys/stat.h>
#include <sys/types.h>

#include "mapped_file.h"

struct proc_view;

// Lookups from inside another user namespace. A filesystem mounted in a
// user namespace (FUSE there, a rootless container's fuse-overlayfs)
// refuses every process outside it, root included; the process itself can
// read its files. Such a lookup is asked of a helper that holds the
// process's authority and nothing of ours: forked when the process in view
// first needs it, it drops our groups, joins the process's user and mount
// namespaces through the process's directory handle, takes the process's
// IDs and groups as that namespace sees them, keeps no descriptor but its
// socket, and answers over it until the view moves on or vrix ends.

// The view whose process answers refused lookups from now on; its helper,
// if any, ends when the view moves on (ns_lookup_end).
void ns_lookup_view(struct proc_view *view);

// Ends the view's helper.
void ns_lookup_end(struct proc_view *view);

// stat() of rest, a path from the root of the mount namespace held by
// ns_fd, as the process in view would see it; 0, or -1 with errno (the
// original refusal, EACCES, when no helper can be had: the process is in
// our own user namespace, or in another mount namespace than ns_fd).
int ns_lookup_stat(int ns_fd, const char *rest, struct stat *sb);

// The descriptors a lookup asked elsewhere needs to reach the helper of the
// view (its process's directory, its socket); their number.
int ns_lookup_keeps(int *fds, int max);

// The identity of the open file fd (a mapped file, opened O_PATH) as the
// process in view sees it, as a direct statx() would give it; 0, or -1
// with errno as above.
int ns_lookup_file(int fd, struct mapped_file *file);

#endif
