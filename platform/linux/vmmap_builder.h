#ifndef VRIX_VMMAP_BUILDER_H
#define VRIX_VMMAP_BUILDER_H

#include "linux_procstat.h"

// The map handed to the caller, grown one record at a time; released with
// free() like FreeBSD's.
struct vmmap_builder {
    struct kinfo_vmentry *map;
    unsigned int count;
    unsigned int capacity;
};

// A new record at the end, or null (ENOMEM).
struct kinfo_vmentry *vmmap_append(struct vmmap_builder *b);

// The name given to a mapping whose file cannot be had: a walk through a
// device node fails with ENOTDIR, so that it counts as an error of that
// mapping.
extern const char UNREADABLE_PATH[];

// A file mapping whose name does not fit the record: it gets a name whose
// status cannot be had, so that it counts as an error of that mapping and is
// never cut into another file's name.
void mark_name_too_long(struct kinfo_vmentry *kve);

// The two ways to read a map: the PROCMAP_QUERY ioctl (Linux 6.11 and
// later), and the text of the maps file. Both record only executable
// mappings of files and shared memory, the only ones through which a file
// can run code; 0, or -1 with errno set
// (ENOTTY from the first when the kernel lacks it).
int query_vmmap(int maps_fd, const char *prefix, struct vmmap_builder *b);
int read_text_vmmap(struct procstat *ps, int maps_fd, const char *prefix, struct vmmap_builder *b);

// Settles the file mappings of a map just read (settle_files.cpp): their
// identity, their names, kernel memory told apart; mappings that are gone
// are dropped. 0, or -1 with errno (ESRCH when the process is gone), or
// SETTLE_NEEDS_NS, the map untouched, when a mapping's name must be looked
// up where the process sees it and the view is not yet placed in its mount
// namespace (mount_ns.h).
enum { SETTLE_NEEDS_NS = 1 };
int settle_files(struct procstat *ps, struct proc_view *view, struct vmmap_builder *b);

#endif
