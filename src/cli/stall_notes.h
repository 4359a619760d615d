#ifndef VRIX_STALL_NOTES_H
#define VRIX_STALL_NOTES_H

#include <stdint.h>
#include <sys/types.h>

#include "watch.h"

// What the parent says and keeps of the waits its workers met.

// The lookup of path, as process pid names it, got no answer.
void warn_no_answer(const char *path, int pid);

// Says, once each, what the workers met that the run must know of: a
// share spent, the cap of processes left behind reached, a device an
// earlier run's process still waits on.
void announce(void);

// Kills stuck, a process that waited on key; one still there a moment
// later sleeps in the kernel, and is counted and recorded for later runs.
void leave_behind(pid_t stuck, struct stall_key key);

#endif
