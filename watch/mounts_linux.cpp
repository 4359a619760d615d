#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "mounts.h"

struct mount_entry {
    uint64_t id;
    uint64_t parent;
    char point[WATCH_PATH_SIZE];
    struct mount_info info;
    std::vector<std::string> layers;  // an overlay's directories
};

// A frame's mount table, kept open: the kernel marks the file when the table
// changes (POLLPRI), so it is read again only then, and a mount made after
// it was read is never missed.
struct mount_table {
    int fd;
    std::vector<struct mount_entry> mounts;
    // by a hash of parent and point: the mounts there, the one on top last
    std::unordered_multimap<uint64_t, size_t> children;
    std::unordered_map<uint64_t, size_t> by_dev;
    size_t root;  // the mount at "/" whose parent is not in the table
    bool has_root;
    uint64_t generation;  // reads of the table, from 1
};

static uint64_t table_reads;

static std::unordered_map<uint64_t, struct mount_table> tables;

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

// The directories an overlay stands on, from its options after
// " - overlay SOURCE ": lowerdir (a list split by ':'), upperdir and
// workdir. Both mountinfo (\\ooo) and the overlay (a backslash before the
// character) escape what would split them.
static void read_layers(const char *dash, std::vector<std::string> *layers)
{
    char type[64], source[WATCH_PATH_SIZE * 4];
    int used = 0;
    if (sscanf(dash, " - %63s %4351s %n", type, source, &used) < 2 || used == 0)
        return;
    std::string key, value;
    bool in_value = false;
    for (const char *p = dash + used;; p++) {
        if (*p == '\0' || *p == ' ' || *p == '\n' || *p == ',' ||
            (*p == ':' && in_value && key == "lowerdir")) {
            if (in_value && (key == "lowerdir" || key == "upperdir" || key == "workdir") &&
                !value.empty())
                layers->push_back(value);
            value.clear();
            if (*p != ':')
                key.clear(), in_value = false;
            if (*p == '\0' || *p == ' ' || *p == '\n')
                break;
            continue;
        }
        char c = *p;
        if (c == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' &&
            p[3] >= '0' && p[3] <= '7') {
            c = (char)((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
            p += 3;
        } else if (c == '\\' && p[1] != '\0') {
            c = *++p;
        } else if (c == '=' && !in_value) {
            in_value = true;
            continue;
        }
        (in_value ? value : key) += c;
    }
}

// "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - TYPE SOURCE ..."
static int parse_line(char *line, struct mount_entry *m)
{
    unsigned long long id, parent;
    unsigned major, minor;
    char point[WATCH_PATH_SIZE * 4];
    int used = 0;
    if (sscanf(line, "%llu %llu %u:%u %*s %4351s %n", &id, &parent, &major, &minor, point,
               &used) < 5 ||
        used == 0)
        return -1;
    const char *dash = strstr(line + used, " - ");
    if (dash == nullptr || sscanf(dash, " - %63s", m->info.type) != 1)
        return -1;
    unescape(point, m->point, sizeof m->point);
    m->id = id;
    m->parent = parent;
    m->info.dev = (uint64_t)makedev(major, minor);
    m->layers.clear();
    if (strcmp(m->info.type, "overlay") == 0)
        read_layers(dash, &m->layers);
    return 0;
}

static uint64_t child_key(uint64_t parent, const char *point, size_t len)
{
    uint64_t h = 0xcbf29ce484222325ULL ^ parent;
    for (size_t i = 0; i < len; i++)
        h = (h ^ (unsigned char)point[i]) * 0x100000001b3ULL;
    return h;
}

// The mount on top at point whose parent is parent, or SIZE_MAX.
static size_t child_at(const struct mount_table *t, uint64_t parent, const char *point,
                       size_t len)
{
    size_t found = SIZE_MAX;
    auto range = t->children.equal_range(child_key(parent, point, len));
    for (auto i = range.first; i != range.second; ++i) {
        const struct mount_entry &m = t->mounts[i->second];
        if (m.parent == parent && strlen(m.point) == len &&
            memcmp(m.point, point, len) == 0 && (found == SIZE_MAX || i->second > found))
            found = i->second;
    }
    return found;
}

static size_t mount_at(const struct mount_table *t, const char *path);

// An overlay waits on what it stands on: one with a layer on a file system
// that can stall takes that file system's type (an overlay on FUSE, as
// unprivileged container tools build).
static void take_layer_types(struct mount_table *t)
{
    for (struct mount_entry &m : t->mounts) {
        for (const std::string &layer : m.layers) {
            size_t below = t->has_root ? mount_at(t, layer.c_str()) : SIZE_MAX;
            if (below != SIZE_MAX && may_stall(t->mounts[below].info.type)) {
                memcpy(m.info.type, t->mounts[below].info.type, sizeof m.info.type);
                break;
            }
        }
    }
}

static int read_table(struct mount_table *t)
{
    std::string text;
    char buf[16384];
    if (lseek(t->fd, 0, SEEK_SET) != 0)
        return -1;
    for (;;) {
        ssize_t n = read(t->fd, buf, sizeof buf);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        text.append(buf, (size_t)n);
    }
    t->mounts.clear();
    t->children.clear();
    t->by_dev.clear();
    t->has_root = false;
    std::unordered_map<uint64_t, size_t> by_id;
    size_t start = 0;
    struct mount_entry m;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        text[end] = '\0';
        if (parse_line(&text[start], &m) == 0) {
            by_id[m.id] = t->mounts.size();
            t->by_dev.emplace(m.info.dev, t->mounts.size());
            t->children.emplace(child_key(m.parent, m.point, strlen(m.point)),
                                t->mounts.size());
            t->mounts.push_back(m);
        }
        start = end + 1;
    }
    for (size_t i = 0; i < t->mounts.size() && !t->has_root; i++) {
        const struct mount_entry &r = t->mounts[i];
        if (strcmp(r.point, "/") == 0 && (r.parent == r.id || by_id.count(r.parent) == 0)) {
            t->root = i;
            t->has_root = true;
        }
    }
    take_layer_types(t);
    t->generation = ++table_reads;
    return 0;
}

static struct mount_table *table_of(uint64_t frame, pid_t pid, int fresh)
{
    auto found = tables.find(frame);
    if (found != tables.end()) {
        struct pollfd p = {found->second.fd, POLLPRI, 0};
        if (fresh && poll(&p, 1, 0) > 0 && read_table(&found->second) != 0)
            return nullptr;
        return &found->second;
    }
    std::string name = frame == 0 ? "/proc/self/mountinfo"
                                  : "/proc/" + std::to_string(pid) + "/mountinfo";
    struct mount_table t;
    t.fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (t.fd < 0)
        return nullptr;
    if (read_table(&t) != 0) {
        close(t.fd);
        return nullptr;
    }
    watch_keep_fd(t.fd);
    return &(tables[frame] = std::move(t));
}

// The mount on top of the stack at point, whose bottom has the mount at
// start as its parent; start when there is none.
static size_t on_top(const struct mount_table *t, size_t start, const char *point, size_t len)
{
    size_t at = start;
    for (int depth = 0; depth < 64; depth++) {
        size_t child = child_at(t, t->mounts[at].id, point, len);
        if (child == SIZE_MAX || child == at)
            break;
        at = child;
    }
    return at;
}

// Walks path from the root as a lookup crosses mounts: at each component,
// into what is mounted there on the mount reached so far. A mount hidden
// under another is never reached, whatever its point.
static size_t mount_at(const struct mount_table *t, const char *path)
{
    if (path[0] != '/')
        return SIZE_MAX;
    size_t at = on_top(t, t->root, "/", 1);
    for (const char *p = path + 1;; p++) {
        if (*p == '/' || *p == '\0') {
            if (p > path + 1 && p[-1] != '/')
                at = on_top(t, at, path, (size_t)(p - path));
            if (*p == '\0')
                break;
        }
    }
    return at;
}

int mount_of(uint64_t frame, pid_t pid, const char *path, int fresh, struct mount_info *out)
{
    struct mount_table *t = table_of(frame, pid, fresh);
    if (t == nullptr || !t->has_root)
        return -1;
    size_t at = mount_at(t, path);
    if (at == SIZE_MAX)
        return -1;
    *out = t->mounts[at].info;
    return 0;
}

int mount_by_dev(uint64_t frame, pid_t pid, uint64_t dev, int fresh, struct mount_info *out)
{
    for (uint64_t f : {frame, (uint64_t)0}) {
        struct mount_table *t = table_of(f, pid, fresh);
        if (t == nullptr)
            continue;
        auto found = t->by_dev.find(dev);
        if (found != t->by_dev.end()) {
            *out = t->mounts[found->second].info;
            return 0;
        }
    }
    return -1;
}

uint64_t mount_table_generation(uint64_t frame)
{
    struct mount_table *t = table_of(frame, 0, 1);
    return t == nullptr ? 0 : t->generation;
}

int may_stall(const char *type)
{
    static const char *const REMOTE[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p",
                                         "ceph", "afs", "coda", "virtiofs", "lustre",
                                         "gfs2", "ocfs2", "ncpfs", "glusterfs", "autofs"};
    if (strncmp(type, "fuse", 4) == 0)  // fuse, fuseblk, fuse.sshfs...
        return 1;
    for (const char *remote : REMOTE) {
        if (strcmp(type, remote) == 0)
            return 1;
    }
    return 0;
}
