#ifndef VRIX_MAPS_LINE_H
#define VRIX_MAPS_LINE_H

#include <stddef.h>

#include "platform.h"

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

#endif
