#ifndef VRIX_PROCSTAT_COMPAT_H
#define VRIX_PROCSTAT_COMPAT_H

// The subset of FreeBSD's libprocstat that vrix uses, with FreeBSD's names,
// types and values, for systems that lack it. Records hold only the fields
// vrix reads.

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#define COMMLEN 19

#define KERN_PROC_PID 1
#define KERN_PROC_PROC 8

#define KVME_TYPE_DEFAULT 1
#define KVME_TYPE_VNODE 2
#define KVME_TYPE_SWAP 3
#define KVME_TYPE_DEVICE 4

#define KVME_PROT_READ 1
#define KVME_PROT_WRITE 2
#define KVME_PROT_EXEC 4

struct procstat;

struct kinfo_proc {
    pid_t ki_pid;
    int ki_jid;
    char ki_comm[COMMLEN + 1];
};

// FreeBSD's PATH_MAX, the size of kve_path there.
enum { KVE_PATH_SIZE = 1024 };

struct kinfo_vmentry {
    uint64_t kve_start;      // the mapping's address range
    uint64_t kve_end;
    int kve_type;
    int kve_protection;
    int kve_shadow_count;
    uint64_t kve_vn_fsid;    // device of the mapped file
    uint64_t kve_vn_fileid;  // inode number of the mapped file
    char kve_path[KVE_PATH_SIZE];
};

extern "C" {
struct procstat *procstat_open_sysctl(void);
void procstat_close(struct procstat *procstat);
struct kinfo_proc *procstat_getprocs(struct procstat *procstat, int what, int arg,
                                     unsigned int *count);
void procstat_freeprocs(struct procstat *procstat, struct kinfo_proc *p);
int procstat_getpathname(struct procstat *procstat, struct kinfo_proc *kp, char *pathname,
                         size_t maxlen);
struct kinfo_vmentry *procstat_getvmmap(struct procstat *procstat, struct kinfo_proc *kp,
                                        unsigned int *count);
void procstat_freevmmap(struct procstat *procstat, struct kinfo_vmentry *vmmap);
int sysctlbyname(const char *name, void *oldp, size_t *oldlenp, const void *newp,
                 size_t newlen);
}

#endif
