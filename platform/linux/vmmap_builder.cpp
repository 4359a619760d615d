#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "process_map.h"

const char UNREADABLE_PATH[] = "/dev/null/name-too-long";

struct kinfo_vmentry *vmmap_append(struct vmmap_builder *b)
{
    if (b->count == b->capacity) {
        // grows by half: a huge map never needs twice its size at once
        unsigned int capacity = b->capacity == 0 ? 64 : b->capacity + b->capacity / 2;
        void *grown = realloc(b->map, capacity * sizeof *b->map);
        if (grown == nullptr)
            return errno = ENOMEM, nullptr;
        b->map = (struct kinfo_vmentry *)grown;
        b->capacity = capacity;
    }
    return &b->map[b->count++];
}

void mark_name_too_long(struct kinfo_vmentry *kve)
{
    kve->kve_type = KVME_TYPE_VNODE;
    memcpy(kve->kve_path, UNREADABLE_PATH, sizeof UNREADABLE_PATH);
}
