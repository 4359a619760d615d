#ifndef VRIX_FAKE_PLATFORM_H
#define VRIX_FAKE_PLATFORM_H

#include <string>
#include <vector>

#include "platform.h"

// A process table scripted by a test, answering the process-information
// calls as a kernel would. It is also the template for a new platform.
struct fake_process {
    struct kinfo_proc kp;
    std::string path;     // answer of procstat_getpathname
    int path_errno;       // or its failure
    std::vector<struct kinfo_vmentry> map;
    int map_errno;        // failure of procstat_getvmmap
};

struct fake_system {
    int jailed;           // security.jail.jailed
    int jail_errno;       // or the failure to read it
    int open_errno;       // failure of procstat_open_sysctl
    int list_errno;       // failure of procstat_getprocs
    std::vector<fake_process> processes;
};

extern fake_system fake;

void fake_reset(void);
fake_process &fake_add_process(int pid, int jid, const char *comm, const char *path);
struct kinfo_vmentry fake_mapping(int type, int protection, int shadow_count, const char *path,
                                  uint64_t fsid, uint64_t fileid);
// A private read+exec mapping of path as it is on disk now.
struct kinfo_vmentry fake_current_mapping(const char *path);

// Reads a script (see fake_script.cpp) into the table; 0, or -1 with a
// message on stderr.
int fake_load_script(const char *path);

#endif
