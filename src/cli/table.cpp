#include <stdio.h>

#include "escape.h"
#include "run.h"
#include "verdict.h"

const char *verdict_label(int verdict)
{
    switch (verdict) {
    case VERDICT_ERROR:
        return "err";
    case VERDICT_OUTDATED:
        return "outd";
    case VERDICT_MISSING:
        return "miss";
    }
    return "";
}

void print_row(struct run_flags *flags, unsigned pid, unsigned jid, const char *label,
               const char *path)
{
    if (!header_done) {
        fprintf(table_stream, "%6s %6s %4s %s\n", "pid", "jid", "stat", "command");
        header_done = 1;
    }
    flags->rows_printed++;
    fprintf(table_stream, "%6u %6u %4s ", pid, jid, label);
    print_escaped(table_stream, path);
    putc('\n', table_stream);
    // stdio keeps the error; errno is still that of the failed call. The
    // table on standard error (-c -) has nowhere to report its loss.
    if (table_stream == stdout)
        stdout_wrote(ferror(stdout) ? -1 : 0);
}

const struct row_consumer *row_consumer;

void hand_row(struct run_flags *flags, const struct scanned_row *row)
{
    if (row_consumer == nullptr) {
        print_row(flags, row->pid, row->jid, verdict_label(row->verdict), row->path);
        return;
    }
    flags->rows_printed++;
    row_consumer->take(row, row_consumer->arg);
}
