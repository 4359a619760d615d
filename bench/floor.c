/*
 * The floor: reads, for every process, the kernel information vrix needs and
 * nothing else: its command name, its executable path and its executable
 * file mappings, either through PROCMAP_QUERY (Linux 6.11 and later) or from
 * the text of /proc/PID/maps with large reads.
 *
 *   vrix-bench-floor query|text [ns|full]
 *
 * With "ns" it also reads each process's mount and PID namespace links,
 * which vrix needs to judge containers right and fill the jid column.
 * With "full" it also makes one stat() of each distinct mapped path: what
 * any correct tool must do (where a process looks, the jid of a row, one
 * identity per distinct file).
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

struct procmap_query {
    uint64_t size, query_flags, query_addr, vma_start, vma_end, vma_flags, vma_page_size,
        vma_offset, inode;
    uint32_t dev_major, dev_minor, vma_name_size, build_id_size;
    uint64_t vma_name_addr, build_id_addr;
};
#define PROCMAP_QUERY _IOWR('f', 17, struct procmap_query)

static char buffer[1 << 20];
static int stat_paths;

// The paths already stat()ed: open addressing, never full at these sizes.
enum { SEEN_SLOTS = 1 << 18 };
static char *seen[SEEN_SLOTS];

static uint64_t hash_of(const char *s)
{
    uint64_t h = 1469598103934665603ULL;
    for (; *s != '\0'; s++)
        h = (h ^ (unsigned char)*s) * 1099511628211ULL;
    return h;
}

// One stat() of each distinct path.
static long identify(const char *path)
{
    if (!stat_paths || path[0] != '/')
        return 0;
    size_t i = hash_of(path) & (SEEN_SLOTS - 1);
    for (; seen[i] != NULL; i = (i + 1) & (SEEN_SLOTS - 1)) {
        if (strcmp(seen[i], path) == 0)
            return 0;
    }
    seen[i] = strdup(path);
    struct stat sb;
    return stat(path, &sb) == 0 ? 1 : 0;
}

static long query(int fd)
{
    struct procmap_query q;
    char name[4096];
    long n = 0;
    for (uint64_t addr = 0;; n++) {
        memset(&q, 0, sizeof q);
        q.size = sizeof q;
        q.query_flags = 0x10 | 0x20 | 0x04;
        q.query_addr = addr;
        q.vma_name_addr = (uint64_t)(uintptr_t)name;
        q.vma_name_size = sizeof name;
        if (ioctl(fd, PROCMAP_QUERY, &q) != 0)
            return n;
        if (q.vma_name_size != 0)
            n += identify(name);
        addr = q.vma_end;
    }
}

// The path of each executable mapping of a whole text, "... r-xp ... /path".
static long identify_text(char *text)
{
    long n = 0;
    for (char *line = text; *line != '\0';) {
        char *nl = strchr(line, '\n');
        if (nl != NULL)
            *nl = '\0';
        char *perms = strchr(line, ' ');
        char *path = strchr(line, '/');
        if (perms != NULL && perms[3] == 'x' && path != NULL)
            n += identify(path);
        if (nl == NULL)
            break;
        line = nl + 1;
    }
    return n;
}

static long text(int fd)
{
    long bytes = 0;
    ssize_t got;
    if (!stat_paths) {
        while ((got = read(fd, buffer, sizeof buffer)) > 0)
            bytes += got;
        return bytes;
    }
    // the whole text, for its paths (the helpers' maps are short)
    while ((got = read(fd, buffer + bytes, sizeof buffer - 1 - (size_t)bytes)) > 0)
        bytes += got;
    buffer[bytes] = '\0';
    return bytes + identify_text(buffer);
}

int main(int argc, char **argv)
{
    int use_query = argc > 1 && strcmp(argv[1], "query") == 0;
    stat_paths = argc > 2 && strcmp(argv[2], "full") == 0;
    int read_ns = stat_paths || (argc > 2 && strcmp(argv[2], "ns") == 0);
    int proc_fd = open("/proc", O_RDONLY | O_DIRECTORY);
    DIR *dir = opendir("/proc");
    struct dirent *de;
    long total = 0;
    char path[300], link[4096];
    while ((de = readdir(dir)) != NULL) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9')
            continue;
        snprintf(path, sizeof path, "%s/comm", de->d_name);
        int fd = openat(proc_fd, path, O_RDONLY);
        if (fd >= 0) {
            total += read(fd, link, sizeof link);
            close(fd);
        }
        snprintf(path, sizeof path, "%s/exe", de->d_name);
        total += readlinkat(proc_fd, path, link, sizeof link);
        if (read_ns) {
            snprintf(path, sizeof path, "%s/ns/mnt", de->d_name);
            total += readlinkat(proc_fd, path, link, sizeof link);
            snprintf(path, sizeof path, "%s/ns/pid", de->d_name);
            total += readlinkat(proc_fd, path, link, sizeof link);
        }
        snprintf(path, sizeof path, "%s/maps", de->d_name);
        fd = openat(proc_fd, path, O_RDONLY);
        if (fd < 0)
            continue;
        total += use_query ? query(fd) : text(fd);
        close(fd);
    }
    closedir(dir);
    printf("%ld\n", total);
    return 0;
}
