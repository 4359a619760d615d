#include <errno.h>
#include <stdlib.h>

#include "mapping_verdict.h"
#include "stat_cache.h"
#include "verdict.h"

struct mapping_counts {
    uint64_t missing;
    uint64_t outdated;
    uint64_t errors;
};

// Only private, readable and executable file mappings run code from a file;
// newer kernels set further bits in the protection, so test with a mask.
static bool mapping_counts(const struct kinfo_vmentry *kve)
{
    const int rx = KVME_PROT_READ | KVME_PROT_EXEC;
    return kve->kve_type == KVME_TYPE_VNODE && kve->kve_shadow_count != 0 &&
           (kve->kve_protection & rx) == rx;
}

static void judge_mapping(const struct kinfo_vmentry *kve, struct mapping_counts *counts)
{
    if (kve->kve_path[0] == '\0') {
        counts->missing++;
        return;
    }
    struct file_id now;
    if (cached_stat(kve->kve_path, &now) != 0) {
        if (errno == ENOENT)
            counts->missing++;
        else
            counts->errors++;
        return;
    }
    if (now.dev != kve->kve_vn_fsid || now.ino != kve->kve_vn_fileid)
        counts->outdated++;
}

int check_mappings(struct procstat *procstat, struct kinfo_proc *kp, uint64_t *missing_out)
{
    unsigned int count = 0;
    struct kinfo_vmentry *map = procstat_getvmmap(procstat, kp, &count);
    if (map == nullptr) {
        // A process that exited mid-scan is passed over.
        return errno == ESRCH ? VERDICT_NONE : VERDICT_ERROR;
    }

    struct mapping_counts counts = {0, 0, 0};
    for (unsigned int i = 0; i < count; i++) {
        if (mapping_counts(&map[i]))
            judge_mapping(&map[i], &counts);
    }
    free(map);

    if (missing_out != nullptr)
        *missing_out = counts.missing;
    if (counts.missing > 0)
        return VERDICT_MISSING;
    if (counts.outdated > 0)
        return VERDICT_OUTDATED;
    if (counts.errors > 0)
        return VERDICT_ERROR;
    return VERDICT_NONE;
}
