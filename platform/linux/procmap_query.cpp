#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include "process_map.h"

// From <linux/fs.h> of Linux 6.11, which older headers lack.
struct procmap_query {
    uint64_t size;
    uint64_t query_flags;
    uint64_t query_addr;
    uint64_t vma_start;
    uint64_t vma_end;
    uint64_t vma_flags;
    uint64_t vma_page_size;
    uint64_t vma_offset;
    uint64_t inode;
    uint32_t dev_major;
    uint32_t dev_minor;
    uint32_t vma_name_size;
    uint32_t build_id_size;
    uint64_t vma_name_addr;
    uint64_t build_id_addr;
};

enum {
    PROCMAP_QUERY_VMA_READABLE = 0x01,
    PROCMAP_QUERY_VMA_WRITABLE = 0x02,
    PROCMAP_QUERY_VMA_EXECUTABLE = 0x04,
    PROCMAP_QUERY_VMA_SHARED = 0x08,
    PROCMAP_QUERY_COVERING_OR_NEXT_VMA = 0x10,
    PROCMAP_QUERY_FILE_BACKED_VMA = 0x20,
};

#define PROCMAP_QUERY _IOWR('f', 17, struct procmap_query)

// Asks for the next executable file mapping at or after addr, its name put
// at name; 0, or -1 with errno (ENOENT past the last one).
static int query_next(int maps_fd, uint64_t addr, char *name, size_t name_size,
                      struct procmap_query *q)
{
    memset(q, 0, sizeof *q);
    q->size = sizeof *q;
    q->query_flags = PROCMAP_QUERY_COVERING_OR_NEXT_VMA | PROCMAP_QUERY_FILE_BACKED_VMA |
                     PROCMAP_QUERY_VMA_EXECUTABLE;
    q->query_addr = addr;
    q->vma_name_addr = (uint64_t)(uintptr_t)name;
    q->vma_name_size = (uint32_t)name_size;
    return ioctl(maps_fd, PROCMAP_QUERY, q);
}

static void fill_entry(const struct procmap_query *q, size_t prefix_len, int fits,
                       struct kinfo_vmentry *kve)
{
    kve->kve_protection = (q->vma_flags & PROCMAP_QUERY_VMA_READABLE ? KVME_PROT_READ : 0) |
                          (q->vma_flags & PROCMAP_QUERY_VMA_WRITABLE ? KVME_PROT_WRITE : 0) |
                          (q->vma_flags & PROCMAP_QUERY_VMA_EXECUTABLE ? KVME_PROT_EXEC : 0);
    // Only private mappings of a file get copy-on-write shadow objects.
    kve->kve_shadow_count = q->vma_flags & PROCMAP_QUERY_VMA_SHARED ? 0 : 1;
    kve->kve_vn_fsid = makedev(q->dev_major, q->dev_minor);
    kve->kve_vn_fileid = q->inode;
    kve->kve_start = q->vma_start;
    kve->kve_end = q->vma_end;
    kve->kve_type = mapping_type(kve->kve_path + prefix_len);
    if (!fits)
        mark_name_too_long(kve);
}

int query_vmmap(int maps_fd, const char *prefix, struct vmmap_builder *b)
{
    size_t prefix_len = strlen(prefix);
    struct procmap_query q;
    for (uint64_t addr = 0;;) {
        struct kinfo_vmentry *kve = vmmap_append(b);
        if (kve == nullptr)
            return -1;
        memcpy(kve->kve_path, prefix, prefix_len);
        char *name = kve->kve_path + prefix_len;
        int fits = 1;
        if (query_next(maps_fd, addr, name, sizeof kve->kve_path - prefix_len, &q) != 0) {
            if (errno == ENOENT) {
                b->count--;
                return 0;
            }
            // a name too long for the record: ask again without it
            if (errno != ENAMETOOLONG || query_next(maps_fd, addr, nullptr, 0, &q) != 0)
                return -1;
            fits = 0;
        }
        fill_entry(&q, prefix_len, fits, kve);
        addr = q.vma_end;
    }
}
