#ifndef VRIX_PROCESS_FACTS_H
#define VRIX_PROCESS_FACTS_H

#include <stdint.h>
#include <sys/types.h>

// What the watch asks the system about processes, one implementation per
// system.

// The processor time pid has used, user and system, in milliseconds; 0, or
// -1 when it cannot be had (the process is gone).
int process_cpu_ms(pid_t pid, uint64_t *ms);

// When pid started, in the system's own unit: with the pid, it names one
// process, not a later one that got the same number. 0, or -1.
int process_start(pid_t pid, uint64_t *start);

// The real and effective uids of pid: 0, or -1.
int process_uids(pid_t pid, uid_t *real, uid_t *effective);

// The PID namespace the calling process sees others in (0 where there is
// only one): a pid names a process only there.
uint64_t own_pid_namespace(void);

// The calling process, a child just forked, is killed when its parent
// ends; parent is the parent's pid, taken before the fork: a parent that
// ended before the child could ask ends the child at once (its parent is
// then another process, which a pid read in the child could not tell).
void die_with_parent(pid_t parent);

// Closes every descriptor but the count in keep.
void close_all_but(const int *keep, int count);

// Where the record of devices that left a process behind lives: a directory
// only root may write.
extern const char STALL_RECORD_DIR[];

#endif
