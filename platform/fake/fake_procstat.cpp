#include <errno.h>
#include <time.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <unistd.h>

#include "fake_platform.h"
#include "watch.h"

fake_system fake;

struct procstat {
    int unused;
};

void fake_reset(void)
{
    fake = fake_system{};
    fake.jail_errno = ENOENT;
}

fake_process &fake_add_process(int pid, int jid, const char *comm, const char *path)
{
    fake_process p{};
    p.kp.ki_pid = pid;
    p.kp.ki_jid = jid;
    strncpy(p.kp.ki_comm, comm, COMMLEN);
    p.path = path;
    fake.processes.push_back(p);
    return fake.processes.back();
}

struct kinfo_vmentry fake_mapping(int type, int protection, int shadow_count, const char *path,
                                  uint64_t fsid, uint64_t fileid)
{
    struct kinfo_vmentry kve;
    memset(&kve, 0, sizeof kve);
    kve.kve_type = type;
    kve.kve_protection = protection;
    kve.kve_shadow_count = shadow_count;
    strncpy(kve.kve_path, path, sizeof kve.kve_path - 1);
    kve.kve_vn_fsid = fsid;
    kve.kve_vn_fileid = fileid;
    return kve;
}

struct kinfo_vmentry fake_current_mapping(const char *path)
{
    struct stat sb;
    memset(&sb, 0, sizeof sb);
    stat(path, &sb);
    return fake_mapping(KVME_TYPE_VNODE, KVME_PROT_READ | KVME_PROT_EXEC, 1, path, sb.st_dev,
                        sb.st_ino);
}

static fake_process *find(struct kinfo_proc *kp)
{
    for (fake_process &p : fake.processes) {
        if (p.kp.ki_pid == kp->ki_pid)
            return &p;
    }
    return nullptr;
}

struct procstat *procstat_open_sysctl(void)
{
    if (fake.open_errno != 0)
        return errno = fake.open_errno, nullptr;
    return (struct procstat *)calloc(1, sizeof(struct procstat));
}

void procstat_close(struct procstat *ps)
{
    free(ps);
}

struct kinfo_proc *procstat_getprocs(struct procstat *, int what, int arg, unsigned int *count)
{
    if (fake.list_errno != 0 || (what != KERN_PROC_PROC && what != KERN_PROC_PID))
        return errno = fake.list_errno != 0 ? fake.list_errno : EINVAL, nullptr;
    size_t n = fake.processes.size();
    struct kinfo_proc *list = (struct kinfo_proc *)malloc((n == 0 ? 1 : n) * sizeof *list);
    size_t listed = 0;
    for (size_t i = 0; i < n; i++) {
        if (what == KERN_PROC_PROC || fake.processes[i].kp.ki_pid == arg)
            list[listed++] = fake.processes[i].kp;
    }
    if (listed == 0 && what == KERN_PROC_PID) {
        free(list);
        return errno = ESRCH, nullptr;
    }
    *count = (unsigned int)listed;
    return list;
}

void procstat_freeprocs(struct procstat *, struct kinfo_proc *list)
{
    free(list);
}

int procstat_getpathname(struct procstat *, struct kinfo_proc *kp, char *pathname, size_t maxlen)
{
    fake_process *p = find(kp);
    if (p == nullptr)
        return errno = ESRCH, -1;
    if (p->path_errno != 0)
        return errno = p->path_errno, -1;
    if (p->path.size() >= maxlen)
        return errno = ENAMETOOLONG, -1;
    memcpy(pathname, p->path.c_str(), p->path.size() + 1);
    return 0;
}

// Processor time, not the clock: a worker held to a sliver of a processor
// takes longer, as it would over a huge map.
static void work_for(int ms)
{
    if (ms <= 0)
        return;
    clock_t end = clock() + (clock_t)ms * (CLOCKS_PER_SEC / 1000);
    volatile unsigned spin = 0;
    while (clock() < end)
        spin = spin + 1;
}

struct kinfo_vmentry *procstat_getvmmap(struct procstat *, struct kinfo_proc *kp,
                                        unsigned int *count)
{
    fake_process *p = find(kp);
    if (p == nullptr)
        return errno = ESRCH, nullptr;
    if (!p->frame_prefix.empty())
        watch_frame(p->frame_key, p->frame_prefix.c_str());
    while (p->map_hangs)
        pause();
    work_for(p->map_busy_ms);
    if (p->map_errno != 0)
        return errno = p->map_errno, nullptr;
    size_t n = p->map.size();
    struct kinfo_vmentry *map = (struct kinfo_vmentry *)malloc((n == 0 ? 1 : n) * sizeof *map);
    if (n > 0)
        memcpy(map, p->map.data(), n * sizeof *map);
    *count = (unsigned int)n;
    return map;
}

void procstat_freevmmap(struct procstat *, struct kinfo_vmentry *map)
{
    free(map);
}

int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, const void *, size_t)
{
    if (strcmp(name, "security.jail.jailed") != 0 || fake.jail_errno != 0)
        return errno = fake.jail_errno != 0 ? fake.jail_errno : ENOENT, -1;
    if (*oldlenp < sizeof(int))
        return errno = ENOMEM, -1;
    memcpy(oldp, &fake.jailed, sizeof(int));
    *oldlenp = sizeof(int);
    return 0;
}
