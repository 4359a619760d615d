#include <errno.h>
#include <stdlib.h>

#include "mapping_verdict.h"
#include "lookup.h"
#include "verdict.h"

// Only private, readable and executable file mappings run code from a file;
// newer kernels set further bits in the protection, so test with a mask.
static bool is_counted(const struct kinfo_vmentry *kve)
{
    const int rx = KVME_PROT_READ | KVME_PROT_EXEC;
    return kve->kve_type == KVME_TYPE_VNODE && kve->kve_shadow_count != 0 &&
           (kve->kve_protection & rx) == rx;
}

// now: what stat() says of the mapping's path
static void judge_mapping(const struct kinfo_vmentry *kve, const struct file_id *now,
                          struct mapping_counts *counts)
{
    if (kve->kve_path[0] == '\0')
        counts->missing++;
    else if (now->error == ENOENT)
        counts->missing++;
    else if (now->error != 0)
        counts->errors++;  // a file system that did not answer among them
    else if (now->dev != kve->kve_vn_fsid || now->ino != kve->kve_vn_fileid)
        counts->outdated++;
}

int count_mappings(struct procstat *procstat, struct kinfo_proc *kp,
                   struct mapping_counts *counts)
{
    unsigned int count = 0;
    struct kinfo_vmentry *map = procstat_getvmmap(procstat, kp, &count);
    if (map == nullptr) {
        // A process that exited mid-scan is passed over.
        return errno == ESRCH ? VERDICT_NONE : VERDICT_ERROR;
    }
    for (unsigned int i = 0; i < count; i++) {
        if (!is_counted(&map[i]))
            continue;
        struct file_id now = {0, 0, 0, 0};
        if (map[i].kve_path[0] != '\0')
            now = look_up_path(map[i].kve_path);
        judge_mapping(&map[i], &now, counts);
    }
    procstat_freevmmap(procstat, map);
    return mapping_verdict(counts);
}

int mapping_verdict(const struct mapping_counts *counts)
{
    if (counts->missing > 0)
        return VERDICT_MISSING;
    if (counts->outdated > 0)
        return VERDICT_OUTDATED;
    if (counts->errors > 0)
        return VERDICT_ERROR;
    return VERDICT_NONE;
}

int check_mappings(struct procstat *procstat, struct kinfo_proc *kp, uint64_t *missing_out)
{
    struct mapping_counts counts = {0, 0, 0};
    int verdict = count_mappings(procstat, kp, &counts);
    // an error with no mapping counted as one is a map that could not be
    // read: the caller's count stays as it was
    if (missing_out != nullptr && (verdict != VERDICT_ERROR || counts.errors > 0))
        *missing_out = counts.missing;
    return verdict;
}
