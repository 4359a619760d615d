#include "ns_lookup.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "frames.h"
#include "proc_files.h"
#include "process_facts.h"
#include "watch.h"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

// A request is a path from the namespace's root, or, as a single NUL, the
// descriptor it carries.
struct ns_answer {
    int error;
    int has_mnt_id;
    uint32_t mode;
    uint64_t dev;
    uint64_t ino;
    uint64_t nlink;
    uint64_t mnt_id;
};

static int answer_of(int fd, const char *path, int flags, struct ns_answer *answer)
{
    struct statx stx;
    memset(answer, 0, sizeof *answer);
    if (statx(fd, path, flags, STATX_BASIC_STATS | STATX_MNT_ID, &stx) != 0)
        return answer->error = errno, -1;
    answer->dev = (uint64_t)makedev(stx.stx_dev_major, stx.stx_dev_minor);
    answer->ino = stx.stx_ino;
    answer->nlink = stx.stx_nlink;
    answer->mode = stx.stx_mode;
    answer->has_mnt_id = (stx.stx_mask & STATX_MNT_ID) != 0;
    answer->mnt_id = answer->has_mnt_id ? stx.stx_mnt_id : 0;
    return 0;
}

// A name resolves as the direct lookup resolves it: inside the namespace's
// root (our root and working directory since joining), never through a
// magic link; before Linux 5.6, as any path.
static void look_up(const char *rest, struct ns_answer *answer)
{
    static bool no_openat2;
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    int fd = no_openat2 ? -1 : (int)syscall(SYS_openat2, AT_FDCWD, rest, &how, sizeof how);
    if (fd < 0 && (no_openat2 || errno == ENOSYS)) {
        no_openat2 = true;
        answer_of(AT_FDCWD, rest, 0, answer);
        return;
    }
    if (fd < 0) {
        memset(answer, 0, sizeof *answer);
        answer->error = errno;
        return;
    }
    answer_of(fd, "", AT_EMPTY_PATH, answer);
    close(fd);
}

// A mapped file's identity needs no answer from its file system.
static void identify(int fd, struct ns_answer *answer)
{
    answer_of(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, answer);
    close(fd);
}

// A message of one buffer and room for one descriptor.
static struct msghdr message(struct iovec *iov, char *control, size_t size)
{
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = size;
    return msg;
}

[[noreturn]] static void serve(int sock)
{
    char path[PATH_MAX + 1];
    for (;;) {
        char control[CMSG_SPACE(sizeof(int))];
        struct iovec iov = {path, sizeof path - 1};
        struct msghdr msg = message(&iov, control, sizeof control);
        ssize_t n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
        if (n <= 0)
            _exit(0);
        path[n] = '\0';
        struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
        struct ns_answer answer;
        if (c != nullptr && c->cmsg_type == SCM_RIGHTS) {
            int fd;
            memcpy(&fd, CMSG_DATA(c), sizeof fd);
            identify(fd, &answer);
        } else {
            look_up(path, &answer);
        }
        if (send(sock, &answer, sizeof answer, MSG_NOSIGNAL) != (ssize_t)sizeof answer)
            _exit(0);
    }
}

// "Name:\t1 2 3" in status: the numbers after the name.
static std::vector<unsigned long> status_numbers(const char *status, const char *name)
{
    std::vector<unsigned long> numbers;
    const char *line = strstr(status, name);
    if (line == nullptr)
        return numbers;
    char *p = (char *)line + strlen(name);
    for (;;) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p < '0' || *p > '9')
            return numbers;
        numbers.push_back(strtoul(p, &p, 10));
    }
}

// The groups as the namespace sees them; one it does not map shows as the
// overflow group, which no process can take. A namespace that denies
// setgroups() keeps the helper with none.
static void take_groups(const std::vector<unsigned long> &listed)
{
    std::vector<gid_t> groups;
    for (unsigned long g : listed) {
        if (g != 65534)
            groups.push_back((gid_t)g);
    }
    setgroups(groups.size(), groups.data());
}

// A capability set of status ("CapEff:\t000001ffffffffff").
static int status_caps(const char *status, const char *name, uint64_t *caps)
{
    const char *line = strstr(status, name);
    if (line == nullptr)
        return -1;
    char *end = nullptr;
    *caps = strtoull(line + strlen(name), &end, 16);
    return end == line + strlen(name) ? -1 : 0;
}

// Exactly the process's capabilities: joining its user namespace gave us
// all of them there, and taking a uid that is 0 in the namespace keeps
// them. The bounding set goes first, while we may still drop from it.
static int take_caps(const char *status)
{
    uint64_t eff, prm, inh, bnd;
    if (status_caps(status, "\nCapEff:", &eff) != 0 || status_caps(status, "\nCapPrm:", &prm) != 0 ||
        status_caps(status, "\nCapInh:", &inh) != 0 || status_caps(status, "\nCapBnd:", &bnd) != 0)
        return -1;
    for (int cap = 0; cap < 64; cap++) {
        if ((bnd >> cap & 1) == 0 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL)
            return -1;
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {
        {(uint32_t)eff, (uint32_t)prm, (uint32_t)inh},
        {(uint32_t)(eff >> 32), (uint32_t)(prm >> 32), (uint32_t)(inh >> 32)}};
    return (int)syscall(SYS_capset, &header, data);
}

// The process's IDs, groups and capabilities, read from its status once we
// are in its user namespace, which shows them as that namespace does.
static int take_ids(int dir_fd)
{
    char *status = nullptr;
    if (read_whole_proc_file(dir_fd, "status", &status) < 0)
        return -1;
    std::vector<unsigned long> uid = status_numbers(status, "\nUid:");
    std::vector<unsigned long> gid = status_numbers(status, "\nGid:");
    std::vector<unsigned long> groups = status_numbers(status, "\nGroups:");
    int result = -1;
    if (uid.size() >= 2 && gid.size() >= 2) {
        take_groups(groups);
        // the capabilities are set from the process's below, whatever uid
        prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0);
        if (setresgid((gid_t)gid[1], (gid_t)gid[1], (gid_t)gid[1]) == 0 &&
            setresuid((uid_t)uid[1], (uid_t)uid[1], (uid_t)uid[1]) == 0)
            result = take_caps(status);
    }
    free(status);
    return result;
}

// Our environment is none of the helper's business: the strings are wiped
// and the kernel's record of where they lie (what /proc/PID/environ shows)
// made empty, which takes root of the initial namespace, still ours here.
static void drop_environment(void)
{
    unsigned long long start = 0;
    char *stat = nullptr;
    if (read_whole_proc_file(AT_FDCWD, "/proc/self/stat", &stat) >= 0) {
        // field 50, env_start, counted after the command name
        const char *p = strrchr(stat, ')');
        for (int field = 2; p != nullptr && field < 50; field++)
            p = strchr(p + 1, ' ');
        if (p != nullptr)
            start = strtoull(p + 1, nullptr, 10);
        free(stat);
    }
    for (char **e = environ; e != nullptr && *e != nullptr; e++)
        memset(*e, 0, strlen(*e));
    clearenv();
    if (start != 0)
        prctl(PR_SET_MM, PR_SET_MM_ENV_END, start, 0, 0);
}

// The helper's start: nothing of ours is kept. The groups go before the
// user namespace is joined, where dropping them may be denied. The parent's
// death ends the helper, set once the IDs are taken, since changing them
// clears it.
[[noreturn]] static void become_helper(pid_t parent, int dir_fd, int ns_fd, int sock)
{
    int keep[] = {dir_fd, ns_fd, sock};
    close_all_but(keep, 3);
    drop_environment();
    // a run without root cannot drop them: they are then the groups of the
    // user who runs it, and carry nothing that user lacks
    if (setgroups(0, nullptr) != 0 && geteuid() == 0)
        _exit(1);
    int user_fd = openat(dir_fd, "ns/user", O_RDONLY | O_CLOEXEC);
    if (user_fd < 0 || setns(user_fd, CLONE_NEWUSER) != 0)
        _exit(1);
    close(user_fd);
    if (ns_fd >= 0 && setns(ns_fd, CLONE_NEWNS) != 0)
        _exit(1);
    if (take_ids(dir_fd) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        _exit(1);
    close(dir_fd);
    if (ns_fd >= 0)
        close(ns_fd);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(1);
    serve(sock);
}

// Whether the process lives in a user namespace other than ours.
static int in_other_user_ns(const struct proc_view *view)
{
    char ours[64], theirs[64];
    ssize_t a = readlink("/proc/self/ns/user", ours, sizeof ours);
    ssize_t b = readlinkat(view->dir_fd, "ns/user", theirs, sizeof theirs);
    return a > 0 && b > 0 && (a != b || memcmp(ours, theirs, (size_t)a) != 0);
}

static void start_helper(struct proc_view *view)
{
    view->helper_tried = 1;
    int pair[2];
    if (!in_other_user_ns(view) ||
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0)
        become_helper(parent, view->dir_fd, mount_ns_handle(view->ns), pair[1]);
    close(pair[1]);
    if (child < 0) {
        close(pair[0]);
        return;
    }
    view->helper_sock = pair[0];
    view->helper_pid = child;
}

// Sends a request and takes the answer; 0, or -1 with errno.
static int ask(struct proc_view *view, struct ended_helpers *ended, struct msghdr *msg,
               struct ns_answer *answer)
{
    if (!view->helper_tried)
        start_helper(view);
    if (view->helper_sock < 0)
        return errno = EACCES, -1;
    // the helper is the process that waits in the file system: it is the one
    // left behind and recorded, should the answer never come
    watch->waiter = view->helper_pid;
    int asked = sendmsg(view->helper_sock, msg, MSG_NOSIGNAL) >= 0 &&
                recv(view->helper_sock, answer, sizeof *answer, 0) == (ssize_t)sizeof *answer;
    watch->waiter = 0;
    if (!asked) {
        ns_lookup_end(view, ended);  // not asked again for this process
        return errno = EACCES, -1;
    }
    return answer->error != 0 ? (errno = answer->error, -1) : 0;
}

int ns_lookup_stat(struct proc_view *view, struct ended_helpers *ended, int ns_fd,
                   const char *rest, struct stat *sb)
{
    struct ns_answer answer;
    size_t len = strlen(rest);
    if (mount_ns_handle(view->ns) != ns_fd || len == 0 || len > PATH_MAX)
        return errno = EACCES, -1;
    struct iovec iov = {(void *)rest, len};
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (ask(view, ended, &msg, &answer) != 0)
        return -1;
    memset(sb, 0, sizeof *sb);
    sb->st_dev = (dev_t)answer.dev;
    sb->st_ino = (ino_t)answer.ino;
    sb->st_nlink = (nlink_t)answer.nlink;
    sb->st_mode = (mode_t)answer.mode;
    return 0;
}

int ns_lookup_file(struct proc_view *view, struct ended_helpers *ended, int fd,
                   struct mapped_file *file)
{
    struct ns_answer answer;
    char none = 0;  // a message of no bytes would read as the end
    struct iovec iov = {&none, 1};
    char control[CMSG_SPACE(sizeof fd)];
    memset(control, 0, sizeof control);
    struct msghdr msg = message(&iov, control, sizeof control);
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof fd);
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    if (ask(view, ended, &msg, &answer) != 0)
        return -1;
    file->dev = answer.dev;
    file->ino = answer.ino;
    file->nlink = answer.nlink;
    file->has_mnt_id = answer.has_mnt_id;
    file->mnt_id = answer.mnt_id;
    return 0;
}

void ns_lookup_end(struct proc_view *view, struct ended_helpers *ended)
{
    if (view->helper_sock >= 0) {
        close(view->helper_sock);
        kill(view->helper_pid, SIGKILL);
        ended->pids.push_back(view->helper_pid);
    }
    view->helper_sock = -1;
    view->helper_pid = 0;
    std::vector<pid_t> &pids = ended->pids;
    pids.erase(std::remove_if(pids.begin(), pids.end(),
                              [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; }),
               pids.end());
}

int ns_lookup_keeps(const struct proc_view *view, int *fds, int max)
{
    int n = 0;
    if (n < max)
        fds[n++] = view->dir_fd;
    if (view->helper_sock >= 0 && n < max)
        fds[n++] = view->helper_sock;
    return n;
}
