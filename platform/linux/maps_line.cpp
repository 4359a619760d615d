#include "process_map.h"

#include <string.h>
#include <sys/sysmacros.h>

struct cursor {
    const char *p;
    const char *end;
};

static int parse_hex(struct cursor *c, unsigned long long *out)
{
    const char *start = c->p;
    unsigned long long value = 0;
    for (; c->p < c->end; c->p++) {
        char ch = *c->p;
        int digit = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
        if (digit < 0)
            break;
        value = value * 16 + (unsigned)digit;
    }
    *out = value;
    return c->p > start;
}

static int parse_dec(struct cursor *c, unsigned long long *out)
{
    const char *start = c->p;
    unsigned long long value = 0;
    for (; c->p < c->end && *c->p >= '0' && *c->p <= '9'; c->p++)
        value = value * 10 + (unsigned)(*c->p - '0');
    *out = value;
    return c->p > start;
}

static int expect(struct cursor *c, char ch)
{
    if (c->p >= c->end || *c->p != ch)
        return 0;
    c->p++;
    return 1;
}

// The name as the kernel wrote it, with the newline it escapes as \012
// decoded; 0 when it does not fit the record.
static int copy_name(const char *p, const char *end, char *out, size_t size)
{
    size_t n = 0;
    while (p < end) {
        char ch = *p;
        if (end - p >= 4 && memcmp(p, "\\012", 4) == 0) {
            ch = '\n';
            p += 4;
        } else {
            p++;
        }
        if (n + 1 >= size)
            return 0;
        out[n++] = ch;
    }
    out[n] = '\0';
    return 1;
}

int mapping_type(const char *name)
{
    return name[0] == '/' ? KVME_TYPE_VNODE : KVME_TYPE_DEFAULT;
}

// start-end perms offset major:minor inode   name
int parse_maps_line(const char *line, size_t len, const char *prefix, struct kinfo_vmentry *kve)
{
    struct cursor c = {line, line + len};
    unsigned long long start, end, ignored, major, minor, inode;
    if (!parse_hex(&c, &start) || !expect(&c, '-') || !parse_hex(&c, &end) ||
        !expect(&c, ' ') || c.end - c.p < 5)
        return 0;
    const char *perms = c.p;
    c.p += 4;
    if (!expect(&c, ' ') || !parse_hex(&c, &ignored) || !expect(&c, ' ') ||
        !parse_hex(&c, &major) || !expect(&c, ':') || !parse_hex(&c, &minor) ||
        !expect(&c, ' ') || !parse_dec(&c, &inode))
        return 0;
    while (c.p < c.end && *c.p == ' ')
        c.p++;

    kve->kve_start = start;
    kve->kve_end = end;
    kve->kve_protection = (perms[0] == 'r' ? KVME_PROT_READ : 0) |
                          (perms[1] == 'w' ? KVME_PROT_WRITE : 0) |
                          (perms[2] == 'x' ? KVME_PROT_EXEC : 0);
    // Only private mappings of a file get copy-on-write shadow objects.
    kve->kve_shadow_count = perms[3] == 'p' ? 1 : 0;
    kve->kve_vn_fsid = makedev((unsigned)major, (unsigned)minor);
    kve->kve_vn_fileid = inode;
    // Only file names, which begin with '/', live under the prefix.
    size_t prefix_len = c.p < c.end && *c.p == '/' ? strlen(prefix) : 0;
    if (prefix_len >= sizeof kve->kve_path ||
        !copy_name(c.p, c.end, kve->kve_path + prefix_len, sizeof kve->kve_path - prefix_len)) {
        kve->kve_type = KVME_TYPE_VNODE;
        return -1;
    }
    memcpy(kve->kve_path, prefix, prefix_len);
    kve->kve_type = mapping_type(kve->kve_path + prefix_len);
    return 1;
}
