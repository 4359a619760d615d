#ifndef VRIX_WATCH_H
#define VRIX_WATCH_H

// The watch over the scan's waits. The scan runs in a worker process; before
// every call that may wait on a file system or on another process, the worker
// says what it waits on with plain stores into a page it shares with the
// parent. The parent sleeps, and kills a worker whose page has not moved, and
// which has not run, for the bound. Publishing costs no system call.

#include <signal.h>
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
// What a share of the run may spend on lookups that the kernel's caches
// could not answer, by the clock, in bounds.
enum { BUDGET_BOUNDS = 2 };

// Whose share a wait spends. A wait is charged to the owner of the process
// being judged, and a user's holds spend only that user's share:
// - root and the system users (a process whose real and effective uids
//   are both at most SYSTEM_UID_MAX) have a share of their own, of
//   BUDGET_BOUNDS bounds, that no other user's process draws on, so that
//   no user's hold ever blinds the judging of root's processes;
// - every other user has a share of BUDGET_BOUNDS bounds of their own
//   (the real uid, or the effective one where the real is a system
//   user's); all users together draw at most USERS_BUDGET_BOUNDS, so that
//   the run stays bounded however many uids a user may run processes as;
// - a process's first OWNER_AFTER_US of waits are pooled without asking
//   who owns it (most lookups take microseconds, and asking is a read of
//   /proc): the pool refuses no one, and once it holds a bound divided by
//   POOL_BOUND_PART, or a share is spent, the owner of every process is
//   asked before it waits.
// A share spent refuses, for the processes it pays for, what the caches
// cannot answer; everyone else's processes are still asked.
enum { SYSTEM_UID_MAX = 999 };
enum { USERS_BUDGET_BOUNDS = 4 };
enum { OWNER_AFTER_US = 1000 };
enum { POOL_BOUND_PART = 10 };
enum { WATCH_USERS_MAX = 32 };
// The owner of the process at hand, when it is not a user's slot.
enum { OWNER_UNKNOWN = -1, OWNER_SYSTEM = -2, OWNER_UNLISTED = -3 };

// At most this many processes that vrix left behind may still wait on the
// machine, across all runs and whatever their causes, as the record counts
// them: at the cap no new wait starts, and a name the caches cannot answer
// is refused. The last LEFT_SYSTEM_RESERVE of them are for the processes
// of root and the system users alone: users' holds stop short of them, so
// that a user who fills the cap still never blinds root's processes.
enum { WATCH_LEFT_MAX = 4 };
enum { LEFT_SYSTEM_RESERVE = 1 };
// Who a refusal for the cap was for, in cap_refused.
enum { CAP_USERS = 1, CAP_SYSTEM = 2 };

// Room for a mapped path with the prefix that leads into a namespace.
enum { WATCH_PATH_SIZE = 1024 + 64 };
enum { WATCH_RECORDED_MAX = 64 };
enum { WATCH_STALLED_MAX = 256 };

// What the worker waits on: nothing it names (between calls, or in a call
// about the process itself: its map, its files), or a lookup of a path.
enum { WAIT_PROCESS = 0, WAIT_LOOKUP = 1 };

// What a lookup waits on, as the mount table said just before it was asked:
// a local file system, one that can stall (network, FUSE), or one that
// cannot be told (a symbolic link on the way may lead anywhere).
enum { CLASS_LOCAL = 0, CLASS_STALLS = 1, CLASS_UNKNOWN = 2 };

// What a stall is charged to, and a later lookup refused for: on a file
// system that can stall, its device (ino 0); on a local one, the directory
// the lookup waited in (any user who can search a directory can hold it, so
// its device is never to blame); where neither can be told, the path itself
// (dev NO_DEVICE, ino a hash of the path).
struct stall_key {
    uint64_t dev;
    uint64_t ino;
};

// The page the parent and its worker share; a fresh one for each worker,
// mapped before it is forked.
struct watch_page {
    uint64_t seq;        // moves at each process and at each lookup's start and end
    uint32_t index;      // the process the worker is at, in the process list
    int32_t pid;         // and its pid
    int32_t waiting;     // WAIT_PROCESS or WAIT_LOOKUP
    int32_t wait_class;  // CLASS_* of the lookup waited on
    uint64_t wait_dev;   // and its device, when known
    uint64_t wait_ino;   // the directory it waits in, on a local file system, or 0
    int32_t prober;      // the process asking a file system that can stall, or 0
    int32_t waiter;      // a helper that asks for the prober or the worker, or 0
    uint32_t shown_at;   // where the path as the process names it starts in looked
    uint64_t frame;      // the lookup's frame: 0 for our own root
    char looked[WATCH_PATH_SIZE];
    char name[1024];     // the process's name for its row, once known

    // The answer of the process that asked a file system that can stall.
    struct file_id answer;
    uint32_t answer_done;

    // Microseconds waited on lookups the caches could not answer: by
    // share, and those of the process at hand not yet charged to its owner.
    int32_t owner;       // OWNER_*, or the slot in users of the process at hand
    int32_t owners_eager;
    int64_t pending_us;
    int64_t pooled_us;
    int64_t system_used_us;
    int64_t users_used_us;
    uint32_t user_count;
    struct {
        uint32_t uid;
        int64_t used_us;
    } users[WATCH_USERS_MAX];
    // Processes left behind that still wait, this run's and earlier runs';
    // for whom this run refused a lookup for the cap (CAP_*).
    int32_t left_count;
    int32_t cap_refused;
    // The worker let go of its descriptors, at the parent's word.
    uint32_t shed_done;
    // Microseconds the parent found the run stopped (SIGSTOP, a frozen
    // cgroup): no wait of a lookup.
    int64_t stopped_us;
    // No worker could be forked: the scan runs in vrix itself, which must
    // not wait, and asks only what the kernel's caches answer.
    int32_t cached_only;
    // A lookup on a file system that can stall, or that could not be told,
    // was asked in this run.
    int32_t met_may_stall;
    // What did not answer in this run: a worker forked before a stall
    // learns of it here.
    uint32_t stalled_count;
    struct stall_key stalled[WATCH_STALLED_MAX];
    // What an earlier run's process still waits on, and whether this run
    // refused a lookup on each.
    uint32_t recorded_count;
    struct stall_key recorded[WATCH_RECORDED_MAX];
    int32_t recorded_pid[WATCH_RECORDED_MAX];
    uint8_t recorded_refused[WATCH_RECORDED_MAX];
};

// The page in use: a private one until watch_share() gives a shared one, so
// that the calls below work in any process, watched or not.
extern struct watch_page *watch;

// A fresh shared page, for a worker about to be forked; null with errno.
struct watch_page *watch_page_map(void);
void watch_page_unmap(struct watch_page *page);

// Makes page, a fresh one, the page in use, holding what the page in use
// holds (what the run has learnt). A killed worker may still be running on
// another CPU: what it stores lands in its own page, never in the next
// worker's.
void watch_use(struct watch_page *page);

// watch_use() of a fresh page; 0, or -1 with errno.
int watch_share(void);

// A descriptor the run holds for its whole length (the process table's
// handle, a mount table): a worker keeps it. Every other descriptor a
// worker inherits, but 0-2, it closes, so that one left behind holds
// nothing of vrix's caller (a lock that cron's next run waits for).
void watch_keep_fd(int fd);
void watch_close_unkept(void);

// The scan is at process index with pid.
void watch_process(uint32_t index, pid_t pid);

// The name the row of the process at hand would show (its executable path),
// for the row of a process whose calls do not answer.
void watch_process_name(const char *name);

// The frame of the process being judged, set by the platform: the prefix
// under which its namespace's root is reached ("" for our own) and a key
// that names that namespace for the rest of the run (0 for our own).
void watch_frame(uint64_t key, const char *prefix);

// A lookup of path, on a file system of the given class and device, in
// directory ino where it is known, begins or ends.
void watch_lookup_begin(const char *path, int wait_class, uint64_t dev, uint64_t ino);
void watch_lookup_end(void);

// What a lookup of path waits on, from the mount table, and its device;
// CLASS_LOCAL and NO_DEVICE when no table places it.
static const uint64_t NO_DEVICE = UINT64_MAX;
int watch_classify(const char *path, uint64_t *dev);

// The class of a lookup of path that waits on device dev.
int watch_classify_dev(const char *path, uint64_t dev);

// A call about a mapping of path, a file on device dev, that may reach its
// file system: announced, charged and refused as a lookup on that device
// is. Returns the class to hand to watch_call_end(), or -1 (errno
// ETIMEDOUT) when the call must not be made.
int watch_call_begin(const char *path, uint64_t dev);
void watch_call_end(int wait_class);

// Whether a lookup the caches cannot answer, of the given class, device and
// directory, must not be asked: what it would wait on did not answer in this
// run, or an earlier run's process still waits on it, or as many processes
// as may be are left behind, or the share of the process at hand is spent.
int watch_refuses(const char *path, int wait_class, uint64_t dev, uint64_t ino);

// Adds us microseconds spent waiting to the share of the process at hand.
void watch_charge(int64_t us);

// Whether the share of the process at hand is spent; and the one of root
// and the system users, of user slot i, of all users.
int watch_share_spent(void);
int watch_owner_is_system(void);
int watch_system_spent(void);
int watch_user_spent(uint32_t i);
int watch_users_spent(void);

// Moves the waits of the process at hand not charged to its owner to the
// pool, for the next process.
void watch_shares_next(void);

// The real and effective uids of process pid: 0, or -1. Tests put the
// fake's owners here.
typedef int (*owner_call)(pid_t pid, uid_t *real, uid_t *effective);
extern owner_call watch_owner_call;

// A clock for what a wait costs: the time since watch_clock_start(), less
// what the run spent stopped meanwhile.
struct watch_clock {
    long long at_us;
    int64_t stopped_us;
};
struct watch_clock watch_clock_start(void);
int64_t watch_clock_us(struct watch_clock since);

// The lookup now in the page did not answer: what it waited on is not asked
// again in this run; its key goes to *key. The path as the process names
// it, without the kernel's " (deleted)", goes to shown.
void watch_record_stall(char *shown, size_t size, struct stall_key *key);

// What an earlier run's process pid still waits on.
void watch_recorded(struct stall_key key, pid_t pid);

// A key that refuses nothing: a process left behind that is counted
// against the cap alone (one that waited on a path that could not be
// placed, or on a process's own call).
static const struct stall_key COUNT_ONLY = {UINT64_MAX, 0};

// In a worker, a thread that waits for the parent's word (SHED_SIGNAL)
// and then closes every descriptor of the worker but 0-2, so that a worker
// left behind holds nothing but the one call it waits in. 0, or -1.
enum { SHED_SIGNAL = SIGUSR2 };
int watch_shedder_start(void);

// In the parent: asks worker to let go of its descriptors, and waits a
// moment for it.
void watch_shed(pid_t worker);

#endif
