#ifndef VRIX_ROOTED_STAT_H
#define VRIX_ROOTED_STAT_H

#include <sys/stat.h>

// stat() as a process of another mount namespace would see the path: a
// path under one of this layer's namespace root handles
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

// A directory of our own frame, opened from the kernel's caches alone and
// held, with its place; -1 for a namespace's path or one the caches lack.
int rooted_dir(const char *dir, struct wait_place *place);

// One name in such a directory, a symbolic link at it not followed.
int rooted_at(int dir, const char *name, struct stat *sb);

// The handles a lookup of path needs: a namespace's root and the namespace.
int rooted_keeps(const char *path, int *fds, int max);

#endif
