#ifndef VRIX_STALL_RECORD_H
#define VRIX_STALL_RECORD_H

#include <stdint.h>
#include <sys/types.h>

// What a process that a run left behind still waits on (a device, or a
// directory of a local file system), kept
// across runs so that a later run neither waits on them again nor leaves
// another process behind. Root's alone: a record that anyone else could
// have written is not read, and a run without root neither reads nor writes
// one. An entry counts only while its process lives.

#include "watch.h"

// Hands the entries of the record whose process still lives to the watch,
// which counts them against the cap of processes left behind.
void stall_record_load(void);

// Adds key, on which pid was left behind (COUNT_ONLY: counted, refusing
// nothing). No entry whose process still lives is ever dropped for it.
void stall_record_add(struct stall_key key, pid_t pid);

#endif
