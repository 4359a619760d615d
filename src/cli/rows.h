#ifndef VRIX_ROWS_H
#define VRIX_ROWS_H

#include <stddef.h>
#include <stdint.h>

// What the worker hands the parent, in scan order: finished rows, and the
// abort of a whitelist being created. The buffer is mapped shared before
// the worker is forked; a record counts once the committed length covers
// it, so a worker killed mid-record leaves nothing half written.
enum { RECORD_ROW = 1, RECORD_ABORT = 2 };

struct row_record {
    uint32_t size;  // of the whole record, a multiple of 8
    uint32_t kind;
    int32_t pid;
    int32_t jid;
    int32_t verdict;
    uint32_t reserved;
    uint64_t missing;
    uint64_t start;  // process_start()'s, when a consumer asked for it; else 0
    char path[];  // NUL-terminated
};

// How a worker ended its part of the scan.
enum { WORKER_RUNNING = 0, WORKER_DONE = 1, WORKER_FULL = 2 };

struct row_buffer {
    uint64_t committed;  // bytes of data that hold whole records
    uint32_t state;      // WORKER_*
    uint32_t next;       // WORKER_FULL: the process to go on with
    char data[];
};

// Maps the shared buffer; null on failure.
struct row_buffer *rows_map(void);

// Whether records more records of any length fit.
int rows_have_room(const struct row_buffer *rows, int records);

// Appends a record; -1 when it does not fit.
int rows_append(struct row_buffer *rows, uint32_t kind, int pid, int jid, int verdict,
                uint64_t missing, uint64_t start, const char *path);

// Calls each(record) for every committed record after *offset, and moves
// *offset past them.
void rows_each(struct row_buffer *rows, uint64_t *offset,
               void (*each)(const struct row_record *record, void *arg), void *arg);

// Unmaps the buffer: a killed worker keeps its own mapping of it.
void rows_unmap(struct row_buffer *rows);

#endif
