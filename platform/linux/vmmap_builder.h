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

// Makes the name of a file mapping one that stat() can judge: a name too
// long for the record becomes one whose status cannot be had, and a
// " (deleted)" marker the kernel added is cut.
void settle_file_name(struct kinfo_vmentry *kve, int fits);

// The two ways to read a map: the PROCMAP_QUERY ioctl (Linux 6.11 and
// later), and the text of the maps file. Both record only executable
// mappings of files and shared memory, the only ones through which a file
// can run code; 0, or -1 with errno set
// (ENOTTY from the first when the kernel lacks it).
int query_vmmap(int maps_fd, const char *prefix, struct vmmap_builder *b);
int read_text_vmmap(struct procstat *ps, int maps_fd, const char *prefix, struct vmmap_builder *b);

#endif
