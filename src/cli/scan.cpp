#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "mapping_verdict.h"
#include "platform.h"
#include "process_facts.h"
#include "run.h"
#include "scan.h"
#include "verdict.h"
#include "watch.h"
#include "whitelist.h"

// The verdict on a process whose executable path could be had; an empty path
// becomes "-" and is never looked up in the whitelist. An entry accepts the
// process's missing mappings, not the rest of its state: a process whose
// missing count it accepts is still reported for its other mappings.
static int judge_process(struct procstat *ps, struct kinfo_proc *kp, char *exe_path,
                         uint64_t *missing)
{
    const struct whitelist_entry *entry = nullptr;
    if (exe_path[0] != '\0')
        entry = whitelist_find(whitelist, exe_path);
    else
        strcpy(exe_path, "-");
    struct mapping_counts counts = {0, 0, 0};
    int verdict = count_mappings(ps, kp, &counts);
    *missing = counts.missing;
    if (entry != nullptr && verdict == VERDICT_MISSING && counts.missing == entry->count) {
        counts.missing = 0;
        verdict = mapping_verdict(&counts);
    }
    return verdict;
}

// Judges one process in the worker and hands its row, if any, to the parent.
static void scan_process(struct procstat *ps, struct kinfo_proc *kp, struct row_buffer *rows)
{
    // The library leaves the buffer untouched when it fails.
    char exe_path[EXE_PATH_SIZE] = "";
    uint64_t missing = 0;
    int verdict;

    if (procstat_getpathname(ps, kp, exe_path, sizeof exe_path) != 0) {
        int error = errno;
        // A process that exited mid-scan is passed over.
        if (error == ESRCH)
            return;
        snprintf(exe_path, sizeof exe_path, "(%s)", kp->ki_comm);
        watch_process_name(exe_path);
        verdict = error == ENOENT ? VERDICT_MISSING : VERDICT_ERROR;
        if (verdict == VERDICT_MISSING && create_path != nullptr)
            rows_append(rows, RECORD_ABORT, kp->ki_pid, row_jail(ps, kp), verdict, 0, 0, exe_path);
    } else {
        watch_process_name(exe_path[0] != '\0' ? exe_path : "-");
        verdict = judge_process(ps, kp, exe_path, &missing);
    }
    if (verdict == VERDICT_NONE)
        return;
    // Read after the verdict: a pid reused since started after the list
    // was made, which the consumer can tell. One that ended is unknown (0).
    uint64_t start = 0;
    if (row_consumer != nullptr && process_start(kp->ki_pid, &start) != 0)
        start = 0;
    rows_append(rows, RECORD_ROW, kp->ki_pid, row_jail(ps, kp), verdict, missing, start, exe_path);
}

void scan_range(struct procstat *ps, struct kinfo_proc *procs, unsigned count, unsigned from,
                struct row_buffer *rows)
{
    for (unsigned i = from; i < count; i++) {
        // room for an abort and a row, whatever this process gives
        if (!rows_have_room(rows, 2)) {
            rows->state = WORKER_FULL;
            rows->next = i;
            return;
        }
        watch_process(i, procs[i].ki_pid);
        scan_process(ps, &procs[i], rows);
    }
    rows->state = WORKER_DONE;
}
