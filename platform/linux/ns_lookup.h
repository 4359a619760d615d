#ifndef VRIX_NS_LOOKUP_H
#define VRIX_NS_LOOKUP_H

#include <sys/stat.h>
#include <sys/types.h>

// Lookups from inside another user namespace. A filesystem mounted in a
// user namespace (FUSE there, a rootless container's fuse-overlayfs)
// refuses every process outside it, root included; the process itself can
// read its files. Such a lookup is asked of a helper that joined the
// process's user and mount namespaces and took its credentials: forked
// once per namespace met, it answers over a socket for the rest of the
// scan, and ends with the process that forked it.

// The process whose namespaces a refused lookup should be asked in.
void ns_lookup_process(pid_t pid);

// stat() of rest, a path from the root of the mount namespace held by
// ns_fd, as the current process would see it; 0, or -1 with errno (the
// original refusal, EACCES, when no helper can be had or the process is in
// our own user namespace).
int ns_lookup_stat(int ns_fd, const char *rest, struct stat *sb);

// Ends the helpers.
void forget_ns_lookups(void);

#endif
