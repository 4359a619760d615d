#ifndef VRIX_PROCESS_MAP_H
#define VRIX_PROCESS_MAP_H

// The map of a process as FreeBSD's records hold it, read in one of two
// ways: the PROCMAP_QUERY ioctl (Linux 6.11 and later), and the text of
// /proc/PID/maps. Names are as the kernel gave them, marker and all; what
// they name is settled above.

#include <stddef.h>
#include <sys/types.h>

#include "platform.h"

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

// Turns one line of /proc/PID/maps (without its LF) into a record as the
// FreeBSD kernel would fill it; the path of a file is prefix and its name.
// The path keeps a " (deleted)" marker; the caller decides whether it is
// one. Returns 1; 0 for a malformed line; -1 when the path does not fit
// kve_path (all other fields are filled).
int parse_maps_line(const char *line, size_t len, const char *prefix, struct kinfo_vmentry *kve);

// The kind of a mapping from its name: a file (or kernel memory named like
// one, told apart later by its device), or anonymous memory and other
// special mappings ([vdso], anon_inode:...).
int mapping_type(const char *name);

// The buffer the text of maps is read into, kept for the run (the handle's)
// so that a map needs no allocation of its own.
struct maps_buffer {
    char *buffer;
    size_t buffer_size;
};

// The two ways to read a map. Both record only executable mappings of files
// and shared memory, the only ones through which a file can run code; 0, or
// -1 with errno set (ENOTTY from the first when the kernel lacks it).
int query_vmmap(int maps_fd, const char *prefix, struct vmmap_builder *b);
int read_text_vmmap(struct maps_buffer *mb, int maps_fd, const char *prefix,
                    struct vmmap_builder *b);

#endif
