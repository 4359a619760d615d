#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "process_facts.h"
#include "scan.h"
#include "stall_notes.h"
#include "stall_record.h"
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
    die_with_parent();
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

// Sleeps until the worker ends or has neither moved nor run for the bound:
// a worker held to a sliver of a processor (a quota, a busy host) is slow,
// not stuck. It costs no descriptor to wait: the end of a child is a signal,
// waited for while blocked, so a run with no descriptor to spare still
// judges what it can. *waited gets how long the last wait lasted.
static int supervise(pid_t worker, long long *waited)
{
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    uint64_t seen = seq_now();
    uint64_t ran = 0;
    process_cpu_ms(worker, &ran);
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
        uint64_t cpu = ran;
        process_cpu_ms(worker, &cpu);
        if (seq != seen || cpu != ran || after - before > wait_ms + STOPPED_SLACK_MS) {
            seen = seq;
            ran = cpu;
            moved = after;
        } else if (after - moved >= watch_bound_ms) {
            if (waitpid(worker, nullptr, WNOHANG) == worker)
                return WORKER_ENDED;
            kill(worker, SIGKILL);
            *waited = after - moved;
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

// A process that could not be judged to the end: its own calls hung, or
// the worker died on it. It is an error row, under its executable's path
// when the worker got that far; the scan goes on after it.
static void process_failed(struct procstat *ps, struct kinfo_proc *kp, struct run_flags *flags)
{
    char name[EXE_PATH_SIZE];
    if (watch->name[0] != '\0')
        snprintf(name, sizeof name, "%s", watch->name);
    else
        snprintf(name, sizeof name, "(%s)", kp->ki_comm);
    flags->error_seen = 1;
    print_row(flags, (unsigned)kp->ki_pid, (unsigned)row_jail(ps, kp), verdict_label(VERDICT_ERROR),
              name);
}

// What follows a stall: a lookup's device is remembered, the wait charged to
// the run's budget when its file system can stall, and the process redone; a
// process's own call costs that process.
static unsigned after_stall(struct procstat *ps, pid_t worker, struct kinfo_proc *procs,
                            struct run_flags *flags, long long waited)
{
    unsigned at = watch->index;
    if (watch->waiting == WAIT_LOOKUP) {
        char shown[WATCH_PATH_SIZE];
        watch_record_stall(shown, sizeof shown);
        warn_no_answer(shown, watch->pid);
        if (watch->wait_class != CLASS_LOCAL)
            watch_charge(waited);
        pid_t prober = watch->prober;
        leave_behind(prober > 0 ? prober : worker, watch->wait_dev);
        return at;
    }
    fprintf(stderr, "vrix: no answer for process %u within %d seconds\n",
            (unsigned)procs[at].ki_pid, (int)LOOKUP_BOUND_SECONDS);
    process_failed(ps, &procs[at], flags);
    return at + 1;
}

static pid_t start_worker(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                          unsigned from, struct row_buffer *rows, const sigset_t *mask)
{
    stdout_flush();
    fflush(nullptr);
    watch->index = from;
    watch->waiting = WAIT_PROCESS;
    watch->prober = 0;
    pid_t worker = fork();
    if (worker < 0) {
        scan_unwatched(ps, procs, count, from, rows);
        return -1;
    }
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
    struct row_buffer *rows = nullptr;
    // the end of a worker wakes us; whoever started us may have ignored it
    struct sigaction dfl, old_action;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &dfl, &old_action);
    sigset_t child, old_mask;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, &old_mask);
    stall_record_load();
    unsigned from = 0;
    int done = 0;
    while (!done && from < count) {
        // a killed worker can store into its pages until it is off the CPU:
        // each worker gets fresh ones, with what the run has learnt
        rows = rows_renew(rows);
        if (rows == nullptr || watch_share() != 0)
            err(EXIT_ERROR, "mmap");
        pid_t worker = start_worker(ps, procs, count, from, rows, &old_mask);
        long long waited = 0;
        int outcome = worker < 0 ? WORKER_ENDED : supervise(worker, &waited);
        uint64_t offset = 0;
        rows_each(rows, &offset, print_record, flags);
        if (outcome == WORKER_STALLED) {
            from = after_stall(ps, worker, procs, flags, waited);
        } else if (rows->state == WORKER_DONE) {
            done = 1;
        } else if (rows->state == WORKER_FULL) {
            from = rows->next;
        } else {
            // the worker died at this process without a word
            fprintf(stderr, "vrix: cannot inspect process %u: the scan ended abnormally\n",
                    (unsigned)procs[watch->index].ki_pid);
            process_failed(ps, &procs[watch->index], flags);
            from = watch->index + 1;
        }
        announce();
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGCHLD, &old_action, nullptr);
}
