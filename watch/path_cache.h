#ifndef VRIX_PATH_CACHE_H
#define VRIX_PATH_CACHE_H

#include <stddef.h>
#include <stdint.h>

#include "lookup.h"

// What the lookups of a run found, by path. Asked once for every mapping of
// every process, so it is kept lean: an open-addressed table, the paths in
// one arena, nothing allocated per question. Bounded; when full it starts
// over. No name a user makes costs a question more than any other name:
// where the fast hash's run for a path is full, the path goes to a table
// hashed under a key drawn for the run.
const struct file_id *path_cache_find(const char *path);
void path_cache_put(const char *path, const struct file_id &id);
void path_cache_clear(void);

// How many remembered paths the questions so far were compared with, byte
// for byte: what a question costs, beyond its hash.
uint64_t path_cache_compares(void);

#endif
