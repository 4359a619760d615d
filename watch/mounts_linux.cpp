#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "mounts.h"

// Mount tables by frame, read once each: a mount that appears later in the
// run is found in the table of no frame and judged as none.
static std::unordered_map<uint64_t, std::vector<struct mount_info>> tables;

// mountinfo writes space, tab, newline and backslash in a mount point as \ooo.
static void unescape(const char *from, char *to, size_t size)
{
    size_t n = 0;
    while (*from != '\0' && n + 1 < size) {
        if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' &&
            from[2] <= '7' && from[3] >= '0' && from[3] <= '7') {
            to[n++] = (char)((from[1] - '0') * 64 + (from[2] - '0') * 8 + (from[3] - '0'));
            from += 4;
        } else {
            to[n++] = *from++;
        }
    }
    to[n] = '\0';
}

// "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - TYPE SOURCE ..."
static int parse_line(char *line, struct mount_info *m)
{
    unsigned major, minor;
    char point[WATCH_PATH_SIZE * 4];
    int used = 0;
    if (sscanf(line, "%*u %*u %u:%u %*s %4351s %n", &major, &minor, point, &used) < 3 || used == 0)
        return -1;
    const char *dash = strstr(line + used, " - ");
    if (dash == nullptr || sscanf(dash, " - %63s", m->type) != 1)
        return -1;
    unescape(point, m->point, sizeof m->point);
    m->dev = (uint64_t)makedev(major, minor);
    return 0;
}

static std::vector<struct mount_info> *table_of(uint64_t frame, pid_t pid)
{
    auto found = tables.find(frame);
    if (found != tables.end())
        return &found->second;
    std::string name = frame == 0 ? "/proc/self/mountinfo"
                                  : "/proc/" + std::to_string(pid) + "/mountinfo";
    FILE *in = fopen(name.c_str(), "re");
    if (in == nullptr)
        return nullptr;
    std::vector<struct mount_info> table;
    char *line = nullptr;
    size_t size = 0;
    struct mount_info m;
    while (getline(&line, &size, in) > 0) {
        if (parse_line(line, &m) == 0)
            table.push_back(m);
    }
    free(line);
    fclose(in);
    return &(tables[frame] = std::move(table));
}

int mount_of(uint64_t frame, pid_t pid, const char *path, struct mount_info *out)
{
    std::vector<struct mount_info> *table = table_of(frame, pid);
    if (table == nullptr)
        return -1;
    // the deepest point wins; of two at one point, the later mount is on top
    size_t best = 0;
    const struct mount_info *found = nullptr;
    for (const struct mount_info &m : *table) {
        size_t depth = mount_depth(path, m.point);
        if (depth != 0 && depth >= best) {
            best = depth;
            found = &m;
        }
    }
    if (found == nullptr)
        return -1;
    *out = *found;
    return 0;
}

int may_stall(const char *type)
{
    static const char *const REMOTE[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p",
                                         "ceph", "afs", "coda", "virtiofs", "lustre",
                                         "gfs2", "ocfs2", "ncpfs", "glusterfs"};
    if (strncmp(type, "fuse", 4) == 0)  // fuse, fuseblk, fuse.sshfs...
        return 1;
    for (const char *remote : REMOTE) {
        if (strcmp(type, remote) == 0)
            return 1;
    }
    return 0;
}
