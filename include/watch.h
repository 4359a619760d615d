#ifndef VRIX_WATCH_H
#define VRIX_WATCH_H

// The watch over the scan's waits. The scan runs in a worker process; before
// every call that may wait on a file system or on another process, the worker
// says what it waits on with plain stores into a page it shares with the
// parent. The parent sleeps, and kills a worker whose page has not moved for
// the bound. Publishing costs no system call.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// How long one wait may take before it counts as stuck. A stalled FUSE
// daemon or a dead NFS server would otherwise hold the run for ever; lsof
// waits 15 seconds for its own kernel calls.
enum { LOOKUP_BOUND_SECONDS = 5 };
// The bound in milliseconds; tests shorten it.
extern int watch_bound_ms;

// Room for a mapped path with the prefix that leads into a namespace.
enum { WATCH_PATH_SIZE = 1024 + 64 };
enum { WATCH_ANSWERED_MAX = 64 };

// What the worker waits on: nothing it names (between calls, or in a call
// about the process itself: its map, its files), or a lookup of a path.
enum { WAIT_PROCESS = 0, WAIT_LOOKUP = 1 };

// The page the parent and its worker share; a fresh one for each worker,
// mapped before it is forked.
struct watch_page {
    uint64_t seq;        // moves at each process and at each lookup's start and end
    uint32_t index;      // the process the worker is at, in the process list
    int32_t pid;         // and its pid
    int32_t waiting;     // WAIT_PROCESS or WAIT_LOOKUP
    uint64_t frame;      // the lookup's frame: 0 for our own root
    uint32_t shown_at;   // where the path as the process names it starts in looked
    char looked[WATCH_PATH_SIZE];
    char name[1024];     // the process's name for its row, once known

    // Devices that answered a lookup in this run, for every worker to come.
    uint32_t answered_count;
    uint64_t answered[WATCH_ANSWERED_MAX];
};

// The page in use: a private one until watch_share() gives a shared one, so
// that the calls below work in any process, watched or not.
extern struct watch_page *watch;

// Maps a page shared with processes forked after it; 0, or -1 with errno.
int watch_share(void);

// The same with the contents of the page in use, whose shared mapping goes:
// a fresh page for each worker, out of reach of a killed one's late stores.
int watch_renew(void);

// The scan is at process index with pid.
void watch_process(uint32_t index, pid_t pid);

// The name the row of the process at hand would show (its executable path),
// for the row of a process whose calls do not answer.
void watch_process_name(const char *name);

// The frame of the process being judged, set by the platform: the prefix
// under which its namespace's root is reached ("" for our own) and a key
// that names that namespace for the rest of the run (0 for our own).
void watch_frame(uint64_t key, const char *prefix);

// A lookup of path begins or ends.
void watch_lookup_begin(const char *path);
void watch_lookup_end(void);

// A lookup on device dev was answered.
void watch_answered(uint64_t dev);

// A mount that left a lookup unanswered: lookups at or below point, in the
// given frame, are not asked again in this run.
struct stalled_mount {
    uint64_t frame;
    char point[WATCH_PATH_SIZE];
};

// Records the mount in which the lookup now in the page stopped; the path as
// the process names it goes to shown.
void watch_record_stall(char *shown, size_t size);

// Set once the run has waited its whole allowance: file systems that can
// stall and have not answered are not asked any more.
void watch_allowance_spent(void);

// Whether path must not be asked: it lies on a stalled mount, or on a file
// system that can stall and has not answered once the allowance is spent.
int watch_refuses(const char *path);

#endif
