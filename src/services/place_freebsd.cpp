#include <sys/param.h>
#include <sys/jail.h>
#include <sys/sysctl.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>

#include "process_facts.h"
#include "rc_place.h"
#include "services.h"

// A jail by its jid: its name and path, from the kernel.
static int jail_named(int jid, std::string *name, std::string *path)
{
    char name_buf[MAXHOSTNAMELEN] = "", path_buf[MAXPATHLEN] = "";
    struct iovec iov[6];
    char jid_key[] = "jid", name_key[] = "name", path_key[] = "path";
    iov[0] = {jid_key, sizeof jid_key};
    iov[1] = {&jid, sizeof jid};
    iov[2] = {name_key, sizeof name_key};
    iov[3] = {name_buf, sizeof name_buf};
    iov[4] = {path_key, sizeof path_key};
    iov[5] = {path_buf, sizeof path_buf};
    if (jail_get(iov, 6, 0) < 0)
        return -1;
    name_buf[sizeof name_buf - 1] = '\0';
    path_buf[sizeof path_buf - 1] = '\0';
    *name = name_buf;
    *path = path_buf;
    return 0;
}

static void jail_place(unsigned jid, thing *t)
{
    static std::map<unsigned, std::pair<std::string, std::string>> known;
    if (!known.count(jid)) {
        std::string name, path;
        if (jail_named((int)jid, &name, &path) != 0 || name.empty())
            name = std::to_string(jid);
        known[jid] = {name, path};
    }
    jail_thing(known[jid].first, known[jid].second, t);
}

// The pid in a pidfile that root wrote.
static pid_t pidfile_pid(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat sb;
    char buf[32] = "";
    ssize_t n = fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_uid == 0
                    ? read(fd, buf, sizeof buf - 1)
                    : -1;
    close(fd);
    return n > 0 ? (pid_t)atoi(buf) : 0;
}

// The enabled rc.d services, asked once (service -e, bounded), by the
// pids that their pidfiles in /var/run name.
static const std::map<pid_t, std::string> &service_pids(void)
{
    static int asked;
    static std::map<pid_t, std::string> pids;
    std::string out;
    if (!asked++ && run_bounded({"service", "-e"}, 5, &out, 1 << 20) == 0)
        pids = rc_service_pids(out, "/var/run", pidfile_pid);
    return pids;
}

static pid_t parent_of(pid_t pid)
{
    struct kinfo_proc kp;
    size_t len = sizeof kp;
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid};
    if (sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len != sizeof kp)
        return 0;
    return kp.ki_ppid;
}

// Jails join no one's namespaces.
void order_joins(std::vector<thing> *)
{
}

int in_tree_of(pid_t top, pid_t pid)
{
    for (int steps = 0; pid > 0 && steps < 4096; steps++) {
        if (pid == top)
            return 1;
        pid = parent_of(pid);
    }
    return 0;
}

int place_row(const struct services_run *run, const taken_row *row, thing *t)
{
    pid_t pid = (pid_t)row->pid;
    uint64_t start = 0;
    if (process_start(pid, &start) != 0 || (!run->from_table && start != row->start) ||
        start > run->started_by)
        return PLACE_GONE;
    int placed = 1;
    if (row->jid != 0)
        jail_place(row->jid, t);
    else
        placed = rc_thing(pid, service_pids(), parent_of, t);
    uint64_t again = 0;
    if (process_start(pid, &again) != 0 || again != start)
        return PLACE_GONE;
    return placed ? PLACE_THING : PLACE_NONE;
}

uint64_t start_clock_now(void)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return (uint64_t)now.tv_sec * 1000000 + (uint64_t)now.tv_usec;
}

uint64_t start_clock_at(const struct timespec *wall)
{
    return (uint64_t)wall->tv_sec * 1000000 + (uint64_t)wall->tv_nsec / 1000;
}
