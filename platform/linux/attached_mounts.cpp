#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "linux_procstat.h"
#include "mount_ns.h"

// Every mount of every mount namespace that has a process, as their
// mountinfo lists them: a mount in none of them was lazily unmounted. Read
// for the run when a mount outside the namespaces at hand is first met, and
// again for each further such mount, which may be newer than the reading.
static std::unordered_set<uint64_t> attached;
static std::unordered_set<uint64_t> asked;
// Some namespace had only chrooted processes, whose mountinfo lists only
// what lies below their root: a mount missing from the lists proves
// nothing.
static bool partial;

static void add_mounts(int dir_fd)
{
    char *text = nullptr;
    if (read_whole_proc_file(dir_fd, "mountinfo", &text) < 0)
        return;
    for (const char *line = text; *line != '\0';) {
        attached.insert(strtoull(line, nullptr, 10));
        const char *nl = strchr(line, '\n');
        if (nl == nullptr)
            break;
        line = nl + 1;
    }
    free(text);
}

static bool at_its_root(int dir_fd)
{
    char root[2];
    return readlinkat(dir_fd, "root", root, sizeof root) == 1 && root[0] == '/';
}

// One process at the root of each namespace says all; a chrooted one says
// what it can.
static void read_all_namespaces(void)
{
    std::unordered_map<std::string, bool> complete;  // by namespace link
    DIR *dir = opendir("/proc");
    struct dirent *de;
    while (dir != nullptr && (de = readdir(dir)) != nullptr) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9')
            continue;
        int fd = openat(dirfd(dir), de->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        char link[64];
        if (fd < 0 || read_ns_link(fd, "ns/mnt", link, sizeof link) != 0) {
            if (fd >= 0)
                close(fd);
            continue;
        }
        bool &done = complete[link];
        if (!done) {
            done = at_its_root(fd);
            add_mounts(fd);
        }
        close(fd);
    }
    if (dir != nullptr)
        closedir(dir);
    partial = false;
    for (const auto &ns : complete)
        partial = partial || !ns.second;
}

int mount_attached(uint64_t mnt_id)
{
    if (attached.count(mnt_id) == 0 && asked.insert(mnt_id).second)
        read_all_namespaces();
    return partial || attached.count(mnt_id) != 0;
}

void forget_attached_mounts(void)
{
    attached.clear();
    asked.clear();
    partial = false;
}
