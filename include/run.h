#ifndef VRIX_RUN_H
#define VRIX_RUN_H

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

#endif
