#include "rooted_stat.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "lookup.h"
#include "mount_ns.h"
#include "ns_lookup.h"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

static const char HANDLE_PREFIX[] = "/proc/self/fd/";

static bool no_openat2;

// The handle and the rest of a path under one of our namespace roots, with
// the namespace's own handle; -1 for any other path.
static int root_handle_of(const char *path, const char **rest, int *ns_fd)
{
    size_t len = sizeof HANDLE_PREFIX - 1;
    if (strncmp(path, HANDLE_PREFIX, len) != 0 || path[len] < '0' || path[len] > '9')
        return -1;
    char *end = nullptr;
    long fd = strtol(path + len, &end, 10);
    if ((*end != '/' && *end != '\0') || fd > 0x7fffffff ||
        (*ns_fd = ns_of_root_handle((int)fd)) < 0)
        return -1;
    // the root itself
    *rest = *end == '\0' || end[1] == '\0' ? "." : end + 1;
    return (int)fd;
}

// The lookup that may wait on a filesystem: the open and the fstat(). With
// root_fd AT_FDCWD, rest is a path of our own.
static int stat_in_root(int root_fd, const char *rest, struct stat *sb)
{
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    if (root_fd != AT_FDCWD)
        how.resolve |= RESOLVE_IN_ROOT;
    if (!lookup_follows)
        how.resolve |= RESOLVE_NO_SYMLINKS;
    int fd = (int)syscall(SYS_openat2, root_fd, rest, &how, sizeof how);
    if (fd < 0)
        return -1;
    int result = fstat(fd, sb);
    int error = errno;
    close(fd);
    return result != 0 ? (errno = error, -1) : 0;
}

int rooted_stat(const char *path, struct stat *sb)
{
    const char *rest = nullptr;
    int ns_fd = -1;
    int root_fd = root_handle_of(path, &rest, &ns_fd);
    // a name of our own needs openat2() only to see a symbolic link on the
    // way
    if (root_fd < 0 && lookup_follows)
        return stat(path, sb);
    int result = no_openat2 ? -1
                            : root_fd < 0 ? stat_in_root(AT_FDCWD, path, sb)
                                          : stat_in_root(root_fd, rest, sb);
    if (result != 0 && (no_openat2 || errno == ENOSYS)) {
        no_openat2 = true;  // before Linux 5.6
        result = stat(path, sb);
    }
    // a file system mounted in the process's user namespace refuses us, not
    // the process
    if (root_fd >= 0 && result != 0 && errno == EACCES)
        return ns_lookup_stat(ns_fd, rest, sb);
    return result;
}

int rooted_keeps(const char *path, int *fds, int max)
{
    const char *rest = nullptr;
    int ns_fd = -1;
    int root_fd = root_handle_of(path, &rest, &ns_fd);
    if (root_fd < 0 || max < 2)
        return 0;
    fds[0] = root_fd;
    fds[1] = ns_fd;
    return 2 + ns_lookup_keeps(fds + 2, max - 2);
}
