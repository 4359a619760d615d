#ifndef VRIX_WHITELIST_H
#define VRIX_WHITELIST_H

#include <stdint.h>

enum { WHITELIST_PATH_SIZE = 1024 };

// One line of a whitelist file: an executable path and the number of vanished
// mappings accepted for it.
struct whitelist_entry {
    struct whitelist_entry *next_entry;
    char path[WHITELIST_PATH_SIZE];
    uint64_t count;
};

// The loaded list, in file order; null when empty.
extern struct whitelist_entry *whitelist;

int load_whitelist(void);
const struct whitelist_entry *whitelist_find(const struct whitelist_entry *list, const char *path);
void whitelist_free(struct whitelist_entry *list);

// Recording the present state with -c. Start, add and finish do nothing
// without -c; abort is called only with it, and ends the run.
void whitelist_writer_start(void);
void whitelist_writer_add(unsigned pid, const char *exe_path, uint64_t missing);
[[noreturn]] void whitelist_writer_abort(unsigned pid);
// Puts the whitelist in place; returns 0, or -1 when it could not be written.
int whitelist_writer_finish(int error_seen);
// In a forked child: closes the child's copies of the writer's descriptors,
// and nothing else, so that the child holds none of them and nothing it does
// (exit included) touches the whitelist or its temporary file.
void whitelist_writer_close_in_child(void);

#endif
