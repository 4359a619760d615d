#ifndef VRIX_SCAN_H
#define VRIX_SCAN_H

#include "platform.h"
#include "rows.h"
#include "run.h"

// The worker's part: judges procs[from..count) in order, appending rows,
// until done or until the buffer is full (rows->state says which).
void scan_range(struct procstat *ps, struct kinfo_proc *procs, unsigned count, unsigned from,
                struct row_buffer *rows);

// The parent's part: runs the scan of procs in watched workers and prints
// what they found, in scan order.
void watched_scan(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                  struct run_flags *flags);

#endif
