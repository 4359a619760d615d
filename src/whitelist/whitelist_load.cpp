#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "run.h"
#include "whitelist.h"

struct whitelist_entry *whitelist;

// A line, LF included, holds at most 1043 bytes.
enum { LINE_BUFFER_SIZE = 1044 };

enum line_result { LINE_GOOD, LINE_BAD, LINE_EMPTY };

// Splits "path TAB count LF" into an entry's fields.
static enum line_result parse_line(const char *line, size_t *path_len, uint64_t *count)
{
    if (line[0] == '\0')
        return LINE_EMPTY;
    const char *tab = strchr(line, '\t');
    if (tab == nullptr)
        return LINE_BAD;
    char *end = nullptr;
    // strtoul passes over leading blanks and takes a sign; unsigned long holds
    // 64 bits on the platforms vrix runs on.
    unsigned long value = strtoul(tab + 1, &end, 10);
    if (value == 0 || *end != '\n')
        return LINE_BAD;
    // A path that does not fit the entry could never match: refuse the file.
    if ((size_t)(tab - line) >= WHITELIST_PATH_SIZE)
        return LINE_BAD;
    *path_len = (size_t)(tab - line);
    *count = (uint64_t)value;
    return LINE_GOOD;
}

// Reads lines into the list until the end of input; 0 or -1.
static int read_entries(FILE *in)
{
    struct whitelist_entry **tail = &whitelist;

    char line[LINE_BUFFER_SIZE];
    // A read error ends the reading like the end of input.
    while (fgets(line, sizeof line, in) != nullptr) {
        size_t path_len = 0;
        uint64_t count = 0;
        enum line_result result = parse_line(line, &path_len, &count);
        if (result == LINE_EMPTY)
            return 0;
        if (result == LINE_BAD) {
            fprintf(stderr, "vrix: cannot read '%s': bad file format\n", whitelist_path);
            return -1;
        }
        struct whitelist_entry *entry =
            (struct whitelist_entry *)malloc(sizeof(struct whitelist_entry));
        if (entry == nullptr) {
            fprintf(stderr, "vrix: cannot read '%s': %s\n", whitelist_path, strerror(ENOMEM));
            return -1;
        }
        memcpy(entry->path, line, path_len);
        entry->path[path_len] = '\0';
        entry->count = count;
        entry->next_entry = nullptr;
        *tail = entry;
        tail = &entry->next_entry;
    }
    return 0;
}

int load_whitelist(void)
{
    if (strcmp(whitelist_path, "-") == 0)
        return read_entries(stdin);
    FILE *in = fopen(whitelist_path, "r");
    if (in == nullptr) {
        fprintf(stderr, "vrix: cannot open file '%s': %s\n", whitelist_path, strerror(errno));
        return -1;
    }
    int result = read_entries(in);
    fclose(in);
    return result;
}

const struct whitelist_entry *whitelist_find(const struct whitelist_entry *list, const char *path)
{
    for (; list != nullptr; list = list->next_entry) {
        if (strcmp(list->path, path) == 0)
            return list;
    }
    return nullptr;
}

void whitelist_free(struct whitelist_entry *list)
{
    while (list != nullptr) {
        struct whitelist_entry *next = list->next_entry;
        free(list);
        list = next;
    }
}
