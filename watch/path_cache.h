#ifndef VRIX_PATH_CACHE_H
#define VRIX_PATH_CACHE_H

#include <stddef.h>

#include "lookup.h"

// What the lookups of a run found, by path. Asked once for every mapping of
// every process, so it is kept lean: an open-addressed table, the paths in
// one arena, nothing allocated per question. Bounded; when full it starts
// over.
const struct file_id *path_cache_find(const char *path);
void path_cache_put(const char *path, const struct file_id &id);
void path_cache_clear(void);

#endif
