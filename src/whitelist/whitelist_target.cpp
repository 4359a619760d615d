#include "whitelist_target.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { MAX_SYMLINK_HOPS = 40 };

// Follows symbolic links at path, so that the file they name is the one
// replaced; a dangling link leads to the file it would create.
static int follow_links(const char *path, char *out, size_t size)
{
    if (snprintf(out, size, "%s", path) >= (int)size)
        return errno = ENAMETOOLONG, -1;
    for (int hops = 0; hops < MAX_SYMLINK_HOPS; hops++) {
        struct stat sb;
        if (lstat(out, &sb) != 0 || !S_ISLNK(sb.st_mode))
            return 0;
        char link[PATH_MAX];
        ssize_t n = readlink(out, link, sizeof link - 1);
        if (n < 0)
            return -1;
        link[n] = '\0';
        if (link[0] == '/') {
            snprintf(out, size, "%s", link);
            continue;
        }
        char *slash = strrchr(out, '/');
        size_t dir_len = slash == nullptr ? 0 : (size_t)(slash - out) + 1;
        if (dir_len + (size_t)n >= size)
            return errno = ENAMETOOLONG, -1;
        memcpy(out + dir_len, link, (size_t)n + 1);
    }
    return errno = ELOOP, -1;
}

static mode_t current_umask(void)
{
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// A hidden temporary file in the directory of the final path.
static int make_temp(struct whitelist_target *target)
{
    const char *slash = strrchr(target->final_path, '/');
    int dir_len = slash == nullptr ? 0 : (int)(slash - target->final_path) + 1;
    const char *base = target->final_path + dir_len;
    snprintf(target->temp_path, sizeof target->temp_path, "%.*s.%s.vrix-XXXXXX", dir_len,
             target->final_path, base);
    int fd = mkstemp(target->temp_path);
    if (fd < 0)
        target->temp_path[0] = '\0';
    return fd;
}

int whitelist_target_open(struct whitelist_target *target, const char *path)
{
    target->stream = nullptr;
    target->replacing = 0;
    target->temp_path[0] = '\0';
    if (follow_links(path, target->final_path, sizeof target->final_path) != 0)
        return -1;

    struct stat sb;
    int exists = stat(target->final_path, &sb) == 0;
    if (!exists && errno != ENOENT)
        return -1;
    if (exists && !S_ISREG(sb.st_mode)) {
        target->stream = fopen(path, "w");
        return target->stream == nullptr ? -1 : 0;
    }

    int fd = make_temp(target);
    if (fd < 0)
        return -1;
    // The new file looks as the old one did, or as a plain fopen would make it.
    if (exists) {
        if (fchown(fd, sb.st_uid, sb.st_gid) != 0) {
            // Only root can give a file away; then it stays the caller's.
        }
        fchmod(fd, sb.st_mode & 07777);
    } else {
        fchmod(fd, 0666 & ~current_umask());
    }
    target->stream = fdopen(fd, "w");
    if (target->stream == nullptr) {
        int error = errno;
        close(fd);
        unlink(target->temp_path);
        target->temp_path[0] = '\0';
        return errno = error, -1;
    }
    target->replacing = 1;
    return 0;
}
