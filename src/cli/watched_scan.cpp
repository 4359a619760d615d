#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "escape.h"
#include "scan.h"
#include "verdict.h"
#include "watch.h"
#include "whitelist.h"

// The parent watches; a forked worker scans. The parent wakes a few times
// per bound to see whether the worker's page has moved, and kills a worker
// that has waited on one thing for the whole bound. Such a worker may sleep
// in the kernel for ever (uninterruptible, on a FUSE directory's lock): it
// is left behind, holding none of our output, and a fresh worker goes on.
enum { CHECKS_PER_BOUND = 5 };
// A wait that returns this much later than asked means we were stopped or
// frozen: that time is not charged to the worker.
enum { STOPPED_SLACK_MS = 500 };
// The whole run waits at most this many bounds for stalled lookups.
enum { ALLOWANCE_BOUNDS = 2 };

enum { WORKER_ENDED, WORKER_STALLED };

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// The worker holds nothing that reads or writes our output: whoever reads
// vrix's output sees its end when the parent ends, whatever became of a
// worker. Handlers installed for the parent (the whitelist's cleanup) are
// not the worker's.
static void become_worker(void)
{
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; fd++) {
        if (null_fd >= 0)
            dup2(null_fd, fd);
        else
            close(fd);
    }
    if (null_fd > 2)
        close(null_fd);
    whitelist_writer_close_in_child();
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN &&
            old.sa_handler != SIG_DFL)
            signal(sig, SIG_DFL);
    }
}

static uint64_t seq_now(void)
{
    return __atomic_load_n(&watch->seq, __ATOMIC_ACQUIRE);
}

static struct timespec as_timespec(int ms)
{
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    return t;
}

// Sleeps until the worker ends or has not moved for the bound. It costs no
// descriptor: the end of a child is a signal, waited for while blocked, so a
// run with no descriptor to spare still judges what it can.
static int supervise(pid_t worker)
{
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    uint64_t seen = seq_now();
    long long moved = now_ms();
    for (;;) {
        if (waitpid(worker, nullptr, WNOHANG) == worker)
            return WORKER_ENDED;
        int wait_ms = watch_bound_ms / CHECKS_PER_BOUND + 1;
        struct timespec timeout = as_timespec(wait_ms);
        long long before = now_ms();
        sigtimedwait(&child, nullptr, &timeout);
        long long after = now_ms();
        uint64_t seq = seq_now();
        if (seq != seen || after - before > wait_ms + STOPPED_SLACK_MS) {
            seen = seq;
            moved = after;
        } else if (after - moved >= watch_bound_ms) {
            if (waitpid(worker, nullptr, WNOHANG) == worker)
                return WORKER_ENDED;
            kill(worker, SIGKILL);
            return WORKER_STALLED;
        }
    }
}

static void print_record(const struct row_record *record, void *arg)
{
    struct run_flags *flags = (struct run_flags *)arg;
    if (record->kind == RECORD_ABORT)
        whitelist_writer_abort((unsigned)record->pid);
    if (record->verdict == VERDICT_ERROR)
        flags->error_seen = 1;
    if (record->verdict == VERDICT_MISSING)
        whitelist_writer_add((unsigned)record->pid, record->path, record->missing);
    print_row(flags, (unsigned)record->pid, (unsigned)record->jid,
              verdict_label(record->verdict), record->path);
}

// Any user can mount a file system and name its files: the name goes out
// escaped, as in the table, as the process names it: without the marker a
// kernel appends to a deleted file's name, which would read as a path of
// its own.
static void warn_no_answer(char *path, pid_t pid)
{
    static const char MARKER[] = " (deleted)";
    size_t len = strlen(path), marker_len = sizeof MARKER - 1;
    if (len > marker_len && strcmp(path + len - marker_len, MARKER) == 0)
        path[len - marker_len] = '\0';
    fputs("vrix: no answer for '", stderr);
    print_escaped(stderr, path);
    fprintf(stderr, "' (process %d) within %d seconds\n", (int)pid, (int)LOOKUP_BOUND_SECONDS);
}

// A process that could not be judged to the end: its own calls hung, or
// the worker died on it. It is an error row, under its executable's path
// when the worker got that far; the scan goes on after it.
static void process_failed(struct kinfo_proc *kp, struct run_flags *flags)
{
    char name[EXE_PATH_SIZE];
    if (watch->name[0] != '\0')
        snprintf(name, sizeof name, "%s", watch->name);
    else
        snprintf(name, sizeof name, "(%s)", kp->ki_comm);
    flags->error_seen = 1;
    print_row(flags, (unsigned)kp->ki_pid, (unsigned)kp->ki_jid, verdict_label(VERDICT_ERROR),
              name);
}

// What follows a stall: a lookup's mount is remembered and the process
// redone; a process's own call costs that process.
static unsigned after_stall(struct kinfo_proc *procs, struct run_flags *flags)
{
    unsigned at = watch->index;
    if (watch->waiting == WAIT_LOOKUP) {
        char shown[WATCH_PATH_SIZE];
        watch_record_stall(shown, sizeof shown);
        warn_no_answer(shown, watch->pid);
        return at;
    }
    fprintf(stderr, "vrix: no answer for process %u within %d seconds\n",
            (unsigned)procs[at].ki_pid, (int)LOOKUP_BOUND_SECONDS);
    process_failed(&procs[at], flags);
    return at + 1;
}

static pid_t start_worker(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                          unsigned from, struct row_buffer *rows, const sigset_t *mask)
{
    fflush(nullptr);
    watch->index = from;
    watch->waiting = WAIT_PROCESS;
    pid_t worker = fork();
    if (worker < 0)
        err(EXIT_ERROR, "fork");
    if (worker == 0) {
        sigprocmask(SIG_SETMASK, mask, nullptr);
        become_worker();
        scan_range(ps, procs, count, from, rows);
        _exit(0);
    }
    return worker;
}

void watched_scan(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                  struct run_flags *flags)
{
    struct row_buffer *rows = rows_map();
    if (rows == nullptr || watch_share() != 0)
        err(EXIT_ERROR, "mmap");
    // the end of a worker wakes us; whoever started us may have ignored it
    struct sigaction dfl, old_action;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &dfl, &old_action);
    sigset_t child, old_mask;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, &old_mask);
    int waited_ms = 0;
    unsigned from = 0;
    while (from < count) {
        rows_reset(rows);
        pid_t worker = start_worker(ps, procs, count, from, rows, &old_mask);
        int outcome = supervise(worker);
        uint64_t offset = 0;
        rows_each(rows, &offset, print_record, flags);
        if (outcome == WORKER_STALLED) {
            from = after_stall(procs, flags);
            waited_ms += watch_bound_ms;
            if (waited_ms == ALLOWANCE_BOUNDS * watch_bound_ms) {
                fprintf(stderr, "vrix: waited %d seconds in all: network and FUSE file systems "
                                "that have not answered are not asked again\n",
                        ALLOWANCE_BOUNDS * (int)LOOKUP_BOUND_SECONDS);
                watch_allowance_spent();
            }
        } else if (rows->state == WORKER_DONE) {
            break;
        } else if (rows->state == WORKER_FULL) {
            from = rows->next;
        } else {
            // the worker died at this process without a word
            fprintf(stderr, "vrix: cannot inspect process %u: the scan ended abnormally\n",
                    (unsigned)procs[watch->index].ki_pid);
            process_failed(&procs[watch->index], flags);
            from = watch->index + 1;
        }
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGCHLD, &old_action, nullptr);
}
