#include "frames.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "proc_files.h"
#include "watch.h"

// Every line of mountinfo begins with the mount's ID. What one process's
// mountinfo lists belongs to its namespace; it lists only the mounts below
// its root.
static void read_mounts(int dir_fd, const char *name, mount_list *list)
{
    list->read = true;
    char *text = nullptr;
    if (read_whole_proc_file(dir_fd, name, &text) < 0)
        return;
    for (const char *line = text; *line != '\0';) {
        list->ids.insert(strtoull(line, nullptr, 10));
        const char *nl = strchr(line, '\n');
        if (nl == nullptr)
            break;
        line = nl + 1;
    }
    free(text);
}

static bool listed(mount_list *list, int dir_fd, const char *name, uint64_t id)
{
    if (list->read && list->ids.count(id) != 0)
        return true;
    if (!list->read || list->asked.insert(id).second)
        read_mounts(dir_fd, name, list);
    return list->ids.count(id) != 0;
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

// The namespace is held before anything is learnt of it; one the process
// left since its link was read is not the one named by link (EAGAIN).
static int hold_ns(struct proc_view *view, const char *link, int *fd)
{
    *fd = openat(view->dir_fd, "ns/mnt", O_RDONLY | O_CLOEXEC);
    struct stat sb;
    if (*fd < 0 || fstat(*fd, &sb) != 0)
        return -1;
    if ("mnt:[" + std::to_string(sb.st_ino) + "]" != link)
        return errno = EAGAIN, -1;
    return 0;
}

static int learn_ns(struct mount_namespaces *mn, struct proc_view *view, const char *link,
                    mount_ns *ns)
{
    ns->root_fd = -1;
    if (hold_ns(view, link, &ns->ns_fd) != 0 || open_ns_root(view, &ns->root_fd) != 0) {
        int error = errno;
        if (ns->ns_fd >= 0)
            close(ns->ns_fd);
        return errno = error, -1;
    }
    ns->prefix = "/proc/self/fd/" + std::to_string(ns->root_fd);
    ns->key = strtoull(link + strcspn(link, "0123456789"), nullptr, 10);
    ns->mounts.read = false;
    mn->root_handles[ns->root_fd] = ns->ns_fd;
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
static int unknown_ns(struct mount_namespaces *mn, struct proc_view *view, int error)
{
    if (faccessat(view->dir_fd, "stat", F_OK, 0) != 0)
        return errno = ESRCH, -1;
    if (error != ENOENT && error != EINVAL && error != ESRCH && error != EACCES && error != EPERM)
        return errno = error, -1;
    use_ns(view, mn->own_ns);
    return 0;
}

// A process that moves to another namespace while it is being learnt is
// asked once more.
int enter_mount_ns(struct mount_namespaces *mn, const char *own_link, struct proc_view *view)
{
    if (mn->own_ns == nullptr)
        mn->own_ns = &mn->namespaces.emplace(own_link, mount_ns{0, -1, -1, "", {false, {}, {}}})
                          .first->second;
    for (int tries = 0;; tries++) {
        char link[64];
        if (read_ns_link(view->dir_fd, "ns/mnt", link, sizeof link) != 0)
            return unknown_ns(mn, view, errno);
        auto found = mn->namespaces.find(link);
        if (found == mn->namespaces.end()) {
            mount_ns ns;
            if (learn_ns(mn, view, link, &ns) != 0) {
                if (errno == EAGAIN && tries == 0)
                    continue;
                return unknown_ns(mn, view, errno);
            }
            found = mn->namespaces.emplace(link, std::move(ns)).first;
        }
        use_ns(view, &found->second);
        return 0;
    }
}

void view_unplaced(struct proc_view *view)
{
    view->ns = nullptr;
    view->prefix_len = 0;
    view->root_prefix[0] = '\0';
    watch_frame(0, "");
}

// A mount that is neither ours nor the process's namespace's is another
// namespace's (one the process left after mapping the file) or lazily
// unmounted from all. The first is looked up in the frame of the process's
// namespace, for want of a better; the second nowhere.
int mount_frame(struct mount_namespaces *mn, struct proc_view *view, uint64_t mnt_id)
{
    // most mappings of a process lie on the mount of the one before
    if (mnt_id == view->own_mount)
        return FRAME_OURS;
    if (listed(&mn->own_ns->mounts, AT_FDCWD, "/proc/self/mountinfo", mnt_id)) {
        view->own_mount = mnt_id;
        return FRAME_OURS;
    }
    if (view->prefix_len != 0 && listed(&view->ns->mounts, view->dir_fd, "mountinfo", mnt_id))
        return FRAME_PROCESS;
    if (!mount_attached(&mn->attached, mnt_id))
        return FRAME_DETACHED;
    return view->prefix_len == 0 ? FRAME_OURS : FRAME_PROCESS;
}

int mount_ns_handle(const struct mount_ns *ns)
{
    return ns == nullptr ? -1 : ns->ns_fd;
}

int ns_of_root_handle(const struct mount_namespaces *mn, int fd)
{
    auto found = mn->root_handles.find(fd);
    return found == mn->root_handles.end() ? -1 : found->second;
}

void close_mount_namespaces(struct mount_namespaces *mn)
{
    for (auto &entry : mn->namespaces) {
        if (entry.second.root_fd >= 0)
            close(entry.second.root_fd);
        if (entry.second.ns_fd >= 0)
            close(entry.second.ns_fd);
    }
    mn->namespaces.clear();
    mn->root_handles.clear();
    mn->own_ns = nullptr;
}
