#ifndef VRIX_FRAMES_H
#define VRIX_FRAMES_H

// Frames: where the kernel named a mapped file from. A process of another
// mount namespace has its files named from that namespace's root, which we
// reach through a handle on it; a mount lazily unmounted from every
// namespace is named from its own root, and no name leads to it. What is
// learnt of the namespaces lasts for the run, in the struct below, which
// the handle owns and hands in; the frame of one process lives in its view.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "proc_view.h"

// The IDs of a namespace's mounts, read when first needed and again when a
// mount not yet seen is met (once for each such ID).
struct mount_list {
    bool read;
    std::unordered_set<uint64_t> ids;
    std::unordered_set<uint64_t> asked;
};

// What the layer knows of one mount namespace for the length of a scan: a
// handle on the namespace itself, so that its number is not handed to
// another namespace while the scan runs, and the prefix under which we
// reach its files.
struct mount_ns {
    uint64_t key;  // its number, which names it to the watch; 0 for ours
    int ns_fd;    // -1 for ours, which cannot end while we are in it
    int root_fd;  // -1 for ours
    std::string prefix;
    mutable mount_list mounts;
};

// Every mount of every mount namespace that has a process, as their
// mountinfo lists them: a mount in none of them was lazily unmounted. Read
// for the run when a mount outside the namespaces at hand is first met, and
// again for each further such mount, which may be newer than the reading.
struct attached_mounts {
    std::unordered_set<uint64_t> attached;
    std::unordered_set<uint64_t> asked;
    // Some namespace's mounts could not all be read: a mount missing from
    // the lists proves nothing.
    bool partial;
};

struct mount_namespaces {
    // Keyed by the namespace link's text ("mnt:[4026531841]"). The kernel
    // hands a freed namespace's number to the next new one; the handle held
    // on each namespace met keeps its number from being reused during the
    // scan.
    std::unordered_map<std::string, mount_ns> namespaces;
    const mount_ns *own_ns;
    // The root handles, for telling a path under one from any other.
    std::unordered_map<int, int> root_handles;  // root handle: namespace handle
    struct attached_mounts attached;
};

// Finds (or learns) the mount namespace of the process in view, whose link
// ours reads own_link, and sets the view's root prefix: "" in our own
// namespace; in another, a handle on that namespace's root held for the
// rest of the scan ("/proc/self/fd/N"), so that its files stay reachable
// after the process exits and every process of one container shares the
// same names. 0, or -1 with errno (ESRCH once the process is gone).
int enter_mount_ns(struct mount_namespaces *mn, const char *own_link, struct proc_view *view);

// A view just opened, not yet placed in its namespace.
void view_unplaced(struct proc_view *view);

// Where the kernel named a file from, by the ID of the mount that holds it:
// from our own root when the mount is one of our namespace's, from the
// process's namespace root when it is one of that namespace's. A mount
// lazily unmounted from any namespace is named from its own root: that name
// leads to the file from nowhere.
enum { FRAME_OURS, FRAME_PROCESS, FRAME_DETACHED };
int mount_frame(struct mount_namespaces *mn, struct proc_view *view, uint64_t mnt_id);

// Whether the mount is one of any namespace's that has a process (1), or
// was lazily unmounted (0); 1 where that cannot be told.
int mount_attached(struct attached_mounts *am, uint64_t mnt_id);

// The handle on a namespace, -1 for ours.
int mount_ns_handle(const struct mount_ns *ns);

// The handle on the mount namespace whose root handle fd is, or -1 when fd
// is none of this layer's: a path under "/proc/self/fd/FD/" names a file of
// that namespace.
int ns_of_root_handle(const struct mount_namespaces *mn, int fd);

// Closes the handles, at the end of the run.
void close_mount_namespaces(struct mount_namespaces *mn);

#endif
