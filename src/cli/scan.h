#ifndef VRIX_SCAN_H
#define VRIX_SCAN_H

#include "platform.h"
#include "rows.h"
#include "run.h"

// The worker's part (the parent's, watching it, is watched_scan.cpp, which
// calls this and nothing else of it): judges procs[from..count) in order, appending rows,
// until done or until the buffer is full (rows->state says which).
void scan_range(struct procstat *ps, struct kinfo_proc *procs, unsigned count, unsigned from,
                struct row_buffer *rows);

#endif
