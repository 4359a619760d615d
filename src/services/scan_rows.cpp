#include <stdio.h>

#include "run.h"
#include "services.h"
#include "verdict.h"
#include "whitelist.h"

// Each row as the scan finishes it, with the start of its process.
static void take(const struct scanned_row *row, void *arg)
{
    struct services_run *run = (struct services_run *)arg;
    if (run->print_table) {
        struct run_flags counted = {0, 0};
        print_row(&counted, row->pid, row->jid, verdict_label(row->verdict), row->path);
    }
    run->rows.push_back({row->pid, row->jid, row->verdict, row->path, row->start});
}

// The scan that vrix runs, watched and bounded the same, its rows taken
// here instead of printed. Its messages are vrix's.
int scan_rows(const char *whitelist_file, struct services_run *run)
{
    whitelist_path = whitelist_file;
    header_done = !run->print_table;
    table_stream = stdout;
    if (jail_state() > 0) {
        fprintf(stderr, "vrix does not currently work in a jail\n");
        return EXIT_ERROR;
    }
    if (whitelist_path != nullptr && load_whitelist() != 0)
        return EXIT_ERROR;
    // a row's process started before the scan listed it
    run->started_by = start_clock_now();
    run->from_table = 0;
    struct row_consumer consumer = {take, run};
    row_consumer = &consumer;
    struct run_flags flags = {0, 0};
    run_scan(&flags);
    row_consumer = nullptr;
    whitelist_free(whitelist);
    whitelist = nullptr;
    if (flags.error_seen)
        return EXIT_ERROR;
    return flags.rows_printed > 0 ? EXIT_RESTART : EXIT_NONE;
}
