#include "rows.h"

#include <string.h>
#include <sys/mman.h>

#include "run.h"

// Pages are used only as rows fill them. A scan that fills
// it hands over and goes on in a fresh worker.
static const size_t ROWS_SIZE = 16u << 20;
static const size_t ROWS_ROOM = ROWS_SIZE - sizeof(struct row_buffer);
static const size_t MAX_RECORD = sizeof(struct row_record) + EXE_PATH_SIZE + 8;

struct row_buffer *rows_map(void)
{
    void *rows = mmap(nullptr, ROWS_SIZE, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return rows == MAP_FAILED ? nullptr : (struct row_buffer *)rows;
}

int rows_have_room(const struct row_buffer *rows, int records)
{
    return rows->committed + (size_t)records * MAX_RECORD <= ROWS_ROOM;
}

int rows_append(struct row_buffer *rows, uint32_t kind, int pid, int jid, int verdict,
                uint64_t missing, uint64_t start, const char *path)
{
    uint64_t at = rows->committed;
    size_t len = strnlen(path, EXE_PATH_SIZE - 1);
    size_t size = (sizeof(struct row_record) + len + 1 + 7) & ~(size_t)7;
    if (at + size > ROWS_ROOM)
        return -1;
    struct row_record *record = (struct row_record *)(rows->data + at);
    record->size = (uint32_t)size;
    record->kind = kind;
    record->pid = pid;
    record->jid = jid;
    record->verdict = verdict;
    record->reserved = 0;
    record->missing = missing;
    record->start = start;
    memcpy(record->path, path, len);
    record->path[len] = '\0';
    // the record is whole before the length that covers it is stored
    __atomic_store_n(&rows->committed, at + size, __ATOMIC_RELEASE);
    return 0;
}

void rows_each(struct row_buffer *rows, uint64_t *offset,
               void (*each)(const struct row_record *record, void *arg), void *arg)
{
    uint64_t end = __atomic_load_n(&rows->committed, __ATOMIC_ACQUIRE);
    while (*offset < end) {
        const struct row_record *record = (const struct row_record *)(rows->data + *offset);
        if (record->size < sizeof *record || record->size > end - *offset)
            break;
        *offset += record->size;
        each(record, arg);
    }
}

void rows_unmap(struct row_buffer *rows)
{
    munmap(rows, ROWS_SIZE);
}
