#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "proc_linux.h"
#include "services.h"

// A file of /proc from its start. Those read here are made whole at each
// read: one that returns less than asked has given all.
static std::string read_fd(int fd, size_t limit)
{
    std::string out;
    char buf[4096];
    ssize_t n;
    while (out.size() < limit && (n = pread(fd, buf, sizeof buf, (off_t)out.size())) > 0) {
        out.append(buf, (size_t)n);
        if ((size_t)n < sizeof buf)
            break;
    }
    return out;
}

static std::string read_file(int dir, const char *name, size_t limit)
{
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string out = read_fd(fd, limit);
    close(fd);
    return out;
}

int proc_dir(pid_t pid)
{
    return open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::string cgroup_of(pid_t pid)
{
    int dir = proc_dir(pid);
    if (dir < 0)
        return "";
    std::string path = read_cgroup(dir);
    close(dir);
    return path;
}

int stat_of_dir(int dir, proc_stat *st)
{
    return stat_at(dir, "stat", st);
}

int stat_at(int dir, const char *name, proc_stat *st)
{
    int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int result = stat_of_fd(fd, st);
    close(fd);
    return result;
}

int stat_of_fd(int fd, proc_stat *st)
{
    std::string s = read_fd(fd, 4096);
    size_t open_paren = s.find('('), close_paren = s.rfind(')');
    if (open_paren == std::string::npos || close_paren == std::string::npos || close_paren < open_paren)
        return -1;
    st->comm = s.substr(open_paren + 1, close_paren - open_paren - 1);
    // past the name: state, ppid, ... starttime is the 20th
    const char *p = s.c_str() + close_paren + 2;
    std::vector<unsigned long long> fields;
    fields.push_back(0);  // the state
    p = strchr(p, ' ');
    while (p != nullptr && fields.size() < 20) {
        fields.push_back(strtoull(p + 1, nullptr, 10));
        p = strchr(p + 1, ' ');
    }
    if (fields.size() < 20 || s[close_paren + 2] == 'Z' || s[close_paren + 2] == 'X')
        return -1;
    st->ppid = (pid_t)fields[1];
    st->start = fields[19];
    return 0;
}

std::string read_cgroup(int dir)
{
    return cgroup_at(dir, "cgroup");
}

std::string cgroup_at(int dir, const char *name)
{
    std::string v2, named;
    for (const std::string &line : split_at(read_file(dir, name, 1 << 16), '\n')) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        size_t second = line.find(':', colon + 1);
        if (second == std::string::npos)
            continue;
        std::string controllers = line.substr(colon + 1, second - colon - 1);
        if (line.compare(0, colon, "0") == 0 && controllers.empty())
            v2 = line.substr(second + 1);
        else if (controllers == "name=systemd")
            named = line.substr(second + 1);
    }
    return !named.empty() && named != "/" ? named : v2;
}

std::vector<std::string> read_cmdline(int dir)
{
    return split_at(read_file(dir, "cmdline", 1 << 16), '\0');
}

std::string read_exe(int dir)
{
    char buf[4096];
    ssize_t n = readlinkat(dir, "exe", buf, sizeof buf);
    return n > 0 && (size_t)n < sizeof buf ? std::string(buf, (size_t)n) : "";
}

static int same_user_namespace(int dir)
{
    struct stat mine, its;
    return stat("/proc/self/ns/user", &mine) == 0 && fstatat(dir, "ns/user", &its, 0) == 0 &&
           mine.st_dev == its.st_dev && mine.st_ino == its.st_ino;
}

int runs_as(int dir, long *uid)
{
    std::string s = read_file(dir, "status", 1 << 16);
    size_t at = s.find("\nUid:");
    if (at == std::string::npos)
        return -1;
    long ids[4];
    const char *p = s.c_str() + at + 5;
    for (long &id : ids) {
        char *end;
        id = strtol(p, &end, 10);
        if (end == p)
            return -1;
        p = end;
    }
    *uid = ids[0];
    int one_user = ids[1] == ids[0] && ids[2] == ids[0] && ids[3] == ids[0];
    if (one_user && ids[0] == 0 && same_user_namespace(dir))
        return 1;
    return one_user && ids[0] != 0 ? 0 : -1;
}

int exe_of_root(int dir)
{
    struct stat sb;
    return fstatat(dir, "exe", &sb, 0) == 0 && S_ISREG(sb.st_mode) && sb.st_uid == 0 &&
           (sb.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::vector<std::pair<pid_t, pid_t>> read_parents(void)
{
    std::vector<std::pair<pid_t, pid_t>> parents;
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return parents;
    struct dirent *d;
    while ((d = readdir(dir)) != nullptr) {
        char *end;
        long pid = strtol(d->d_name, &end, 10);
        proc_stat st;
        int fd = *end == '\0' && pid > 0 ? openat(dirfd(dir), d->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        if (fd >= 0 && stat_of_dir(fd, &st) == 0)
            parents.push_back({(pid_t)pid, st.ppid});
        if (fd >= 0)
            close(fd);
    }
    closedir(dir);
    return parents;
}
