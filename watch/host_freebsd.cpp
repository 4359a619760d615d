#include <signal.h>
#include <string.h>
#include <sys/param.h>
#include <sys/proc.h>
#include <sys/procctl.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "process_facts.h"

const char STALL_RECORD_DIR[] = "/var/run/vrix";

static int proc_of(pid_t pid, struct kinfo_proc *kp)
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, (int)pid};
    size_t len = sizeof *kp;
    if (sysctl(mib, 4, kp, &len, nullptr, 0) != 0 || len != sizeof *kp)
        return -1;
    return 0;
}

int process_cpu_ms(pid_t pid, uint64_t *ms)
{
    struct kinfo_proc kp;
    if (proc_of(pid, &kp) != 0)
        return -1;
    *ms = (uint64_t)kp.ki_runtime / 1000;
    return 0;
}

int process_start(pid_t pid, uint64_t *start)
{
    // a process that has ended but is not yet reaped waits on nothing
    struct kinfo_proc kp;
    if (proc_of(pid, &kp) != 0 || kp.ki_stat == SZOMB)
        return -1;
    *start = (uint64_t)kp.ki_start.tv_sec * 1000000 + (uint64_t)kp.ki_start.tv_usec;
    return 0;
}

int process_uids(pid_t pid, uid_t *real, uid_t *effective)
{
    struct kinfo_proc kp;
    if (proc_of(pid, &kp) != 0)
        return -1;
    *real = kp.ki_ruid;
    *effective = kp.ki_uid;
    return 0;
}

uint64_t own_pid_namespace(void)
{
    return 0;
}

void die_with_parent(pid_t parent)
{
    int sig = SIGKILL;
    procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &sig);
    if (getppid() != parent)
        _exit(1);
}

void close_all_but(const int *keep, int count)
{
    std::vector<int> fds(keep, keep + count);
    std::sort(fds.begin(), fds.end());
    int from = 0;
    for (int fd : fds) {
        if (fd < from)
            continue;
        for (int f = from; f < fd; f++)
            close(f);
        from = fd + 1;
    }
    closefrom(from);
}
