#include <string.h>
#include <sys/param.h>
#include <sys/mount.h>
#include <sys/ucred.h>

#include "mounts.h"

// How deep point lies on path: its length when path is point or lies below
// it ("/" counts 1), else 0.
static size_t mount_depth(const char *path, const char *point)
{
    size_t len = strlen(point);
    if (len == 1 && point[0] == '/')
        return path[0] == '/' ? 1 : 0;
    return strncmp(path, point, len) == 0 && (path[len] == '/' || path[len] == '\0') ? len : 0;
}

// The deepest mount at path among count mounts; -1 when none holds it.
static int deepest(const struct statfs *mounts, int count, const char *path)
{
    size_t best = 0;
    int found = -1;
    for (int i = 0; i < count; i++) {
        size_t depth = mount_depth(path, mounts[i].f_mntonname);
        if (depth != 0 && depth >= best) {
            best = depth;
            found = i;
        }
    }
    return found;
}

// FreeBSD has one mount table, and its kernel names every mapped file from
// the host's root: the frame is always ours. A nullfs or unionfs mount
// waits on what it stands on: it takes the type of the mount below its
// source.
int mount_of(uint64_t, pid_t, const char *path, int, struct mount_info *out)
{
    struct statfs *mounts;
    // MNT_NOWAIT: the kernel's own list, without asking any file system
    int count = getmntinfo(&mounts, MNT_NOWAIT);
    int found = deepest(mounts, count, path);
    if (found < 0)
        return -1;
    strlcpy(out->type, mounts[found].f_fstypename, sizeof out->type);
    out->dev = (uint64_t)mounts[found].f_fsid.val[0];
    for (int hops = 0; hops < 8; hops++) {
        if (strcmp(out->type, "nullfs") != 0 && strcmp(out->type, "unionfs") != 0)
            break;
        int below = deepest(mounts, count, mounts[found].f_mntfromname);
        if (below < 0 || below == found)
            break;
        found = below;
        strlcpy(out->type, mounts[found].f_fstypename, sizeof out->type);
    }
    return 0;
}

int mount_by_dev(uint64_t, pid_t, uint64_t dev, int, struct mount_info *out)
{
    struct statfs *mounts;
    int count = getmntinfo(&mounts, MNT_NOWAIT);
    for (int i = 0; i < count; i++) {
        if ((uint64_t)mounts[i].f_fsid.val[0] == dev) {
            strlcpy(out->type, mounts[i].f_fstypename, sizeof out->type);
            out->dev = dev;
            return 0;
        }
    }
    return -1;
}

// No directory is held here (the system's lookups name whole paths): no
// table need be watched for it.
uint64_t mount_table_generation(uint64_t)
{
    return 0;
}

int may_stall(const char *type)
{
    static const char *const REMOTE[] = {"nfs", "smbfs", "fusefs", "p9fs"};
    for (const char *remote : REMOTE) {
        if (strncmp(type, remote, strlen(remote)) == 0)
            return 1;
    }
    return 0;
}
