#include "platform.h"
#include "run.h"

// The value of security.jail.jailed, or -1 when the setting cannot be read
// (as on systems without jails).
int jail_state(void)
{
    int jailed = 0;
    size_t len = sizeof jailed;
    if (sysctlbyname("security.jail.jailed", &jailed, &len, nullptr, 0) != 0)
        return -1;
    return jailed;
}

// The jail of a process that gets a row, asked when the row is made: the
// list of processes may leave it unsaid where learning it costs a call per
// process (Linux). A process gone since keeps the list's.
int row_jail(struct procstat *ps, const struct kinfo_proc *kp)
{
    unsigned int count = 0;
    struct kinfo_proc *one = procstat_getprocs(ps, KERN_PROC_PID, kp->ki_pid, &count);
    if (one == nullptr)
        return kp->ki_jid;
    int jid = count > 0 ? one->ki_jid : kp->ki_jid;
    procstat_freeprocs(ps, one);
    return jid;
}
