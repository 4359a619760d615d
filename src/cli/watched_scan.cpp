#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "lookup.h"
#include "platform.h"
#include "process_facts.h"
#include "run.h"
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
static void become_worker(pid_t parent)
{
    die_with_parent(parent);
    watch_close_unkept();
    // nor the directory we were started in: every name asked is whole
    if (chdir("/") != 0) {
    }
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
        // stopped: that time is no worker's wait
        if (after - before > wait_ms + STOPPED_SLACK_MS)
            __atomic_add_fetch(&watch->stopped_us, (after - before - wait_ms) * 1000,
                               __ATOMIC_RELEASE);
        if (seq != seen || cpu != ran || after - before > wait_ms + STOPPED_SLACK_MS) {
            seen = seq;
            ran = cpu;
            moved = after;
        } else if (after - moved >= watch_bound_ms) {
            if (waitpid(worker, nullptr, WNOHANG) == worker)
                return WORKER_ENDED;
            // what it holds but its one call goes before it may be left
            watch_shed(worker);
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
    struct scanned_row row = {(unsigned)record->pid, (unsigned)record->jid, record->verdict,
                              record->path, record->start};
    hand_row(flags, &row);
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
    struct scanned_row row = {(unsigned)kp->ki_pid, (unsigned)row_jail(ps, kp), VERDICT_ERROR, name,
                              0};
    hand_row(flags, &row);
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
        struct stall_key key;
        watch_record_stall(shown, sizeof shown, &key);
        warn_no_answer(shown, watch->pid);
        watch_charge(waited * 1000);
        pid_t waiter = watch->waiter > 0 ? watch->waiter : watch->prober;
        leave_behind(waiter > 0 ? waiter : worker, key);
        return at;
    }
    fprintf(stderr, "vrix: no answer for process %u within %d seconds\n",
            (unsigned)procs[at].ki_pid, (int)LOOKUP_BOUND_SECONDS);
    process_failed(ps, &procs[at], flags);
    leave_behind(worker, COUNT_ONLY);
    return at + 1;
}

// A worker forked before it is needed, with pages of its own: a stall
// never needs a fork (a user may have filled the PID space by then). It
// waits for the word to start (SIGUSR1, blocked from before its fork, so
// that a word sent early waits for it).
struct worker {
    pid_t pid;
    struct watch_page *page;
    struct row_buffer *rows;
};

static void unmap_worker(struct worker *w)
{
    watch_page_unmap(w->page);
    if (w->rows != nullptr)
        rows_unmap(w->rows);
    w->page = nullptr;
    w->rows = nullptr;
}

static int fork_worker(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                       const sigset_t *mask, struct worker *w)
{
    w->rows = rows_map();
    w->page = watch_page_map();
    if (w->rows == nullptr || w->page == nullptr)
        err(EXIT_ERROR, "mmap");
    stdout_flush();
    fflush(nullptr);
    sigset_t go, before;
    sigemptyset(&go);
    sigaddset(&go, SIGUSR1);
    sigprocmask(SIG_BLOCK, &go, &before);
    pid_t parent = getpid();
    w->pid = fork();
    if (w->pid == 0) {
        become_worker(parent);
        int sig = 0;
        while (sigwait(&go, &sig) != 0) {
        }
        watch_page_unmap(watch);  // the page of the worker at hand when we were forked
        watch = w->page;
        sigprocmask(SIG_SETMASK, mask, nullptr);
        watch_shedder_start();
        scan_range(ps, procs, count, watch->index, w->rows);
        _exit(0);
    }
    int error = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (w->pid < 0) {
        unmap_worker(w);
        return errno = error, -1;
    }
    return 0;
}

// Hands the worker what the run has learnt, and the process to start at.
static void start_worker(struct worker *w, unsigned from)
{
    watch_use(w->page);
    watch->index = from;
    watch->waiting = WAIT_PROCESS;
    watch->prober = 0;
    watch->waiter = 0;
    watch->shed_done = 0;
    kill(w->pid, SIGUSR1);
}

static void end_spare(struct worker *w)
{
    kill(w->pid, SIGKILL);
    while (waitpid(w->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    unmap_worker(w);
}

// No worker at all: the processes not yet judged cannot be, and say so.
static void fail_rest(struct procstat *ps, struct kinfo_proc *procs, unsigned from,
                      unsigned count, struct run_flags *flags, int error)
{
    fprintf(stderr, "vrix: cannot fork a worker (%s): the processes not yet judged are "
                    "errors\n",
            strerror(error));
    for (unsigned i = from; i < count; i++) {
        watch->name[0] = '\0';
        process_failed(ps, &procs[i], flags);
    }
}

// What one worker did, and where the scan goes on; count when it is done.
static unsigned take_worker(struct procstat *ps, struct worker *w, struct kinfo_proc *procs,
                            unsigned count, struct run_flags *flags)
{
    long long waited = 0;
    int outcome = supervise(w->pid, &waited);
    uint64_t offset = 0;
    rows_each(w->rows, &offset, print_record, flags);
    unsigned from;
    if (outcome == WORKER_STALLED) {
        from = after_stall(ps, w->pid, procs, flags, waited);
    } else if (w->rows->state == WORKER_DONE) {
        from = count;
    } else if (w->rows->state == WORKER_FULL) {
        from = w->rows->next;
    } else {
        // the worker died at this process without a word
        fprintf(stderr, "vrix: cannot inspect process %u: the scan ended abnormally\n",
                (unsigned)procs[watch->index].ki_pid);
        process_failed(ps, &procs[watch->index], flags);
        from = watch->index + 1;
    }
    // a killed worker keeps its own mapping of its pages
    rows_unmap(w->rows);
    w->rows = nullptr;
    announce();
    return from;
}

// Where not even a first worker can be forked, vrix judges in itself, and
// must not wait: only what the kernel's caches answer is asked.
static void scan_here(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                      struct run_flags *flags, int error)
{
    fprintf(stderr, "vrix: cannot fork a worker (%s): judging by what the kernel has "
                    "cached alone\n",
            strerror(error));
    struct row_buffer *rows = rows_map();
    if (rows == nullptr)
        err(EXIT_ERROR, "mmap");
    watch->cached_only = 1;
    for (unsigned from = 0; from < count;) {
        rows->committed = 0;
        scan_range(ps, procs, count, from, rows);
        uint64_t offset = 0;
        rows_each(rows, &offset, print_record, flags);
        from = rows->state == WORKER_FULL ? rows->next : count;
    }
    rows_unmap(rows);
    announce();
}

static void run_workers(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                        struct run_flags *flags, const sigset_t *mask)
{
    struct worker next;
    if (fork_worker(ps, procs, count, mask, &next) != 0) {
        scan_here(ps, procs, count, flags, errno);
        return;
    }
    int have_next = 1;
    for (unsigned from = 0; from < count;) {
        struct worker w = next;
        start_worker(&w, from);
        have_next = fork_worker(ps, procs, count, mask, &next) == 0;
        from = take_worker(ps, &w, procs, count, flags);
        if (from < count && !have_next &&
            !(have_next = fork_worker(ps, procs, count, mask, &next) == 0)) {
            fail_rest(ps, procs, from, count, flags, errno);
            break;
        }
    }
    if (have_next)
        end_spare(&next);
}

static void watched_scan(struct procstat *ps, struct kinfo_proc *procs, unsigned count,
                  struct run_flags *flags)
{
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
    run_workers(ps, procs, count, flags, &old_mask);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGCHLD, &old_action, nullptr);
}

// The whole scan: the processes listed, judged by watched workers, the
// table printed.
void run_scan(struct run_flags *flags)
{
    struct procstat *ps = procstat_open_sysctl();
    if (ps == nullptr)
        errx(EXIT_ERROR, "procstat_open()");
    unsigned int count = 0;
    struct kinfo_proc *procs = procstat_getprocs(ps, KERN_PROC_PROC, 0, &count);
    if (procs == nullptr)
        errx(EXIT_ERROR, "procstat_getprocs()");

    whitelist_writer_start();
    stat_cache_clear();
    watched_scan(ps, procs, count, flags);

    procstat_freeprocs(ps, procs);
    procstat_close(ps);
}
