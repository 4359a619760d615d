#include "ns_lookup.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <unordered_map>

#include "linux_procstat.h"

struct ns_answer {
    int error;
    uint64_t dev;
    uint64_t ino;
};

struct ns_helper {
    int sock;  // -1: none could be had for this namespace
    pid_t pid;
};

// By the mount namespace handle.
static std::unordered_map<int, ns_helper> helpers;
static pid_t current_pid;

void ns_lookup_process(pid_t pid)
{
    current_pid = pid;
}

// The effective IDs of pid, as a process of its user namespace sees them:
// read after joining that namespace.
static int read_ids(pid_t pid, uid_t *uid, gid_t *gid)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/status", (int)pid);
    FILE *in = fopen(name, "re");
    if (in == nullptr)
        return -1;
    char line[256];
    int found = 0;
    while (fgets(line, sizeof line, in) != nullptr) {
        unsigned long real, effective;
        if (sscanf(line, "Uid: %lu %lu", &real, &effective) == 2)
            *uid = (uid_t)effective, found |= 1;
        else if (sscanf(line, "Gid: %lu %lu", &real, &effective) == 2)
            *gid = (gid_t)effective, found |= 2;
    }
    fclose(in);
    return found == 3 ? 0 : -1;
}

// The helper's life: join, take the process's credentials, answer.
[[noreturn]] static void serve(pid_t pid, int user_fd, int ns_fd, int sock)
{
    uid_t uid;
    gid_t gid;
    if (setns(user_fd, CLONE_NEWUSER) != 0 || read_ids(pid, &uid, &gid) != 0 ||
        setns(ns_fd, CLONE_NEWNS) != 0)
        _exit(1);
    setgroups(0, nullptr);  // refused where the namespace denies it: kept as they are
    if (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
        _exit(1);
    char path[PATH_MAX + 2];
    for (;;) {
        ssize_t n = recv(sock, path + 1, sizeof path - 2, 0);
        if (n <= 0)
            _exit(0);
        path[0] = '/';
        path[n + 1] = '\0';
        struct stat sb;
        struct ns_answer answer = {0, 0, 0};
        if (stat(path, &sb) != 0)
            answer.error = errno;
        else
            answer.dev = (uint64_t)sb.st_dev, answer.ino = (uint64_t)sb.st_ino;
        if (send(sock, &answer, sizeof answer, MSG_NOSIGNAL) != (ssize_t)sizeof answer)
            _exit(0);
    }
}

// Whether pid lives in a user namespace other than ours.
static int in_other_user_ns(pid_t pid)
{
    char ours[64], theirs[64], name[64];
    snprintf(name, sizeof name, "/proc/%d/ns/user", (int)pid);
    ssize_t a = readlink("/proc/self/ns/user", ours, sizeof ours - 1);
    ssize_t b = readlink(name, theirs, sizeof theirs - 1);
    return a > 0 && b > 0 && (a != b || memcmp(ours, theirs, (size_t)a) != 0);
}

static struct ns_helper start_helper(int ns_fd)
{
    struct ns_helper helper = {-1, -1};
    pid_t pid = current_pid;
    if (pid <= 0 || !in_other_user_ns(pid))
        return helper;
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/ns/user", (int)pid);
    int user_fd = open(name, O_RDONLY | O_CLOEXEC);
    int pair[2];
    if (user_fd < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        if (user_fd >= 0)
            close(user_fd);
        return helper;
    }
    pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
        serve(pid, user_fd, ns_fd, pair[1]);
    }
    close(pair[1]);
    close(user_fd);
    if (child < 0) {
        close(pair[0]);
        return helper;
    }
    helper.sock = pair[0];
    helper.pid = child;
    return helper;
}

int ns_lookup_stat(int ns_fd, const char *rest, struct stat *sb)
{
    auto found = helpers.find(ns_fd);
    if (found == helpers.end())
        found = helpers.emplace(ns_fd, start_helper(ns_fd)).first;
    const struct ns_helper &helper = found->second;
    struct ns_answer answer;
    size_t len = strlen(rest);
    if (helper.sock < 0 || len > PATH_MAX ||
        send(helper.sock, rest, len, MSG_NOSIGNAL) != (ssize_t)len ||
        recv(helper.sock, &answer, sizeof answer, 0) != (ssize_t)sizeof answer)
        return errno = EACCES, -1;
    if (answer.error != 0)
        return errno = answer.error, -1;
    memset(sb, 0, sizeof *sb);
    sb->st_dev = (dev_t)answer.dev;
    sb->st_ino = (ino_t)answer.ino;
    return 0;
}

void forget_ns_lookups(void)
{
    for (auto &entry : helpers) {
        if (entry.second.sock < 0)
            continue;
        // never waited for: one may be asleep in the file system
        close(entry.second.sock);
        kill(entry.second.pid, SIGKILL);
    }
    helpers.clear();
}
