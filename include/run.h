#ifndef VRIX_RUN_H
#define VRIX_RUN_H

#include <stdint.h>
#include <stdio.h>

// Run options and flags shared by the whole program.
extern const char *create_path;     // argument of -c, or null
extern const char *whitelist_path;  // argument of -w, or null
extern int header_done;             // header printed, or suppressed by -h
extern FILE *table_stream;          // where the report table goes

// What the scan found; owned by the entry point.
struct run_flags {
    int error_seen;
    unsigned rows_printed;
};

enum { EXE_PATH_SIZE = 1024 };

// Exit statuses.
enum {
    EXIT_NONE = 0,
    EXIT_ERROR = 1,
    EXIT_RESTART = 2,
    EXIT_USAGE = 64,
};

// The entry point: argument vector in, exit status out.
int vrix_main(int argc, char **argv);

int print_usage(void);
int jail_state(void);
struct procstat;
struct kinfo_proc;
int row_jail(struct procstat *ps, const struct kinfo_proc *kp);
void run_scan(struct run_flags *flags);

// Descriptors 0, 1 and 2 that are closed are opened on /dev/null, before
// anything else is opened, so that nothing of ours lands on them.
void std_fds_open(void);
// A write to standard output happened; result is negative when it failed.
void stdout_wrote(int result);
// Flushes standard output, keeping the first error for stdout_close().
void stdout_flush(void);
// Flushes and closes standard output; 0, or -1 after "vrix: stdout: <reason>"
// when something written there was lost.
int stdout_close(void);

// Writes a report row (and the header before the first one) to table_stream.
void print_row(struct run_flags *flags, unsigned pid, unsigned jid, const char *label,
               const char *path);

// A finished row as the scan hands it on. start is process_start()'s for
// pid, read after the verdict; 0 when unknown (the process ended, or the
// row is the scan's own error).
struct scanned_row {
    unsigned pid;
    unsigned jid;
    int verdict;  // VERDICT_*
    const char *path;
    uint64_t start;
};

// Who takes the rows instead of the table: null prints the table. Set
// before the scan; the worker reads start times only for a consumer.
struct row_consumer {
    void (*take)(const struct scanned_row *row, void *arg);
    void *arg;
};
extern const struct row_consumer *row_consumer;

// Counts the row and hands it to the consumer, or prints it.
void hand_row(struct run_flags *flags, const struct scanned_row *row);

#endif
