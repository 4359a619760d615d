#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "frames.h"
#include "proc_files.h"

static void add_mounts(struct attached_mounts *am, const char *text)
{
    for (const char *line = text; *line != '\0';) {
        am->attached.insert(strtoull(line, nullptr, 10));
        const char *nl = strchr(line, '\n');
        if (nl == nullptr)
            break;
        line = nl + 1;
    }
}

static bool add_mounts_of(struct attached_mounts *am, int dir_fd)
{
    char *text = nullptr;
    if (read_whole_proc_file(dir_fd, "mountinfo", &text) < 0)
        return false;
    add_mounts(am, text);
    free(text);
    return true;
}

static bool at_its_root(int dir_fd)
{
    char root[2];
    return readlinkat(dir_fd, "root", root, sizeof root) == 1 && root[0] == '/';
}

// A chrooted process's mountinfo lists only what lies below its root. Where
// every process of a namespace is chrooted, a child of ours joins the
// namespace, which puts it at the namespace's root, and reads its own.
static bool add_mounts_from_inside(struct attached_mounts *am, int dir_fd)
{
    int ns_fd = openat(dir_fd, "ns/mnt", O_RDONLY | O_CLOEXEC);
    int pipe_fds[2];
    if (ns_fd < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) {
        if (ns_fd >= 0)
            close(ns_fd);
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        // our own /proc entry is held before the namespace's root, which
        // may have no /proc, becomes ours
        char *text = nullptr;
        close(pipe_fds[0]);
        int self_fd = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || self_fd < 0 ||
            setns(ns_fd, CLONE_NEWNS) != 0 || read_whole_proc_file(self_fd, "mountinfo", &text) < 0)
            _exit(1);
        size_t len = strlen(text), done = 0;
        ssize_t n;
        while (done < len && (n = write(pipe_fds[1], text + done, len - done)) > 0)
            done += (size_t)n;
        _exit(done == len ? 0 : 1);
    }
    close(ns_fd);
    close(pipe_fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while (child > 0 && (n = read(pipe_fds[0], buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    close(pipe_fds[0]);
    int status = 1;
    if (child > 0)
        waitpid(child, &status, 0);
    if (status != 0)
        return false;
    add_mounts(am, text.c_str());
    return true;
}

// Each namespace is read once, from a process at its root where it has one.
static void read_all_namespaces(struct attached_mounts *am)
{
    std::unordered_map<std::string, int> chrooted;  // namespace link: a process's directory
    std::unordered_set<std::string> done;
    am->partial = false;
    DIR *dir = opendir("/proc");
    struct dirent *de;
    while (dir != nullptr && (de = readdir(dir)) != nullptr) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9')
            continue;
        int fd = openat(dirfd(dir), de->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        char link[64];
        bool keep = false;
        if (fd >= 0 && read_ns_link(fd, "ns/mnt", link, sizeof link) == 0 && done.count(link) == 0) {
            if (at_its_root(fd) && add_mounts_of(am, fd))
                done.insert(link);
            else
                keep = chrooted.emplace(link, fd).second;
        }
        if (fd >= 0 && !keep)
            close(fd);
    }
    if (dir != nullptr)
        closedir(dir);
    for (const auto &ns : chrooted) {
        if (done.count(ns.first) == 0 && !add_mounts_from_inside(am, ns.second))
            am->partial = true;
        close(ns.second);
    }
}

int mount_attached(struct attached_mounts *am, uint64_t mnt_id)
{
    if (am->attached.count(mnt_id) == 0 && am->asked.insert(mnt_id).second)
        read_all_namespaces(am);
    return am->partial || am->attached.count(mnt_id) != 0;
}
