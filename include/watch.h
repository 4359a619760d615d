#ifndef VRIX_WATCH_H
#define VRIX_WATCH_H

// The watch over the scan's waits. The scan runs in a worker process; before
// every call that may wait on a file system or on another process, the worker
// says what it waits on with plain stores into a page it shares with the
// parent. The parent sleeps, and kills a worker whose page has not moved, and
// which has not run, for the bound. Publishing costs no system call.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "lookup.h"

// How long one wait may take before it counts as stuck. A stalled FUSE
// daemon or a dead NFS server would otherwise hold the run for ever; lsof
// waits 15 seconds for its own kernel calls.
enum { LOOKUP_BOUND_SECONDS = 5 };
// The bound in milliseconds; tests shorten it.
extern int watch_bound_ms;
// What the whole run may spend waiting on file systems that can stall, by
// the clock, in bounds.
enum { BUDGET_BOUNDS = 2 };

// Room for a mapped path with the prefix that leads into a namespace.
enum { WATCH_PATH_SIZE = 1024 + 64 };
enum { WATCH_RECORDED_MAX = 64 };

// What the worker waits on: nothing it names (between calls, or in a call
// about the process itself: its map, its files), or a lookup of a path.
enum { WAIT_PROCESS = 0, WAIT_LOOKUP = 1 };

// What a lookup waits on, as the mount table said just before it was asked:
// a local file system, one that can stall (network, FUSE), or one that
// cannot be told (a symbolic link on the way may lead anywhere).
enum { CLASS_LOCAL = 0, CLASS_STALLS = 1, CLASS_UNKNOWN = 2 };

// The page the parent and its worker share; a fresh one for each worker,
// mapped before it is forked.
struct watch_page {
    uint64_t seq;        // moves at each process and at each lookup's start and end
    uint32_t index;      // the process the worker is at, in the process list
    int32_t pid;         // and its pid
    int32_t waiting;     // WAIT_PROCESS or WAIT_LOOKUP
    int32_t wait_class;  // CLASS_* of the lookup waited on
    uint64_t wait_dev;   // and its device, when known
    int32_t prober;      // the process asking a file system that can stall, or 0
    uint32_t shown_at;   // where the path as the process names it starts in looked
    uint64_t frame;      // the lookup's frame: 0 for our own root
    char looked[WATCH_PATH_SIZE];
    char name[1024];     // the process's name for its row, once known

    // The answer of the process that asked a file system that can stall.
    struct file_id answer;
    uint32_t answer_done;

    // Milliseconds the run has waited on file systems that can stall.
    int64_t budget_used_ms;
    // Devices an earlier run's process still waits on, and whether this run
    // refused a lookup on each.
    uint32_t recorded_count;
    uint64_t recorded_dev[WATCH_RECORDED_MAX];
    int32_t recorded_pid[WATCH_RECORDED_MAX];
    uint8_t recorded_refused[WATCH_RECORDED_MAX];
};

// The page in use: a private one until watch_share() gives a shared one, so
// that the calls below work in any process, watched or not.
extern struct watch_page *watch;

// Gives a fresh shared page, holding what the page in use holds, for a worker
// about to be forked; 0, or -1 with errno. A killed worker may still be
// running on another CPU: what it stores lands in its own page, never in the
// next worker's.
int watch_share(void);

// The scan is at process index with pid.
void watch_process(uint32_t index, pid_t pid);

// The name the row of the process at hand would show (its executable path),
// for the row of a process whose calls do not answer.
void watch_process_name(const char *name);

// The frame of the process being judged, set by the platform: the prefix
// under which its namespace's root is reached ("" for our own) and a key
// that names that namespace for the rest of the run (0 for our own).
void watch_frame(uint64_t key, const char *prefix);

// A lookup of path, on a file system of the given class and device, begins
// or ends.
void watch_lookup_begin(const char *path, int wait_class, uint64_t dev);
void watch_lookup_end(void);

// What a lookup of path waits on, from the mount table as it is now, and its
// device; CLASS_LOCAL and NO_DEVICE when no table places it.
static const uint64_t NO_DEVICE = UINT64_MAX;
int watch_classify(const char *path, uint64_t *dev);

// The same, from the table as it is now.
int watch_classify_afresh(const char *path, uint64_t *dev);

// A call about a mapping of path, a file on device dev, that may reach its
// file system: announced, charged and refused as a lookup on that device
// is. Returns the class to hand to watch_call_end(), or -1 (errno
// ETIMEDOUT) when the call must not be made.
int watch_call_begin(const char *path, uint64_t dev);
void watch_call_end(int wait_class);

// Whether a lookup on the given class and device must not be asked: the
// device did not answer in this run or an earlier run's process still waits
// on it, or the run's budget for file systems that can stall is spent.
// For a path that a stall left unplaced, path itself is refused.
int watch_refuses(const char *path, int wait_class, uint64_t dev);

// Adds ms spent waiting on a file system that can stall to the run's budget.
void watch_charge(int64_t ms);

// Whether the run's budget is spent.
int watch_budget_spent(void);

// The lookup now in the page did not answer: its device (or, unplaced, its
// path) is not asked again in this run. The path as the process names it,
// without the kernel's " (deleted)", goes to shown.
void watch_record_stall(char *shown, size_t size);

// A device an earlier run's process pid still waits on.
void watch_recorded(uint64_t dev, pid_t pid);

#endif
