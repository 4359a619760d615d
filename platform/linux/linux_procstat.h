#ifndef VRIX_LINUX_PROCSTAT_H
#define VRIX_LINUX_PROCSTAT_H

// The top of the Linux layer: the handle, the view that ties the layers
// below together for one process, and libprocstat's calls (platform.h).
// The handle owns what lasts for the run, each layer's part of it, and
// hands it down; nothing below reaches up for it. See README.md.

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "file_identity.h"
#include "frames.h"
#include "ns_lookup.h"
#include "platform.h"
#include "proc_view.h"
#include "process_map.h"

// Before Linux 6.10, the first processes of other namespaces are found by
// reading every process's namespace link once, when a row first needs one.
struct jail_ids {
    bool no_pid_translation;
    bool inits_read;
    std::map<std::string, pid_t> inits;
};

// The handle: /proc, our own namespaces, the process last asked about, and
// what is learnt for the run.
struct procstat {
    int proc_fd;
    char mnt_ns[64];  // our mount namespace, as its link reads: "mnt:[4026531841]"
    char pid_ns[64];  // our PID namespace
    struct proc_view view;
    int use_text_maps;  // the kernel has no PROCMAP_QUERY
    int no_map_files;   // map_files cannot be read (not root): maps' own numbers are used
    struct maps_buffer maps;  // reused for reading maps
    struct mapped_files files;
    struct kernel_memory kernel_memory;
    struct maps_agreement agreement;
    struct mount_namespaces namespaces;
    struct ended_helpers ended;
    struct jail_ids jails;
};

// The view of a process, opened on first use; null with errno ESRCH once the
// process is gone.
struct proc_view *proc_view(struct procstat *ps, pid_t pid);

// Moves the view to /proc/TID, a live thread of the process; 0, or -1.
int proc_view_thread(struct procstat *ps, pid_t tid);

// The jail ID of process pid into *jid: 0 in our own PID namespace, else the
// pid of the first process of the process's namespace. 0, or -1 with errno
// ESRCH once the process is gone. Asked only for a record of one process:
// the list leaves ki_jid 0, as reading a link for every process would cost.
int jail_id_of(struct procstat *ps, pid_t pid, int *jid);

// The file that the link name of the process directory leads to
// ("map_files/START-END", "exe"), as the process would see it: where its
// file system refuses us, the process's helper is asked. 0, or -1 with
// errno (EPERM or EACCES: the link is closed to us; EIO: its file system
// refuses us and no helper could ask for us).
int identify_link(struct procstat *ps, struct proc_view *view, const char *name,
                  struct mapped_file *file);

// The mapped file of kve, through map_files; learnt once per file, mount
// namespace and run. 0, or -1 with errno (EPERM or EACCES without root,
// ENOENT when the mapping or the process is gone).
int mapped_file_of(struct procstat *ps, struct proc_view *view, const struct kinfo_vmentry *kve,
                   struct mapped_file *file);

// Places a view in its process's mount namespace (frames.h), once: read
// before its map, as every name is looked up where the process sees it.
// 0, or -1 with errno (ESRCH once the process is gone).
int view_mount_ns(struct procstat *ps, struct proc_view *view);

// Settles the file mappings of a map just read (settle_files.cpp): their
// identity, their names, kernel memory told apart; mappings that are gone
// are dropped; the view is placed in its mount namespace first. 0, or -1 with
// errno (ESRCH when the process is gone).
int settle_files(struct procstat *ps, struct proc_view *view, struct vmmap_builder *b);

// The lookups of the run (lookup.h), for the handle in lookup_context.
// stat() as a process of another mount namespace would see the path: a
// path under one of the handle's namespace root handles
// ("/proc/self/fd/N/rest") is resolved inside that root, so that an
// absolute symbolic link on the way leads where it leads in the namespace,
// and ".." never climbs out of it (openat2() with RESOLVE_IN_ROOT, Linux 5.6
// and later; before, the path is resolved as any other, and such a link is
// followed from our own root). A lookup there that the file system refuses
// us (EACCES) is asked from inside the process's user namespace (see
// ns_lookup.h). Any other path is plain stat().
int rooted_stat(const char *path, struct stat *sb);

// With lookup_cached, the same from the kernel's caches alone, EAGAIN where
// they cannot answer (openat2() with RESOLVE_CACHED, Linux 5.12 and later).

// Where a lookup of path that the caches cannot answer would wait.
struct wait_place;
int rooted_place(const char *path, struct wait_place *place);

// The handles a lookup of path needs: a namespace's root and the namespace.
int rooted_keeps(const char *path, int *fds, int max);

// A directory of our own frame, opened from the kernel's caches alone and
// held, with its place; -1 for a namespace's path or one the caches lack.
int rooted_dir(const char *dir, struct wait_place *place);

// One name in such a directory, a symbolic link at it not followed.
int rooted_at(int dir, const char *name, struct stat *sb);

#endif
