#ifndef VRIX_STALL_RECORD_H
#define VRIX_STALL_RECORD_H

#include <stdint.h>
#include <sys/types.h>

// The devices on which a process that a run left behind still waits, kept
// across runs so that a later run neither waits on them again nor leaves
// another process behind. Root's alone: a record that anyone else could
// have written is not read, and a run without root neither reads nor writes
// one. An entry counts only while its process lives.

// Hands the devices of the record whose process still lives to the watch.
void stall_record_load(void);

// Adds dev, on which pid was left behind.
void stall_record_add(uint64_t dev, pid_t pid);

#endif
