#include "mount_ns.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "linux_procstat.h"
#include "watch.h"

struct mount_ns {
    uint64_t key;  // its number, which names it to the watch; 0 for ours
    int root_fd;   // -1 for ours
    std::string prefix;
    std::unordered_set<uint64_t> devices;
};

// Keyed by the namespace link's text ("mnt:[4026531841]").
static std::unordered_map<std::string, mount_ns> namespaces;
static const mount_ns *own_ns;

// Every line of mountinfo: "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ...".
static int read_mount_devices(int dir_fd, std::unordered_set<uint64_t> *devices)
{
    int fd = openat(dir_fd, "mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    FILE *in = fdopen(fd, "r");
    if (in == nullptr) {
        close(fd);
        return -1;
    }
    char *line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, in) > 0) {
        unsigned major, minor;
        if (sscanf(line, "%*d %*d %u:%u", &major, &minor) == 2)
            devices->insert((uint64_t)makedev(major, minor));
    }
    int error = ferror(in) ? errno : 0;
    free(line);
    fclose(in);
    return error != 0 ? (errno = error, -1) : 0;
}

// maps names a file of another namespace from that namespace's root: the
// process's root (/proc/PID/root) plus one ".." for each component of that
// root's own path, which also covers a chroot inside a container.
static int open_ns_root(struct proc_view *view, int *fd)
{
    char root[PATH_MAX];
    ssize_t n = readlinkat(view->dir_fd, "root", root, sizeof root - 1);
    if (n < 0)
        return -1;
    root[n] = '\0';
    std::string path = std::string(view->dir_path) + "/root";
    for (const char *p = root; *p != '\0'; p++) {
        if (*p == '/' && p[1] != '/' && p[1] != '\0')
            path += "/..";
    }
    *fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return *fd < 0 ? -1 : 0;
}

static int learn_ns(struct proc_view *view, mount_ns *ns)
{
    ns->root_fd = -1;
    if (open_ns_root(view, &ns->root_fd) != 0)
        return -1;
    ns->prefix = "/proc/self/fd/" + std::to_string(ns->root_fd);
    if (read_mount_devices(view->dir_fd, &ns->devices) != 0) {
        int error = errno;
        close(ns->root_fd);
        return errno = error, -1;
    }
    return 0;
}

static void use_ns(struct proc_view *view, const mount_ns *ns)
{
    view->ns = ns;
    // a handle's name is short: it always fits
    view->prefix_len = ns->prefix.size();
    memcpy(view->root_prefix, ns->prefix.c_str(), view->prefix_len + 1);
    watch_frame(ns->key, view->root_prefix);
}

// The namespace cannot be learnt. A process that is exiting (or a zombie
// leader whose threads run on) has none left; it is seen as ours, and its
// map, if any, says the rest. We may not look into another user's process:
// its map will say so too. Anything else is an error.
static int unknown_ns(struct proc_view *view, int error)
{
    if (faccessat(view->dir_fd, "stat", F_OK, 0) != 0)
        return errno = ESRCH, -1;
    if (error != ENOENT && error != EINVAL && error != ESRCH && error != EACCES && error != EPERM)
        return errno = error, -1;
    use_ns(view, own_ns);
    return 0;
}

int enter_mount_ns(struct procstat *ps, struct proc_view *view)
{
    if (own_ns == nullptr) {
        mount_ns ours;
        ours.key = 0;
        ours.root_fd = -1;
        int self_fd = openat(ps->proc_fd, "self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int read = self_fd < 0 ? -1 : read_mount_devices(self_fd, &ours.devices);
        int error = errno;
        if (self_fd >= 0)
            close(self_fd);
        if (read != 0)
            return errno = error, -1;
        own_ns = &namespaces.emplace(ps->mnt_ns, std::move(ours)).first->second;
    }
    char link[sizeof ps->mnt_ns];
    if (read_ns_link(view->dir_fd, "ns/mnt", link, sizeof link) != 0)
        return unknown_ns(view, errno);
    auto found = namespaces.find(link);
    if (found == namespaces.end()) {
        mount_ns ns;
        ns.key = strtoull(link + strcspn(link, "0123456789"), nullptr, 10);
        if (learn_ns(view, &ns) != 0)
            return unknown_ns(view, errno);
        found = namespaces.emplace(link, std::move(ns)).first;
    }
    use_ns(view, &found->second);
    return 0;
}

int is_mounted_device(const struct proc_view *view, uint64_t dev)
{
    return own_ns->devices.count(dev) != 0 ||
           (view->ns != own_ns && view->ns->devices.count(dev) != 0);
}

void forget_mount_namespaces(void)
{
    for (auto &entry : namespaces) {
        if (entry.second.root_fd >= 0)
            close(entry.second.root_fd);
    }
    namespaces.clear();
    own_ns = nullptr;
}
