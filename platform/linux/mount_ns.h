#ifndef VRIX_MOUNT_NS_H
#define VRIX_MOUNT_NS_H

#include <stddef.h>
#include <stdint.h>

struct procstat;
struct proc_view;

// What the layer knows of one mount namespace for the length of a scan: a
// handle on the namespace itself, so that its number is not handed to
// another namespace while the scan runs, and the prefix under which we
// reach its files.
struct mount_ns;

// Finds (or learns) the mount namespace of the process in view and sets the
// view's root prefix: "" in our own namespace; in another, a handle on that
// namespace's root held for the rest of the scan ("/proc/self/fd/N"), so
// that its files stay reachable after the process exits and every process
// of one container shares the same names. 0, or -1 with errno (ESRCH once
// the process is gone).
int enter_mount_ns(struct procstat *ps, struct proc_view *view);

// A view opened on a process is not yet placed in a namespace: its names
// are ours until one of them must be looked up where the process sees it.
// view_mount_ns places it then (as enter_mount_ns), at most once.
void view_unplaced(struct proc_view *view);
int view_mount_ns(struct procstat *ps, struct proc_view *view);

// Where the kernel named a file from, by the ID of the mount that holds it:
// from our own root when the mount is one of our namespace's, from the
// process's namespace root when it is one of that namespace's. A mount
// lazily unmounted from any namespace is named from its own root: that name
// leads to the file from nowhere.
enum { FRAME_OURS, FRAME_PROCESS, FRAME_DETACHED };
int mount_frame(struct proc_view *view, uint64_t mnt_id);

// Whether the mount is one of any namespace's that has a process (1), or
// was lazily unmounted (0); 1 where that cannot be told.
int mount_attached(uint64_t mnt_id);
void forget_attached_mounts(void);

// The handle on a namespace, -1 for ours.
int mount_ns_handle(const struct mount_ns *ns);

// The handle on the mount namespace whose root handle fd is, or -1 when fd
// is none of this layer's: a path under "/proc/self/fd/FD/" names a file of
// that namespace.
int ns_of_root_handle(int fd);

// Closes the handles and forgets what was learnt.
void forget_mount_namespaces(void);

#endif
