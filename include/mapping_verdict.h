#ifndef VRIX_MAPPING_VERDICT_H
#define VRIX_MAPPING_VERDICT_H

#include <stdint.h>

#include "platform.h"

// The verdict on one process from its memory map; stores the missing count in
// *missing_out (when given) whenever the map could be read.
int check_mappings(struct procstat *procstat, struct kinfo_proc *kp, uint64_t *missing_out);

// What the verdict is made of: the counted mappings whose file is gone, is
// another file now, or could not be looked up.
struct mapping_counts {
    uint64_t missing;
    uint64_t outdated;
    uint64_t errors;
};

// Adds up the counted mappings of one process and returns the verdict;
// VERDICT_ERROR with the counts untouched when the map cannot be read.
int count_mappings(struct procstat *procstat, struct kinfo_proc *kp,
                   struct mapping_counts *counts);
// The verdict of counts: missing over outdated over errors.
int mapping_verdict(const struct mapping_counts *counts);

// Forgets what check_mappings learned of files; a new scan starts from what
// is on disk now.
void stat_cache_clear(void);

#endif
