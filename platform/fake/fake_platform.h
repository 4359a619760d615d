#ifndef VRIX_FAKE_PLATFORM_H
#define VRIX_FAKE_PLATFORM_H

#include <sys/stat.h>

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
    bool map_hangs;       // procstat_getvmmap never returns, as on a stuck process
    int map_busy_ms;      // procstat_getvmmap works this long first, as on a huge map
    uint64_t frame_key;   // the namespace its names are in, as the watch knows it
    std::string frame_prefix;
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

// Lookups as a test's file systems answer them: stat(), except that paths
// under $VRIX_FAKE_STUCK never answer and those under $VRIX_FAKE_SLOW answer
// after $VRIX_FAKE_SLOW_MS milliseconds of time in which the run was not stopped.
int fake_lookup(const char *path, struct stat *sb);
struct wait_place;
int fake_place(const char *path, struct wait_place *place);

// Reads a script (see fake_script.cpp) into the table; 0, or -1 with a
// message on stderr.
int fake_load_script(const char *path);

#endif
