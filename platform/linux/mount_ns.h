#ifndef VRIX_MOUNT_NS_H
#define VRIX_MOUNT_NS_H

#include <stdint.h>

struct procstat;
struct proc_view;

// What the layer knows of one mount namespace for the length of a scan: the
// devices its filesystems are mounted from and the prefix under which we
// reach its files.
struct mount_ns;

// Finds (or learns) the mount namespace of the process in view and sets the
// view's root prefix: "" in our own namespace; in another, a handle on that
// namespace's root held for the rest of the scan ("/proc/self/fd/N"), so
// that its files stay reachable after the process exits and every process
// of one container shares the same names. 0, or -1 with errno (ESRCH once
// the process is gone).
int enter_mount_ns(struct procstat *ps, struct proc_view *view);

// Whether a filesystem of our namespace or of the process's is mounted from
// dev. A mapping on any other device is kernel memory (shared anonymous
// memory, System V segments, memfd, huge pages, AIO rings, DMA buffers...),
// whose filesystem is mounted nowhere: never a file on disk.
int is_mounted_device(const struct proc_view *view, uint64_t dev);

// Closes the handles and forgets what was learnt.
void forget_mount_namespaces(void);

#endif
