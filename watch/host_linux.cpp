#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "process_facts.h"

const char STALL_RECORD_DIR[] = "/run/vrix";

// The fields of /proc/PID/stat after the command name, which may hold
// anything, spaces and parentheses included.
static int stat_fields(pid_t pid, char *buf, size_t size, const char **after_comm)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/stat", (int)pid);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    const char *close_paren = strrchr(buf, ')');
    if (close_paren == nullptr)
        return -1;
    *after_comm = close_paren + 1;
    return 0;
}

// Field number field (1-based, the pid being 1) of a stat line, from p,
// the end of its name.
static int field_after(const char *p, int field, unsigned long long *value)
{
    // after the name: field 3 (the state) on
    for (int f = 3; f < field; f++) {
        p = strchr(p + 1, ' ');
        if (p == nullptr)
            return -1;
    }
    char *end;
    *value = strtoull(p + 1, &end, 10);
    return end == p + 1 ? -1 : 0;
}

// Field number field of /proc/PID/stat.
static int stat_field(pid_t pid, int field, unsigned long long *value)
{
    char buf[1024];
    const char *p;
    if (stat_fields(pid, buf, sizeof buf, &p) != 0)
        return -1;
    return field_after(p, field, value);
}

int process_cpu_ms(pid_t pid, uint64_t *ms)
{
    unsigned long long user, system;
    if (stat_field(pid, 14, &user) != 0 || stat_field(pid, 15, &system) != 0)
        return -1;
    long ticks = sysconf(_SC_CLK_TCK);
    *ms = (uint64_t)((user + system) * 1000ULL / (unsigned long long)(ticks > 0 ? ticks : 100));
    return 0;
}

int process_start(pid_t pid, uint64_t *start)
{
    // a process that has ended but is not yet reaped waits on nothing
    char buf[1024];
    const char *p;
    if (stat_fields(pid, buf, sizeof buf, &p) != 0 || p[1] == 'Z' || p[1] == 'X')
        return -1;
    unsigned long long value;
    if (field_after(p, 22, &value) != 0)
        return -1;
    *start = value;
    return 0;
}

int process_uids(pid_t pid, uid_t *real, uid_t *effective)
{
    char name[64], buf[4096];
    snprintf(name, sizeof name, "/proc/%d/status", (int)pid);
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    const char *line = strstr(buf, "\nUid:");
    unsigned long r, e;
    if (line == nullptr || sscanf(line, "\nUid: %lu %lu", &r, &e) != 2)
        return -1;
    *real = (uid_t)r;
    *effective = (uid_t)e;
    return 0;
}

uint64_t own_pid_namespace(void)
{
    struct stat sb;
    return stat("/proc/self/ns/pid", &sb) == 0 ? (uint64_t)sb.st_ino : 0;
}

void die_with_parent(pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // the parent may have ended before the signal was asked for
    if (getppid() != parent)
        _exit(1);
}

void close_all_but(const int *keep, int count)
{
    std::vector<int> fds(keep, keep + count);
    std::sort(fds.begin(), fds.end());
    unsigned from = 0;
    for (int fd : fds) {
        if (fd < 0 || (unsigned)fd < from)
            continue;
        if ((unsigned)fd > from && close_range(from, (unsigned)fd - 1, 0) != 0) {
            for (unsigned f = from; f < (unsigned)fd; f++)
                close((int)f);
        }
        from = (unsigned)fd + 1;
    }
    if (close_range(from, ~0U, 0) != 0) {
        long max = sysconf(_SC_OPEN_MAX);
        for (long f = from; f < (max > 0 ? max : 1024); f++)
            close((int)f);
    }
}
