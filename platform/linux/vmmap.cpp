#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "linux_procstat.h"
#include "maps_line.h"

// Reads the whole maps file into the handle's buffer; its length, or -1.
static ssize_t read_maps(struct procstat *ps, int dir_fd)
{
    int fd = openat(dir_fd, "maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t used = 0;
    for (;;) {
        if (ps->buffer_size - used < 4096) {
            size_t size = ps->buffer_size == 0 ? 65536 : ps->buffer_size * 2;
            char *grown = (char *)realloc(ps->buffer, size);
            if (grown == nullptr) {
                close(fd);
                return errno = ENOMEM, -1;
            }
            ps->buffer = grown;
            ps->buffer_size = size;
        }
        ssize_t n = read(fd, ps->buffer + used, ps->buffer_size - used);
        if (n < 0) {
            int error = errno;
            close(fd);
            return errno = error, -1;
        }
        if (n == 0)
            break;
        used += (size_t)n;
    }
    close(fd);
    return (ssize_t)used;
}

static void vmmap_errno(void)
{
    if (errno == ENOENT)
        errno = ESRCH;  // the process is gone
    else if (errno == EPERM)
        errno = EACCES;
}

// A name too long for the record is never cut into another file's name: the
// mapping gets a path whose status cannot be had (a walk through a device
// node fails with ENOTDIR), so that it counts as an error of that mapping.
static const char UNREADABLE_PATH[] = "/dev/null/name-too-long";

static int names_mapped_file(const char *path, const struct kinfo_vmentry *kve)
{
    struct stat sb;
    return stat(path, &sb) == 0 && (uint64_t)sb.st_dev == kve->kve_vn_fsid &&
           (uint64_t)sb.st_ino == kve->kve_vn_fileid;
}

// maps writes a newline in a name as \012 but a backslash as itself, so a
// name holding "\012" is ambiguous: the decoded name is taken unless only
// the literal one names the mapped file.
static void prefer_literal_name(const char *line, size_t len, const char *prefix,
                                struct kinfo_vmentry *kve)
{
    const char *name = (const char *)memchr(line, '/', len);
    if (name == nullptr)
        return;
    int name_len = (int)(line + len - name);
    if (memmem(name, (size_t)name_len, "\\012", 4) == nullptr || names_mapped_file(kve->kve_path, kve))
        return;
    char literal[sizeof kve->kve_path];
    if (snprintf(literal, sizeof literal, "%s%.*s", prefix, name_len, name) >= (int)sizeof literal)
        return;
    if (names_mapped_file(literal, kve))
        memcpy(kve->kve_path, literal, strlen(literal) + 1);
}

static int fill_entry(const char *line, size_t len, const char *prefix, struct kinfo_vmentry *kve)
{
    int parsed = parse_maps_line(line, len, prefix, kve);
    if (parsed < 0) {
        memcpy(kve->kve_path, UNREADABLE_PATH, sizeof UNREADABLE_PATH);
        return 1;
    }
    if (parsed == 0)
        return 0;  // not a mapping line: nothing the kernel would report
    if (kve->kve_type != KVME_TYPE_VNODE)
        return 1;
    prefer_literal_name(line, len, prefix, kve);
    strip_deleted_marker(kve->kve_path, (dev_t)kve->kve_vn_fsid, (ino_t)kve->kve_vn_fileid);
    return 1;
}

struct kinfo_vmentry *procstat_getvmmap(struct procstat *ps, struct kinfo_proc *kp,
                                        unsigned int *count)
{
    struct proc_view *view = proc_view(ps, kp->ki_pid);
    if (view == nullptr)
        return nullptr;
    ssize_t len = read_maps(ps, view->dir_fd);
    if (len < 0)
        return vmmap_errno(), nullptr;

    size_t lines = len > 0 && ps->buffer[len - 1] != '\n';
    for (ssize_t i = 0; i < len; i++)
        lines += ps->buffer[i] == '\n';
    struct kinfo_vmentry *map =
        (struct kinfo_vmentry *)malloc((lines == 0 ? 1 : lines) * sizeof *map);
    if (map == nullptr)
        return errno = ENOMEM, nullptr;

    unsigned int used = 0;
    const char *p = ps->buffer, *end = ps->buffer + len;
    while (p < end) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        if (nl == nullptr)
            nl = end;
        used += fill_entry(p, (size_t)(nl - p), view->root_prefix, &map[used]);
        p = nl + 1;
    }
    *count = used;
    return map;
}
