#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "linux_procstat.h"
#include "lookup.h"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif
#ifndef RESOLVE_CACHED
#define RESOLVE_CACHED 0x20
#endif

static const char HANDLE_PREFIX[] = "/proc/self/fd/";

static bool no_openat2;

// The handle and the rest of a path under one of the namespace roots of
// the handle in use (lookup_context), with the namespace's own handle; -1
// for any other path.
static int root_handle_of(const char *path, const char **rest, int *ns_fd)
{
    const struct procstat *ps = (const struct procstat *)lookup_context;
    size_t len = sizeof HANDLE_PREFIX - 1;
    if (ps == nullptr || strncmp(path, HANDLE_PREFIX, len) != 0 || path[len] < '0' ||
        path[len] > '9')
        return -1;
    char *end = nullptr;
    long fd = strtol(path + len, &end, 10);
    if ((*end != '/' && *end != '\0') || fd > 0x7fffffff ||
        (*ns_fd = ns_of_root_handle(&ps->namespaces, (int)fd)) < 0)
        return -1;
    // the root itself
    *rest = *end == '\0' || end[1] == '\0' ? "." : end + 1;
    return (int)fd;
}

static int open_in_root(int root_fd, const char *rest, uint64_t resolve, int flags)
{
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_CLOEXEC | (uint64_t)flags;
    how.resolve = resolve | RESOLVE_NO_MAGICLINKS;
    if (root_fd != AT_FDCWD)
        how.resolve |= RESOLVE_IN_ROOT;
    return (int)syscall(SYS_openat2, root_fd, rest, &how, sizeof how);
}

// The identity of an open file. It never changes, so its file system is not
// asked (a network or FUSE one might not answer); one that refuses us all
// but its device (FUSE in a user namespace) gives that alone, with mask 0.
static int stat_at(int fd, const char *name, int flags, unsigned mask, struct stat *sb)
{
    struct statx stx;
    if (statx(fd, name, flags | AT_STATX_DONT_SYNC, mask, &stx) != 0)
        return -1;
    memset(sb, 0, sizeof *sb);
    sb->st_dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    sb->st_ino = (ino_t)stx.stx_ino;
    sb->st_nlink = (nlink_t)stx.stx_nlink;
    sb->st_mode = (mode_t)stx.stx_mode;
    return 0;
}

static int identity(int fd, unsigned mask, struct stat *sb)
{
    return stat_at(fd, "", AT_EMPTY_PATH, mask, sb);
}

// Where a lookup in the open directory fd waits: its device and inode, or
// its device alone where its file system tells us no more.
static int place_of(int fd, struct wait_place *place)
{
    struct stat sb;
    int known = identity(fd, STATX_INO, &sb) == 0 ? 1 : identity(fd, 0, &sb) == 0 ? 0 : -1;
    if (known < 0)
        return -1;
    place->dev = (uint64_t)sb.st_dev;
    place->ino = known ? (uint64_t)sb.st_ino : 0;
    return 0;
}

// The lookup, with root_fd AT_FDCWD for a path of our own: the open and the
// file's identity.
static int stat_in_root(int root_fd, const char *rest, uint64_t resolve, struct stat *sb)
{
    int flags = 0;
    if (lookup_no_links) {
        resolve |= RESOLVE_NO_SYMLINKS;
        flags = O_NOFOLLOW;  // with O_PATH: a link at the name is opened itself
    }
    int fd = open_in_root(root_fd, rest, resolve, flags);
    if (fd < 0)
        return -1;
    int result = identity(fd, STATX_BASIC_STATS, sb);
    int error = errno;
    close(fd);
    return result != 0 ? (errno = error, -1) : 0;
}

// From the kernel's caches alone: it never waits, so a symbolic link on the
// way may lead anywhere. EAGAIN for anything the caches cannot answer, a
// refusal that the process's view may not share included.
static int cached_stat(int root_fd, const char *rest, struct stat *sb)
{
    if (stat_in_root(root_fd, rest, RESOLVE_CACHED, sb) == 0)
        return 0;
    if (errno == EINVAL || errno == ENOSYS) {
        lookup_can_cache = 0;  // before Linux 5.12
        return errno = EAGAIN, -1;
    }
    if (root_fd != AT_FDCWD && (errno == EACCES || errno == ESTALE))
        return errno = EAGAIN, -1;
    return -1;
}

int rooted_stat(const char *path, struct stat *sb)
{
    const char *rest = nullptr;
    int ns_fd = -1;
    int root_fd = root_handle_of(path, &rest, &ns_fd);
    if (lookup_cached)
        return cached_stat(root_fd < 0 ? AT_FDCWD : root_fd, root_fd < 0 ? path : rest, sb);
    // a name of our own needs openat2() only to see a symbolic link on the
    // way
    if (root_fd < 0 && lookup_follows && !lookup_no_links)
        return stat(path, sb);
    uint64_t resolve = root_fd < 0 && !lookup_follows ? RESOLVE_NO_SYMLINKS : 0;
    int result = no_openat2 ? -1
                            : root_fd < 0 ? stat_in_root(AT_FDCWD, path, resolve, sb)
                                          : stat_in_root(root_fd, rest, resolve, sb);
    if (result != 0 && (no_openat2 || errno == ENOSYS)) {
        no_openat2 = true;  // before Linux 5.6
        result = lookup_no_links ? lstat(path, sb) : stat(path, sb);
    }
    // a file system mounted in the process's user namespace refuses us, not
    // the process; so may one stacked on it (an overlay on such a FUSE
    // gives ESTALE)
    // (the helper follows links: a name that must not be followed is left
    // unanswered)
    if (root_fd >= 0 && result != 0 && (errno == EACCES || errno == ESTALE) && !lookup_no_links) {
        struct procstat *ps = (struct procstat *)lookup_context;
        return ns_lookup_stat(&ps->view, &ps->ended, ns_fd, rest, sb);
    }
    return result;
}

// The directory above name: "/" above "/a", "." above "a".
static bool cut_last(std::string *name)
{
    if (*name == "/" || *name == ".")
        return false;
    while (name->size() > 1 && name->back() == '/')
        name->pop_back();
    size_t slash = name->rfind('/');
    if (slash == std::string::npos)
        *name = ".";
    else
        name->erase(slash == 0 ? 1 : slash);
    return true;
}

// The deepest directory on the way to path that the caches reach: the
// first name they lack is looked for there, and that is where a lookup
// waits. A symbolic link on the way is followed, as it leads to where the
// lookup goes.
int rooted_place(const char *path, struct wait_place *place)
{
    const char *rest = nullptr;
    int ns_fd = -1;
    int root_fd = root_handle_of(path, &rest, &ns_fd);
    std::string dir = root_fd < 0 ? path : rest;
    if (root_fd < 0)
        root_fd = AT_FDCWD;
    while (cut_last(&dir)) {
        int fd = open_in_root(root_fd, dir.c_str(), RESOLVE_CACHED, O_DIRECTORY);
        if (fd < 0)
            continue;
        int placed = place_of(fd, place);
        close(fd);
        return placed;
    }
    return -1;
}

int rooted_dir(const char *dir, struct wait_place *place)
{
    const char *rest = nullptr;
    int ns_fd = -1;
    if (!lookup_can_cache || root_handle_of(dir, &rest, &ns_fd) >= 0)
        return -1;
    int fd = open_in_root(AT_FDCWD, dir, RESOLVE_CACHED, O_DIRECTORY);
    if (fd >= 0 && place_of(fd, place) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int rooted_at(int dir, const char *name, struct stat *sb)
{
    return stat_at(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, sb);
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
    const struct procstat *ps = (const struct procstat *)lookup_context;
    return 2 + ns_lookup_keeps(&ps->view, fds + 2, max - 2);
}
