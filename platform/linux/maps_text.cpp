#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "process_map.h"

// Reads the whole maps file into the run's buffer; its length, or -1.
static ssize_t read_all(struct maps_buffer *mb, int fd)
{
    size_t used = 0;
    for (;;) {
        if (mb->buffer_size - used < 4096) {
            size_t size = mb->buffer_size == 0 ? 65536 : mb->buffer_size * 2;
            char *grown = (char *)realloc(mb->buffer, size);
            if (grown == nullptr)
                return errno = ENOMEM, -1;
            mb->buffer = grown;
            mb->buffer_size = size;
        }
        ssize_t n = read(fd, mb->buffer + used, mb->buffer_size - used);
        if (n < 0)
            return -1;
        if (n == 0)
            return (ssize_t)used;
        used += (size_t)n;
    }
}

// The permissions field "rwxp" follows the address range and a space.
static int is_executable_line(const char *line, size_t len)
{
    const char *space = (const char *)memchr(line, ' ', len);
    return space != nullptr && line + len - space > 3 && space[3] == 'x';
}

static int add_line(const char *line, size_t len, const char *prefix, struct vmmap_builder *b)
{
    if (!is_executable_line(line, len))
        return 0;
    struct kinfo_vmentry *kve = vmmap_append(b);
    if (kve == nullptr)
        return -1;
    int parsed = parse_maps_line(line, len, prefix, kve);
    // Malformed lines and anonymous memory ([vdso], ...) are passed over,
    // as the query, which asks for file mappings only, passes them over.
    if (parsed == 0 || kve->kve_type == KVME_TYPE_DEFAULT) {
        b->count--;
        return 0;
    }
    if (parsed < 0)
        mark_name_too_long(kve);
    return 0;
}

int read_text_vmmap(struct maps_buffer *mb, int maps_fd, const char *prefix,
                    struct vmmap_builder *b)
{
    ssize_t len = read_all(mb, maps_fd);
    if (len < 0)
        return -1;
    const char *p = mb->buffer, *end = mb->buffer + len;
    while (p < end) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        if (nl == nullptr)
            nl = end;
        if (add_line(p, (size_t)(nl - p), prefix, b) != 0)
            return -1;
        p = nl + 1;
    }
    return 0;
}
