#ifndef VRIX_MAPPING_VERDICT_H
#define VRIX_MAPPING_VERDICT_H

#include <stdint.h>

#include "platform.h"

// The verdict on one process from its memory map; stores the missing count in
// *missing_out (when given) whenever the map could be read.
int check_mappings(struct procstat *procstat, struct kinfo_proc *kp, uint64_t *missing_out);

// Forgets what check_mappings learned of files; a new scan starts from what
// is on disk now.
void stat_cache_clear(void);

#endif
